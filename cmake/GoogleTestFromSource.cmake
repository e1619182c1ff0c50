# GoogleTest built with the project from a source tree (Debian's googletest package installs it
# under /usr/src/googletest), for cross-builds that have no prebuilt GoogleTest for the target.
# Provides the same GTest:: targets as find_package(GTest).
function(korvath_googletest_from_source source_dir)
  if(NOT EXISTS ${source_dir}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${source_dir} (Debian: apt-get install googletest)")
  endif()
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  set(gtest_force_shared_crt ON)
  add_subdirectory(${source_dir} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib IN ITEMS gtest gtest_main)
    # GoogleTest is built with its own warning flags, not with the project's -Werror.
    set_property(TARGET ${lib} PROPERTY COMPILE_OPTIONS "")
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
endfunction()
