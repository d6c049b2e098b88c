// Reading a whole input file of the emulator (a scenario, a trace) with a bound on its size, so
// that a wrong path to a huge file is refused instead of read into memory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace gwu::emu {

// The file's bytes; empty when it cannot be opened or read ("cannot be read"), is larger than
// maxBytes ("larger than N bytes") or is no regular file ("is a folder, not a file", "is not a
// regular file": a FIFO or a device, refused at once instead of waited on), with the reason set.
std::optional<std::string> ReadFileText(const std::string& path, std::size_t maxBytes,
                                        std::string& reason);

}  // namespace gwu::emu
