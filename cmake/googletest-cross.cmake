# GoogleTest for a cross build: compiled from Debian's source package with the cross
# toolchain. Its own build defines the GTest:: names the native find_package(GTest) gives,
# so the test directories need no second spelling.
set(ZANPOST_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to cross-compile")
if(NOT EXISTS ${ZANPOST_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ZANPOST_GOOGLETEST_SOURCE} (Debian package googletest)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)

# GoogleTest is someone else's code: build it without the project's warning options.
get_directory_property(zp_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${ZANPOST_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${zp_saved_options}")

# On Windows nothing on the network works before the socket layer is started; the program
# starts it before its main runs, and so does the test main that zp_add_test links here.
add_library(zp_gtest_main_win32 STATIC ${PROJECT_SOURCE_DIR}/tests/platform/win32/gtest_main.cpp)
target_link_libraries(zp_gtest_main_win32 PUBLIC GTest::gtest zp_platform)
set(ZP_GTEST_MAIN zp_gtest_main_win32)
