# The library-loading tests load real libraries: a tiny probe library, and a
# stand-in plugin module that holds the real handler base.
add_library(quillet_probe_library MODULE ${CMAKE_CURRENT_LIST_DIR}/probe/probe_library.c)
set_target_properties(quillet_probe_library PROPERTIES PREFIX "" OUTPUT_NAME quillet-probe-library
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-libraries)
add_library(quillet_loader_probe MODULE ${CMAKE_CURRENT_LIST_DIR}/probe/loader_probe_module.cpp)
set_target_properties(quillet_loader_probe PROPERTIES PREFIX "" OUTPUT_NAME quillet-loader-probe
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-libraries)
target_link_libraries(quillet_loader_probe PRIVATE quillet_handlers)
target_compile_definitions(quillet_loader_probe PRIVATE QUILLET_EXPORT=)
set(QUILLET_SUITE_DEPENDS quillet_probe_library quillet_loader_probe Quillet)
set(QUILLET_SUITE_ENVIRONMENT
    "QUILLET_TEST_LIBRARIES=${CMAKE_BINARY_DIR}/test-libraries")

# Both export tables must hold the four Lister functions and nothing else,
# and the Windows module may import nothing but system libraries.
add_test(NAME foundation.module_exports
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_module_exports.sh $<TARGET_FILE:Quillet>)

# The real-archive test of the exports loads a copy of the module whose
# settings file names the real 7-Zip library.
list(APPEND QUILLET_SUITE_ENVIRONMENT "QUILLET_SEVENZIP_LIBRARY=${QUILLET_SEVENZIP_LIBRARY}"
     "QUILLET_SAMPLE_COMIC=${CMAKE_SOURCE_DIR}/samples/sample.cbz")

# A host that calls exit() while its threads are inside the module, run as
# a process of its own, 20 times.
add_executable(quillet_exit_probe ${CMAKE_CURRENT_LIST_DIR}/probe/exit_during_requests.cpp)
target_link_libraries(quillet_exit_probe PRIVATE quillet_platform)
add_dependencies(quillet_exit_probe Quillet)
# A library the probe's hosts load beside the module, built with the test
# libraries; the probe learns its path through the definition DEFINITION.
function(quillet_exit_probe_library TARGET SOURCE NAME DEFINITION)
  add_library(${TARGET} MODULE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/probe/${SOURCE})
  set_target_properties(${TARGET} PROPERTIES PREFIX "" OUTPUT_NAME ${NAME}
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-libraries)
  add_dependencies(quillet_exit_probe ${TARGET})
  target_compile_definitions(quillet_exit_probe PRIVATE ${DEFINITION}="$<TARGET_FILE:${TARGET}>")
endfunction()
if(NOT WIN32)
  quillet_exit_probe_library(quillet_exit_linger linger_at_exit.c quillet-exit-linger QUILLET_EXIT_LINGER_LIBRARY)
else()
  quillet_exit_probe_library(quillet_exit_witness exit_witness.c quillet-exit-witness QUILLET_EXIT_WITNESS_LIBRARY)
endif()
add_test(NAME foundation.exit_while_extracting
         COMMAND quillet_exit_probe $<TARGET_FILE:Quillet> ${QUILLET_SEVENZIP_LIBRARY}
                 ${CMAKE_SOURCE_DIR}/samples/sample.cbz ${CMAKE_BINARY_DIR}/test-output/exit-while-extracting)
set_tests_properties(foundation.exit_while_extracting PROPERTIES TIMEOUT 900)
if(CMAKE_CROSSCOMPILING)
  set_tests_properties(foundation.exit_while_extracting PROPERTIES FIXTURES_REQUIRED quillet_windows_platform)
endif()
