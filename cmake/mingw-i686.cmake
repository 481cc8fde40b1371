# Cross-compiling the plug-in as the 32-bit Windows DLL hosts load, with the
# MinGW-w64 POSIX-threads compiler (std::thread needs the POSIX flavour).
#
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(Q31_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${Q31_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${Q31_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${Q31_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${Q31_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine on the build machine.
find_program(Q31_WINE wine)
if(Q31_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${Q31_WINE})
endif()
