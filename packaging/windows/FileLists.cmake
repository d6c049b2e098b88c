# Writes the installer's two file lists from the install manifest of a fresh staging folder, so
# that the installer carries exactly what the install rules install and the uninstaller removes
# exactly that, never a file it did not put there:
#   OUTPUT/install.nsh    SetOutPath and File for every installed file, by folder;
#   OUTPUT/uninstall.nsh  Delete for every file, then RMDir (never recursive) for every folder,
#                         the deepest first, so that a folder still holding a user's file stays.
# Usage: cmake -DSTAGE=DIR -DMANIFEST=FILE -DOUTPUT=DIR -P FileLists.cmake
foreach(_variable STAGE MANIFEST OUTPUT)
  if(NOT ${_variable})
    message(FATAL_ERROR "FileLists.cmake: ${_variable} is not set")
  endif()
endforeach()

file(STRINGS "${MANIFEST}" _files)
list(SORT _files)
set(_install "")
set(_uninstall "")
set(_folders "")
set(_current "-")
foreach(_file IN LISTS _files)
  file(RELATIVE_PATH _relative "${STAGE}" "${_file}")
  if(_relative MATCHES "^\\.\\./" OR IS_ABSOLUTE "${_relative}")
    message(FATAL_ERROR "FileLists.cmake: ${_file} is not in ${STAGE}")
  endif()
  if(_relative MATCHES "[\"$`]")
    message(FATAL_ERROR "FileLists.cmake: ${_relative}: a name the installer cannot quote")
  endif()
  get_filename_component(_folder "${_relative}" DIRECTORY)
  string(REPLACE "/" "\\" _windows "${_relative}")
  string(REPLACE "/" "\\" _windows_folder "${_folder}")
  if(NOT _folder STREQUAL _current)
    set(_current "${_folder}")
    string(APPEND _install "SetOutPath \"$INSTDIR\\${_windows_folder}\"\n")
    # Every folder on the way, so that the uninstaller removes the empty ones it made.
    set(_walk "${_folder}")
    while(_walk)
      list(APPEND _folders "${_walk}")
      get_filename_component(_walk "${_walk}" DIRECTORY)
    endwhile()
  endif()
  string(APPEND _install "File \"${_relative}\"\n")
  string(APPEND _uninstall "Delete \"$INSTDIR\\${_windows}\"\n")
endforeach()

# An empty folder the install rules make (a trust folder to fill, say) is made and removed too.
file(GLOB_RECURSE _entries LIST_DIRECTORIES true "${STAGE}/*")
foreach(_entry IN LISTS _entries)
  file(GLOB _inside "${_entry}/*")
  if(IS_DIRECTORY "${_entry}" AND NOT _inside)
    file(RELATIVE_PATH _relative "${STAGE}" "${_entry}")
    string(REPLACE "/" "\\" _windows_folder "${_relative}")
    string(APPEND _install "CreateDirectory \"$INSTDIR\\${_windows_folder}\"\n")
    list(APPEND _folders "${_relative}")
  endif()
endforeach()

# The deepest folders first: sorting the paths backwards puts each folder before its parent.
list(REMOVE_DUPLICATES _folders)
list(SORT _folders)
list(REVERSE _folders)
foreach(_folder IN LISTS _folders)
  string(REPLACE "/" "\\" _windows_folder "${_folder}")
  string(APPEND _uninstall "RMDir \"$INSTDIR\\${_windows_folder}\"\n")
endforeach()

list(LENGTH _files _count)
if(_count EQUAL 0)
  message(FATAL_ERROR "FileLists.cmake: ${MANIFEST} lists no file")
endif()
file(WRITE "${OUTPUT}/install.nsh" "${_install}")
file(WRITE "${OUTPUT}/uninstall.nsh" "${_uninstall}")
message(STATUS "Installer file lists: ${_count} files")
