# Tests of the RA-3 and ZO-2 formats, the library's zlib routines, and the
# image tool with its RA-3 writer.
zt_test(ra3zo2_tests
  ${CMAKE_CURRENT_LIST_DIR}/ra3_image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zo2_image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ra3_zlibutil_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ra3_writer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ra3_tool_test.cpp
  LIBS zt_imagetool zt_image
)
