# Cross-building the Windows DLL on Debian with MinGW-w64 (the posix thread model, so that
# std::thread and std::mutex work). Programs built here run under Wine through
# scripts/wine-run.sh, so ctest runs the Windows tests on this machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KOJELLY_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KOJELLY_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOJELLY_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KOJELLY_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KOJELLY_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
