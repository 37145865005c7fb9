# 32-bit Windows, the program's home platform.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZANPOST_MINGW_TRIPLET i686-w64-mingw32)
set(ZANPOST_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
