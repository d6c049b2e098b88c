// printf-style formatting into a string, for the library's and the host's trace lines.
#pragma once

#include <cstdarg>
#include <string>

namespace gwu {

// The text the format and its arguments give; the arguments are consumed.
std::string FormatArgs(const char* format, va_list args);

}  // namespace gwu
