# Cross build for the 64-bit Windows test programs: kovaflash.exe, a
# test-only KOVA.dll and the simulator's ZUNDA.dll, run under wine64, which
# starts on hosts without 32-bit execution. Nothing of it ships.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(KOVA_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
