// The tester's fleet files (FleetFiles.h).
#include "cli/FleetFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>

#include "cli/Report.h"
#include "history/HistoryReader.h"
#include "os/Os.h"

namespace gwu::cli {

namespace {

constexpr std::size_t kConfigBytes = std::size_t{64} * 1024;

// A small file's content; none when it cannot be read or is longer than the limit.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string content(limit + 1, '\0');
    in.read(&content[0], static_cast<std::streamsize>(content.size()));
    if (in.bad()) {
        return std::nullopt;
    }
    content.resize(static_cast<std::size_t>(in.gcount()));
    return content.size() > limit ? std::nullopt : std::optional<std::string>(content);
}

}  // namespace

std::string Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1));
}

std::string ErrorText(int cause) {
    return std::generic_category().message(cause);
}

// A text from the collector or a file as one line of at most 300 bytes.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
    return text.size() > 300 ? text.substr(0, 300) + "..." : text;
}

int WriteFleetCursor(const std::string& folder, const FleetCursor& cursor) {
    const std::string path = os::JoinPath(folder, kFleetCursorName);
    const std::string temp = path + ".tmp";
    const Json document = {
        {"fleet", cursor.fleet}, {"url", cursor.url}, {"acknowledged", cursor.acknowledged}};
    // Under the sync's lock: a temporary file left by a sync that stopped is this one's to reuse.
    os::RemoveFile(temp);
    int result = os::WriteNewFileDurably(temp, document.dump() + "\n");
    if (result == 0 && (result = os::RenameReplace(temp, path)) == 0) {
        result = os::SyncFolder(folder);
    }
    if (result != 0) {
        os::RemoveFile(temp);
    }
    return result;
}

std::string ForEachUnsentLine(const std::string& folder, std::uint64_t after,
                              const LineSink& onLine) {
    // Every file open before the first read: a rotation meanwhile renames them, the open files
    // read on.
    std::vector<std::pair<std::string, std::unique_ptr<os::ReadOnlyFile>>> files;
    for (std::string& path : history::HistoryFiles(folder)) {
        auto file = std::make_unique<os::ReadOnlyFile>();
        if (const int cause = file->Open(path)) {
            if (cause == ENOENT) {
                continue;  // removed meanwhile by the size cap
            }
            return path + ": cannot be opened: " + ErrorText(cause);
        }
        files.emplace_back(std::move(path), std::move(file));
    }
    std::uint64_t floor = after;
    std::vector<char> block(std::size_t{256} * 1024);
    for (auto& [path, file] : files) {
        std::string line;       // the line being gathered, up to its "\n"
        bool skipping = false;  // inside a line too long for an event
        for (;;) {
            std::size_t got = 0;
            if (const int cause = file->ReadSome(block.data(), block.size(), got)) {
                return path + ": cannot be read: " + ErrorText(cause);
            }
            if (got == 0) {
                break;  // a line without its "\n" is still being written
            }
            for (const char *at = block.data(), *end = at + got; at < end;) {
                const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
                const char* stop = newline != nullptr ? newline + 1 : end;
                if (!skipping) {
                    line.append(at, stop);
                    skipping = line.size() > history::kMaxLineBytes;
                }
                at = stop;
                if (newline == nullptr) {
                    continue;
                }
                if (!skipping) {
                    const history::EventReading reading =
                        history::ParseJsonLine(std::string_view(line).substr(0, line.size() - 1));
                    if (reading.event && reading.event->sequence > floor) {
                        floor = reading.event->sequence;
                        if (!onLine(line, floor)) {
                            return {};
                        }
                    }
                }
                line.clear();
                skipping = false;
            }
        }
    }
    return {};
}

std::optional<FleetConfig> ReadFleetConfig(const std::string& folder, std::string& error) {
    const std::string path = os::JoinPath(folder, kFleetConfigName);
    if (!os::PathExists(path)) {
        return std::nullopt;
    }
    const std::optional<std::string> content = ReadSmallFile(path, kConfigBytes);
    if (!content) {
        error =
            path + ": cannot be read, or longer than " + std::to_string(kConfigBytes) + " bytes";
        return std::nullopt;
    }
    const auto inFolder = [&folder](const std::string& file) {
        return file.empty() || std::filesystem::path(file).is_absolute()
                   ? file
                   : os::JoinPath(folder, file);
    };
    FleetConfig config;
    std::size_t number = 0;
    for (std::size_t at = 0; at < content->size(); ++number) {
        const std::size_t end = std::min(content->find('\n', at), content->size());
        const std::string line = Trim(std::string_view(*content).substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string key = Trim(line.substr(0, equals));
        // A comment may also follow the value, after white space.
        std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        value = Trim(value.substr(0, std::min(value.find(" #"), value.find("\t#"))));
        const std::string where = path + ": line " + std::to_string(number + 1) + ": ";
        if (equals == std::string::npos) {
            error = where + "not a \"key = value\" line";
        } else if (key == "url") {
            config.url = value;
        } else if (key == "token_file") {
            config.tokenFile = inFolder(value);
        } else if (key == "ca_file") {
            config.caFile = inFolder(value);
        } else {
            error = where + "unknown key \"" + OneLine(key) + "\" (url, token_file, ca_file)";
        }
        if (!error.empty()) {
            return std::nullopt;
        }
    }
    return config;
}

std::optional<FleetCursor> ReadFleetCursor(const std::string& folder) {
    const std::optional<std::string> content =
        ReadSmallFile(os::JoinPath(folder, kFleetCursorName), kConfigBytes);
    const Json document = Json::parse(content.value_or(""), nullptr, false);
    if (!document.is_object() || !document.contains("fleet") || !document["fleet"].is_string() ||
        !document.contains("acknowledged") || !document["acknowledged"].is_number_unsigned()) {
        return std::nullopt;
    }
    FleetCursor cursor;
    cursor.fleet = document["fleet"].get<std::string>();
    cursor.acknowledged = document["acknowledged"].get<std::uint64_t>();
    if (document.contains("url") && document["url"].is_string()) {
        cursor.url = document["url"].get<std::string>();
    }
    return cursor;
}

history::AcknowledgedSequence FleetAcknowledged(const std::string& folder) {
    return [folder]() -> std::uint64_t {
        if (const std::optional<FleetCursor> cursor = ReadFleetCursor(folder)) {
            return cursor->acknowledged;
        }
        std::string error;
        const std::optional<FleetConfig> config = ReadFleetConfig(folder, error);
        // A fleet.conf that cannot be read still means a fleet: its events are kept for it.
        return !error.empty() || (config && !config->url.empty())
                   ? 0
                   : std::numeric_limits<std::uint64_t>::max();
    };
}

}  // namespace gwu::cli
