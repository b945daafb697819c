# Cross-compiles the 64-bit Windows build with MinGW-w64 on Linux.
# The -posix variants are required: the win32-thread ones lack std::mutex,
# which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTRUM_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${KESTRUM_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUM_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESTRUM_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
