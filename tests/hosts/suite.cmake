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
  # A module that crashes on some comics, for the run that must outlive it.
  add_library(quillet_crashing_module MODULE ${CMAKE_CURRENT_LIST_DIR}/probe/crashing_module.c)
  set_target_properties(quillet_crashing_module PROPERTIES PREFIX "" OUTPUT_NAME quillet-crashing-module
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-libraries)
  target_link_libraries(quillet_crashing_module PRIVATE ${CMAKE_DL_LIBS})
  list(APPEND QUILLET_SUITE_DEPENDS quillet_crashing_module)
  quillet_desktop_test(cache_crash)
  if(QUILLET_SANITIZERS)
    # GNOME runs thumbnailers under a seccomp filter that forbids ptrace, and
    # the leak checker stops the process's threads with ptrace at exit: the
    # leak check is off for this one test, the rest of the sanitizers on.
    set_tests_properties(hosts.gnome PROPERTIES ENVIRONMENT "ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=0")
  endif()
endif()
