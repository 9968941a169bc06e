# Tests of the RA-3 and ZO-2 formats, the library's zlib routines and the
# image tool (its RA-3 writer and commands).
zt_test(ra3zo2_tests
  ${CMAKE_CURRENT_LIST_DIR}/ra3_image_test.cpp
  LIBS zt_image
)
