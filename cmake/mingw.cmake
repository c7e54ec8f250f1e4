# What both MinGW-w64 toolchain files share: the caller sets
# CMAKE_SYSTEM_PROCESSOR and VSETUP_MINGW_PREFIX (the target triple).
#
# The win32 thread model is used: its runtime needs no winpthread DLL. The
# test programs link the C++ runtime statically; VSETUP.EXE links no runtime
# at all (see wizard/win32/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${VSETUP_MINGW_PREFIX}-gcc-win32 ${VSETUP_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VSETUP_MINGW_PREFIX}-g++-win32 ${VSETUP_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VSETUP_MINGW_PREFIX}-windres REQUIRED)
find_program(VSETUP_MINGW_OBJDUMP NAMES ${VSETUP_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VSETUP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
