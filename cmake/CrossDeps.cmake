# Third-party code for a cross build. The build machine's header-only packages (JSON, command
# line) are used through a folder of their own, so that the rest of the build machine's include
# folder never reaches the cross compiler; GoogleTest is built from its source package.
set(_gwu_cross_include "${CMAKE_BINARY_DIR}/cross-deps/include")
set(_gwu_cross_config "${CMAKE_BINARY_DIR}/cross-deps/config")
foreach(_gwu_header_dir nlohmann CLI)
  if(NOT EXISTS "/usr/include/${_gwu_header_dir}")
    message(FATAL_ERROR "/usr/include/${_gwu_header_dir} is missing: run scripts/install-deps.sh")
  endif()
  file(COPY "/usr/include/${_gwu_header_dir}" DESTINATION "${_gwu_cross_include}")
endforeach()

# find_package() finds these instead of the build machine's configs.
foreach(_gwu_package nlohmann_json:nlohmann_json CLI11:CLI11)
  string(REPLACE ":" ";" _gwu_parts "${_gwu_package}")
  list(GET _gwu_parts 0 _gwu_name)
  file(WRITE "${_gwu_cross_config}/${_gwu_name}/${_gwu_name}Config.cmake"
       "if(NOT TARGET ${_gwu_name}::${_gwu_name})\n"
       "  add_library(${_gwu_name}::${_gwu_name} INTERFACE IMPORTED)\n"
       "  set_target_properties(${_gwu_name}::${_gwu_name} PROPERTIES\n"
       "    INTERFACE_INCLUDE_DIRECTORIES \"${_gwu_cross_include}\")\n"
       "endif()\n")
  file(WRITE "${_gwu_cross_config}/${_gwu_name}/${_gwu_name}ConfigVersion.cmake"
       "set(PACKAGE_VERSION 3.99)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(${_gwu_name}_DIR "${_gwu_cross_config}/${_gwu_name}" CACHE PATH "" FORCE)
endforeach()

if(GWU_BUILD_TESTS AND NOT TARGET GTest::gtest)
  set(GWU_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest's source tree")
  if(NOT EXISTS "${GWU_GTEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "${GWU_GTEST_SOURCE} is missing: run scripts/install-deps.sh")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory("${GWU_GTEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endif()
