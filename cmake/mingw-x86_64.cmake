# Cross-compiling the same sources for 64-bit Windows: a twin of VSETUP.EXE
# that 64-bit Wine runs where the machine refuses 32-bit code. It is a test
# vehicle only, never installed.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VSETUP_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
