# GoogleTest from Debian's source package, built with this tree's flags so the
# sanitizer builds instrument it too. The Windows trees build small test hosts
# of their own instead (run under Wine by the native tree).
if(WIN32)
  return()
endif()
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
