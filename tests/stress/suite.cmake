# The request mix: valid and broken archives of every kind, asked by many
# threads at once through the exports, every result checked. Linux only: it
# is the program that the thread sanitizer and the leak checker run.
set(QUILLET_SUITE_OWN_PROGRAMS ON)
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(quillet_request_mix ${CMAKE_CURRENT_LIST_DIR}/request_mix.cpp)
  target_link_libraries(quillet_request_mix PRIVATE quillet_options ${CMAKE_DL_LIBS} Threads::Threads)
  add_dependencies(quillet_request_mix Quillet)
  set(mix ${CMAKE_BINARY_DIR}/request-mix)
  add_test(NAME stress.make_request_mix
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make_request_mix.py ${mix})
  set_tests_properties(stress.make_request_mix PROPERTIES FIXTURES_SETUP quillet_request_mix)
  # Eight threads over every archive at once, every result the same as a
  # lone request's.
  add_test(NAME stress.request_mix
           COMMAND quillet_request_mix $<TARGET_FILE:Quillet> ${mix} --threads 8 --requests 400)
  # One process, no descriptor, temporary file or memory left behind; the
  # module unloaded at the end. The plain build runs it under valgrind too.
  add_test(NAME stress.request_mix_leaves_nothing
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run_leak_check.sh $<TARGET_FILE:quillet_request_mix>
                   $<TARGET_FILE:Quillet> ${mix})
  set(mix_tests stress.request_mix stress.request_mix_leaves_nothing)
  if(NOT QUILLET_SANITIZERS)
    find_program(QUILLET_VALGRIND valgrind REQUIRED)
    add_test(NAME stress.request_mix_under_valgrind
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run_leak_check.sh $<TARGET_FILE:quillet_request_mix>
                     $<TARGET_FILE:Quillet> ${mix} valgrind)
    list(APPEND mix_tests stress.request_mix_under_valgrind)
  endif()
  set_tests_properties(${mix_tests} PROPERTIES FIXTURES_REQUIRED quillet_request_mix TIMEOUT 900)
endif()
