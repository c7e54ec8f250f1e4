# Cross-compiling VSETUP.EXE for 32-bit Windows with Debian's MinGW-w64: the
# program we ship.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VSETUP_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
