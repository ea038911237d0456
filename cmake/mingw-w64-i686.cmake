# 32-bit Windows with MinGW-w64 (built only: running it would need a 32-bit wine).
set(ZOREL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
