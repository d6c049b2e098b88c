// printf-style formatting into a string, for the library's and the host's trace lines, and
// text made safe to show on a terminal.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace gwu {

// The text the format and its arguments give; the arguments are consumed.
std::string FormatArgs(const char* format, va_list args);

// Text from a device or a file as a person's terminal may show it: nothing in it can move the
// cursor, retitle or clear the terminal, and no escape can be faked. Valid UTF-8 is kept but for
// the controls: C0 controls and DEL become "\xHH", C1 controls (U+0080 to U+009F) "\u00HH",
// a byte that is not part of valid UTF-8 "\xHH", and the backslash itself "\\". Text that
// needs none of this comes back unchanged.
std::string EscapeForTerminal(std::string_view text);

}  // namespace gwu
