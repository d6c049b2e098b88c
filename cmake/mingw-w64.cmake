# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix-thread variant, so that
# std::thread and std::mutex work). Programs are linked statically, so they need no DLLs beside
# them, and run here under Wine. A shared build (GWU_SHARED) links the compiler's runtime DLLs
# instead: the programs and the project's DLLs pass C++ objects and exceptions to each other,
# which needs one C++ runtime in the process; the runtime DLLs go beside the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT GWU_SHARED)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()

find_program(GWU_WINE NAMES wine wine64)
if(GWU_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${GWU_WINE}")
endif()
