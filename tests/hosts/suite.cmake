# The hosts suite tests quillet-thumbnail's own code (the cache, PNG text,
# URIs) as a library, and adds end-to-end tests of what users install: the
# Linux thumbnailer from a temporary prefix, with GNOME's and XFCE's thumbnail
# services, the Windows package, and the version every build carries.
set(QUILLET_SUITE_LIBRARIES quillet_tool_core)
set(QUILLET_SUITE_DEPENDS quillet-thumbnail Quillet)

# End-to-end: tests/hosts/desktop_test.py, one subcommand per test; exit code
# 77 means the machine lacks what the test needs, and says what.
function(quillet_desktop_test NAME)
  add_test(NAME hosts.${NAME}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/desktop_test.py ${NAME}
                   --build ${CMAKE_BINARY_DIR} --source ${CMAKE_SOURCE_DIR}
                   --work ${CMAKE_BINARY_DIR}/test-output/hosts-${NAME}
                   --project-version ${PROJECT_VERSION})
  set_tests_properties(hosts.${NAME} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
endfunction()
quillet_desktop_test(version)
if(CMAKE_CROSSCOMPILING)
  quillet_desktop_test(package)
else()
  quillet_desktop_test(installed)
  quillet_desktop_test(sandbox)
  quillet_desktop_test(gnome)
  quillet_desktop_test(tumbler)
  quillet_desktop_test(cache)
  quillet_desktop_test(cache_library)
  quillet_desktop_test(cache_names)
  quillet_desktop_test(cache_home)
endif()
