# Cross-build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
# The posix thread variant gives std::thread and std::mutex, which GoogleTest uses.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DORNVIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DORNVIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DORNVIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DORNVIK_MINGW_TRIPLE}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${DORNVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of this build run under Wine when it is there.
# Debian's wine64 package keeps its loader in /usr/lib/wine.
find_program(DORNVIK_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(DORNVIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DORNVIK_WINE})
endif()
