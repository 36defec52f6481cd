# The image tests make their own image files, and some of what they need
# differs by platform: COM on the test threads, the JPEG encoder, memory
# figures. A probe measures the decode of a file that declares an image far
# too large, in a process of its own.
add_library(quillet_images_test_helpers STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/image_fixtures.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/plain_cover_rule.cpp
  ${CMAKE_CURRENT_LIST_DIR}/support/${QUILLET_PLATFORM}/test_imaging.cpp)
target_link_libraries(quillet_images_test_helpers PUBLIC quillet_test_support quillet_platform)
if(WIN32)
  target_link_libraries(quillet_images_test_helpers PUBLIC psapi)
endif()
set(QUILLET_SUITE_LIBRARIES quillet_images_test_helpers)

add_executable(quillet_images_probe ${CMAKE_CURRENT_LIST_DIR}/probe/huge_image_probe.cpp)
target_link_libraries(quillet_images_probe PRIVATE quillet_images_test_helpers quillet_handlers)
add_test(NAME images.huge_declared_png COMMAND quillet_images_probe)
set_tests_properties(images.huge_declared_png PROPERTIES TIMEOUT 120 ENVIRONMENT "${QUILLET_TEST_ENVIRONMENT}")

# The whole process, byte for byte: quillet-thumbnail's dump of pages in each
# common format against recorded digests (Linux: the digests are those of its
# decoders).
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME images.thumbnail_digests
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/thumbnail_digests.py
                   --tool $<TARGET_FILE:quillet-thumbnail> --work ${CMAKE_BINARY_DIR}/test-output/thumbnail-digests)
  set_tests_properties(images.thumbnail_digests PROPERTIES TIMEOUT 300)
  list(APPEND QUILLET_SUITE_DEPENDS quillet-thumbnail Quillet)
endif()
