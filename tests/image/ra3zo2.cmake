# Tests of the RA-3 and ZO-2 formats and the library's zlib routines.
zt_test(ra3zo2_tests
  ${CMAKE_CURRENT_LIST_DIR}/ra3_image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zo2_image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ra3_zlibutil_test.cpp
  LIBS zt_image
)
