# Cross build for the 32-bit Windows DLL and its Windows-side test programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(KOVA_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
