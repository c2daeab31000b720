# 64-bit build of the same sources: the second test configuration, and the one the benchmark times.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TESSALINE_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
