# 64-bit Windows with MinGW-w64; the tests run under wine64 or wine when one is installed.
set(ZOREL_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

find_program(ZOREL_WINE64 NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(ZOREL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZOREL_WINE64})
endif()
