# Cross-building the packer for Windows with Debian's MinGW-w64 (posix threads flavour).
# Included by the per-architecture toolchain files, which set ZOREL_MINGW_ARCH first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZOREL_MINGW_ARCH})

set(_zorel_triple ${ZOREL_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${_zorel_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_zorel_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_zorel_triple}-windres)

# Libraries and headers for the target come from its own sysroot only (libz-mingw-w64-dev
# installs there); programs still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_zorel_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: zlib, libgcc, libstdc++ and winpthread are all linked in.
set(ZLIB_USE_STATIC_LIBS ON CACHE BOOL "Link zlib statically")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
