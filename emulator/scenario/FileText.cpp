#include "emulator/scenario/FileText.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace gwu::emu {

std::optional<std::string> ReadFileText(const std::string& path, std::size_t maxBytes,
                                        std::string& reason) {
    // Opening a FIFO waits for a writer, and a device may never end: only a file is read.
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        reason = fs::is_directory(status) ? "is a folder, not a file" : "is not a regular file";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[65536];
    while (in && (in.read(chunk, sizeof chunk) || in.gcount() > 0)) {
        text.append(chunk, static_cast<size_t>(in.gcount()));
        if (text.size() > maxBytes) {
            reason = "larger than " + std::to_string(maxBytes) + " bytes";
            return std::nullopt;
        }
    }
    if (!in.is_open() || in.bad()) {
        reason = "cannot be read";
        return std::nullopt;
    }
    return text;
}

}  // namespace gwu::emu
