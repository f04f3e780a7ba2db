# The -posix compilers: the win32 thread model of GCC 12 has no std::mutex.
set(CMAKE_C_COMPILER ${ORVANE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVANE_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Tests run under Wine: the x86_64 build under Wine64, the i686 build under 32-bit Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh)
