# What both MinGW-w64 toolchains share; the including file sets
# CMAKE_SYSTEM_PROCESSOR, TOOLCHAIN_PREFIX and KOVA_WINE_LOADER.
set(CMAKE_SYSTEM_NAME Windows)
# The posix threading variant: GoogleTest and the host tool use std::mutex
# and std::thread. KOVA.dll links no runtime, so it is unaffected.
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(KOVA_DLLTOOL ${TOOLCHAIN_PREFIX}-dlltool)
set(KOVA_OBJDUMP ${TOOLCHAIN_PREFIX}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Windows programs of this build run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVA_WINE_LOADER})
