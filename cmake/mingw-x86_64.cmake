# 64-bit twin of the Windows build. It is not shipped: it exists so the same sources and
# tests can run under Wine on machines whose kernel refuses 32-bit programs (and so cannot
# start 32-bit Wine).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZANPOST_MINGW_TRIPLET x86_64-w64-mingw32)
set(ZANPOST_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
