# Shared part of the MinGW-w64 cross toolchains; the including file sets ZANPOST_MINGW_TRIPLET
# and ZANPOST_WINE_ARCH first.
set(CMAKE_SYSTEM_NAME Windows)

# The "posix" thread model: its libstdc++ has std::thread, which the tests' scripted servers need.
set(CMAKE_C_COMPILER   ${ZANPOST_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZANPOST_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZANPOST_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZANPOST_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static, so the executables need no DLL beyond those every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and test discovery run the cross-built programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${ZANPOST_WINE_ARCH})
