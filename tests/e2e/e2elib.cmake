# The driver (boxes, windows, screen) and the package builders, shared by the
# end-to-end tests and the updater benchmark (bench/ comes first in the tree,
# so whichever folder is read first defines the library). Windows build only.
include(${PROJECT_SOURCE_DIR}/tests/common/testutil.cmake)
if(NOT TARGET zt_e2e)
  add_library(zt_e2e STATIC ${CMAKE_CURRENT_LIST_DIR}/boxdriver.cpp ${CMAKE_CURRENT_LIST_DIR}/package.cpp)
  target_link_libraries(zt_e2e PUBLIC zt_testutil zt_imagetool zt_dep_webp user32 gdi32 shell32)
endif()
