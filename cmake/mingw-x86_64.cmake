# Cross toolchain: MinGW-w64 for 64-bit Windows on x86-64, posix thread model.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
