# The RAR back-end reads archives that `rar` makes when the tests run (into
# rar-archives in the test output folder, where the tests look), through
# the real unrar library: the system's libunrar.so.5 on Linux; on Windows the
# unrar64.dll that scripts/build-windows-libs.sh builds outside the tree.
#
# The test program finds its library the way the module does, through the
# settings file beside it (quillet_rar_tests.ini). It also names a system
# library that exports none of the unrar functions.
set(rar_archives ${CMAKE_BINARY_DIR}/test-output/rar-archives)
set(rar_required "")
if(WIN32)
  string(REPLACE "/" "\\" rar_dll_under_wine "Z:${QUILLET_UNRAR_DLL}")
  set(rar_settings "[DllPath]\nunrar64.dll=${rar_dll_under_wine}\nkernel32.dll=kernel32.dll\n")
  set(rar_required --require ${QUILLET_UNRAR_DLL})
else()
  set(rar_settings "[DllPath]\nlibunrar.so.5=libunrar.so.5\nlibc.so.6=libc.so.6\n")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/quillet_rar_tests.ini CONTENT "${rar_settings}")

add_test(NAME rar.archives
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make_archives.py ${rar_archives} ${rar_required})
set_tests_properties(rar.archives PROPERTIES FIXTURES_SETUP quillet_rar_archives TIMEOUT 300)

set(QUILLET_SUITE_FIXTURES quillet_rar_archives)

# End to end: quillet-thumbnail, the module and the library, on every archive.
set(rar_tool_check ${CMAKE_CURRENT_LIST_DIR}/check_thumbnail_tool.py
    --tool $<TARGET_FILE:quillet-thumbnail> --module $<TARGET_FILE:Quillet>
    --archives ${rar_archives} --work ${CMAKE_BINARY_DIR}/test-output/rar-thumbnail-tool)
if(WIN32)
  list(APPEND rar_tool_check --library ${QUILLET_UNRAR_DLL} --runner ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()
add_test(NAME rar.thumbnail_tool COMMAND ${Python3_EXECUTABLE} ${rar_tool_check})
set_tests_properties(rar.thumbnail_tool PROPERTIES FIXTURES_REQUIRED quillet_rar_archives TIMEOUT 900)
