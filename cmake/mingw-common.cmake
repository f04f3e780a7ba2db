# The -posix compilers: the win32 thread model of GCC 12 has no std::mutex.
set(CMAKE_C_COMPILER ${ORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVANE_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Tests of the x86_64 build run under Wine64; the 32-bit build cannot run on these machines.
if(ORVANE_TRIPLE STREQUAL "x86_64-w64-mingw32")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh)
endif()
