# A cross-build takes the header-only libraries (CLI11, nlohmann-json) from the build machine's
# Debian packages. Their own package files would put all of /usr/include on the cross
# compiler's path, where the build machine's C library headers would shadow MinGW's; instead
# each library's one folder of headers is linked into a folder of its own under the build
# folder, and find_package() is pointed at a small package file that names only that folder.
set(korvath_cross_headers ${CMAKE_BINARY_DIR}/cross-headers)
foreach(entry IN ITEMS CLI11:CLI11:CLI11:CLI nlohmann_json:nlohmann_json:nlohmann_json:nlohmann)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 package)
  list(GET entry 1 namespace)
  list(GET entry 2 name)
  list(GET entry 3 folder)
  set(source /usr/include/${folder})
  if(NOT IS_DIRECTORY ${source})
    continue()
  endif()
  file(MAKE_DIRECTORY ${korvath_cross_headers}/include ${korvath_cross_headers}/${package})
  file(CREATE_LINK ${source} ${korvath_cross_headers}/include/${folder} SYMBOLIC)
  file(WRITE ${korvath_cross_headers}/${package}/${package}Config.cmake
       "if(NOT TARGET ${namespace}::${name})\n"
       "  add_library(${namespace}::${name} INTERFACE IMPORTED)\n"
       "  set_target_properties(${namespace}::${name} PROPERTIES\n"
       "    INTERFACE_INCLUDE_DIRECTORIES ${korvath_cross_headers}/include)\n"
       "endif()\n")
  set(${package}_DIR ${korvath_cross_headers}/${package} CACHE PATH "" FORCE)
endforeach()
