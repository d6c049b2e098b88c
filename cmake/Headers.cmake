# The installed headers live under the prefix's include/gatewayutils/ and include each other as
# "gatewayutils/<folder>/<name>.h": a consumer's one include folder is the prefix's include/, so
# the generic folder names (platform/, host/, devices/) never meet another package's.
#
# In the build tree the same includes resolve through GWU_BUILD_INCLUDE_DIR, which holds one
# forwarding header per installed header, written at configure time. The project's own sources
# keep their short includes ("platform/Comms.h", "host/Folders.h").
set(GWU_BUILD_INCLUDE_DIR "${PROJECT_BINARY_DIR}/include")

# gwu_public_headers(TARGET FOLDER HEADER...): the headers, given relative to the current source
# folder, are installed with TARGET under include/gatewayutils/FOLDER (an empty FOLDER:
# include/gatewayutils), each keeping its subfolder, and forwarded to from the build tree's
# include folder. TARGET's consumers get the include folder of either tree.
function(gwu_public_headers target folder)
  set(destination "gatewayutils")
  if(folder)
    string(APPEND destination "/${folder}")
  endif()
  foreach(header IN LISTS ARGN)
    get_filename_component(subfolder "${header}" DIRECTORY)
    file(CONFIGURE OUTPUT "${GWU_BUILD_INCLUDE_DIR}/${destination}/${header}"
         CONTENT "// Build tree only: the installed ${destination}/${header}.\n#include \"${CMAKE_CURRENT_SOURCE_DIR}/${header}\"\n"
         @ONLY)
    install(FILES "${header}" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/${destination}/${subfolder}")
  endforeach()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${GWU_BUILD_INCLUDE_DIR}>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endfunction()
