# The installed headers live under the prefix's include/gatewayutils/ and include each other as
# "gatewayutils/<folder>/<name>.h": a consumer's one include folder is the prefix's include/, so
# the generic folder names (platform/, host/, devices/) never meet another package's.
#
# In the build tree every target that has headers publishes an include root of its own,
# GWU_HEADER_ROOTS/<target>, written at configure time: one forwarding header per header of the
# target's folder, under both names its users write, the short one ("platform/Comms.h") and the
# installed one ("gatewayutils/platform/Comms.h"). No target publishes a source folder: a target
# reaches the headers of the targets it links and no others, so an include of a folder it does
# not link fails to compile.
set(GWU_HEADER_ROOTS "${PROJECT_BINARY_DIR}/headers")

# _gwu_forward(FILE HEADER): FILE forwards to HEADER of the current source folder.
function(_gwu_forward file header)
  file(CONFIGURE OUTPUT "${file}"
       CONTENT "// Build tree only: forwards to the project's header.\n#include \"${CMAKE_CURRENT_SOURCE_DIR}/${header}\"\n"
       @ONLY)
  set_property(GLOBAL APPEND PROPERTY GWU_FORWARDING_HEADERS "${file}")
endfunction()

# gwu_public_headers(TARGET FOLDER HEADER...): the headers, given relative to the current source
# folder, are installed with TARGET under include/gatewayutils/FOLDER (an empty FOLDER:
# include/gatewayutils), each keeping its subfolder, and forwarded to from TARGET's include root.
# TARGET's consumers get the include folder of either tree.
function(gwu_public_headers target folder)
  set(root "${GWU_HEADER_ROOTS}/${target}")
  set(name "")
  if(folder)
    set(name "${folder}/")
  endif()
  foreach(header IN LISTS ARGN)
    get_filename_component(subfolder "${header}" DIRECTORY)
    _gwu_forward("${root}/${name}${header}" "${header}")
    _gwu_forward("${root}/gatewayutils/${name}${header}" "${header}")
    install(FILES "${header}" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/gatewayutils/${name}${subfolder}")
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endfunction()

# gwu_private_headers(TARGET FOLDER HEADER...): headers of TARGET's own, never installed and
# reached by TARGET's sources only, under their short names ("FOLDER/HEADER").
function(gwu_private_headers target folder)
  set(root "${GWU_HEADER_ROOTS}/${target}-private")
  foreach(header IN LISTS ARGN)
    _gwu_forward("${root}/${folder}/${header}" "${header}")
  endforeach()
  target_include_directories(${target} PRIVATE $<BUILD_INTERFACE:${root}>)
endfunction()

# Once every folder is configured, a forwarding header that no target wrote this time (its header
# moved or was removed) is deleted, so that an include of it fails here as in a fresh build.
function(_gwu_prune_forwarding_headers)
  get_property(written GLOBAL PROPERTY GWU_FORWARDING_HEADERS)
  file(GLOB_RECURSE present "${GWU_HEADER_ROOTS}/*")
  foreach(file IN LISTS present)
    if(NOT file IN_LIST written)
      file(REMOVE "${file}")
    endif()
  endforeach()
endfunction()
cmake_language(DEFER CALL _gwu_prune_forwarding_headers)
