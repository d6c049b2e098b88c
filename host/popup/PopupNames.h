// How the stand-in popup library writes things out in its trace and its rendering. Shared by
// the files of the stand-in only; nothing outside includes it.
#pragma once

#include <string>

namespace gwu::host::popup {

// "tick", "cross", "go back", else "button".
const char* ButtonName(int kind);

// The text with CR, LF, quotes and backslashes escaped as in C.
std::string Escape(const std::string& text);

}  // namespace gwu::host::popup
