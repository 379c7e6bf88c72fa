#pragma once
// The HID class driver interface. MinGW's HID headers declare no C linkage of their own.

// clang-format off
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}
// clang-format on
