# RA-3 and ZO-2 support of the image library: the library's own zlib
# routines (the two format classes are listed in CMakeLists.txt).
target_sources(zt_image PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zlibutil.cpp)
