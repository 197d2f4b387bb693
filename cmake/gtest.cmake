# GoogleTest. The sanitizer trees build it from Debian's source package with
# their own flags, so that it is instrumented too; the plain tree links
# Debian's prebuilt libraries of the same source (libgtest-dev) rather than
# compiling gtest-all.cc once more. The Windows trees build small test hosts
# of their own instead (run under Wine by the native tree).
if(WIN32)
  return()
endif()
if(VELT_SANITIZE AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
