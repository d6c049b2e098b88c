// The terminal driver's byte-level input and output on the platform's terminal (a POSIX
// terminal or a Windows console). Kept apart from the popup code so that no platform header
// meets the host library's own declarations.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

namespace gwu::host::terminal {

bool IsTerminal(int fd);

// Writes all of the text; stops quietly when the output has gone.
void WriteAll(int fd, std::string_view text);

// One byte of input; nothing at the end of the input. With a timeout (milliseconds, -1 for
// none), nothing also when no byte arrives in time. A Windows console delivers no escape
// sequences for the keys it reads as bytes, so a bounded wait there is answered at once.
std::optional<unsigned char> ReadByte(int fd, int timeoutMs);

// While it lives, a terminal input delivers each key at once, unechoed, with Ctrl-C as a key
// of its own. Anything but a terminal is left as it is.
class RawMode {
public:
    explicit RawMode(int fd);
    ~RawMode();
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
};

}  // namespace gwu::host::terminal
