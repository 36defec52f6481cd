# The 7-Zip back-end tests run against the real 7-Zip library: the system's
# p7zip build on Linux, and on Windows the 7z.64.dll that
# scripts/build-windows-libs.sh builds into the cache (never into the tree).
# The archives are made by make_archives.py with the real tools when the
# tests run, into the build tree, where the tests look for them. The settings
# file beside the test program names the library, as Quillet.ini does for the
# module.
set(QUILLET_SEVENZIP_ARCHIVES ${CMAKE_BINARY_DIR}/sevenzip-archives)
add_test(NAME sevenzip.make_archives
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make_archives.py ${QUILLET_SEVENZIP_ARCHIVES})
set_tests_properties(sevenzip.make_archives PROPERTIES FIXTURES_SETUP sevenzip_archives TIMEOUT 300)
set(QUILLET_SUITE_FIXTURES sevenzip_archives)

if(CMAKE_CROSSCOMPILING)
  # The test program reads its settings file as the module reads Quillet.ini;
  # under Wine the Unix path is the same file through drive Z:.
  string(REPLACE "/" "\\" library_in_wine "Z:${QUILLET_SEVENZIP_LIBRARY}")
  file(WRITE ${CMAKE_BINARY_DIR}/quillet_sevenzip_tests.ini "[DllPath]\r\n7z.64.dll=${library_in_wine}\r\n")
else()
  file(WRITE ${CMAKE_BINARY_DIR}/quillet_sevenzip_tests.ini "[DllPath]\n7z.so=${QUILLET_SEVENZIP_LIBRARY}\n")
endif()

# Stand-ins for 7-Zip libraries of other builds, and one whose archive a test
# scripts (fake_library/fake_sevenzip_library.cpp says which is which).
foreach(variant legacy foreign scripted)
  set(target quillet_fake_sevenzip_${variant})
  add_library(${target} MODULE ${CMAKE_CURRENT_LIST_DIR}/fake_library/fake_sevenzip_library.cpp)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME quillet-fake-7z-${variant}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-libraries)
  string(TOUPPER ${variant} variant_upper)
  target_compile_definitions(${target} PRIVATE FAKE_SEVENZIP_${variant_upper})
  target_link_libraries(${target} PRIVATE quillet_options)
  list(APPEND QUILLET_SUITE_DEPENDS ${target})
endforeach()

# End to end: quillet-thumbnail loads the module through its exports, as a
# file manager does, and makes the covers of archives of the three formats.
set(end_to_end_arguments
    --tool $<TARGET_FILE:quillet-thumbnail> --module $<TARGET_FILE:Quillet>
    --archives ${QUILLET_SEVENZIP_ARCHIVES} --library ${QUILLET_SEVENZIP_LIBRARY}
    --work ${CMAKE_BINARY_DIR}/test-output/sevenzip-end-to-end)
if(CMAKE_CROSSCOMPILING)
  list(APPEND end_to_end_arguments --wine ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()
add_test(NAME sevenzip.quillet_thumbnail
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/thumbnail_end_to_end.py ${end_to_end_arguments})
set_tests_properties(sevenzip.quillet_thumbnail PROPERTIES FIXTURES_REQUIRED sevenzip_archives TIMEOUT 600)
list(APPEND QUILLET_SUITE_DEPENDS quillet-thumbnail Quillet)
