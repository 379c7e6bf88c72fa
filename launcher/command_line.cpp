#include "launcher/command_line.h"

std::vector<std::string> split_command_line(const char* text) { return launcher_detail::split(text); }

std::vector<std::wstring> split_command_line(const wchar_t* text) { return launcher_detail::split(text); }
