# Shared by the MinGW-w64 toolchain files, which set KESTRUM_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. The -posix compiler variants are required:
# the win32-thread ones lack std::mutex, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${KESTRUM_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUM_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESTRUM_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
