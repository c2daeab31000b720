# Shared part of the mingw-w64 toolchain files; the including file sets TESSALINE_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.0)

# The -posix variants: the win32 thread model has no std::thread, which GoogleTest needs.
set(CMAKE_C_COMPILER ${TESSALINE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALINE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALINE_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${TESSALINE_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSALINE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
