# Cross toolchain: MinGW-w64 for 32-bit Windows on x86, posix thread model.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
