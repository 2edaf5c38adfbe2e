# GoogleTest and GoogleMock for the Windows build, compiled from Debian's
# sources (package googletest): there is no MinGW build of them to find.
# Gives the same GTest::gtest, GTest::gtest_main and GTest::gmock targets as
# find_package(GTest). Included once however often it is asked for.
include_guard(GLOBAL)

set(ODU_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source tree")
if(NOT EXISTS ${ODU_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${ODU_GOOGLETEST_SOURCE} (Debian package googletest)")
endif()

set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Windows' own locks and threads rather than winpthreads'.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${ODU_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# GoogleTest sets its own warning flags; this project's (and -Werror) are not
# for foreign code.
foreach(target gtest gtest_main gmock gmock_main)
  set_target_properties(${target} PROPERTIES COMPILE_OPTIONS "")
endforeach()
