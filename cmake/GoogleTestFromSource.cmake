# GoogleTest built from the sources Debian's googletest package ships, with
# the GTest:: names find_package(GTest) gives on the build machine.
set(QUILLON_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's source folder")
if(NOT EXISTS ${QUILLON_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in QUILLON_GOOGLETEST_SOURCE_DIR (${QUILLON_GOOGLETEST_SOURCE_DIR}); "
                      "install Debian's googletest package or set the folder")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUILLON_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(target gtest gtest_main)
  # Its own warnings are not ours to fix; -Werror stays on for our code.
  target_compile_options(${target} PRIVATE -Wno-error)
  if(NOT TARGET GTest::${target})
    add_library(GTest::${target} ALIAS ${target})
  endif()
endforeach()
