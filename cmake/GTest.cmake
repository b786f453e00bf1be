# GoogleTest: the system's libraries natively, built from Debian's sources
# with the cross compilers for the Windows builds.
if(WIN32)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(stibridge_gtest INTERFACE)
  target_link_libraries(stibridge_gtest INTERFACE gtest gmock)
else()
  find_package(GTest REQUIRED)
  add_library(stibridge_gtest INTERFACE)
  target_link_libraries(stibridge_gtest INTERFACE GTest::gtest GTest::gmock)
endif()
