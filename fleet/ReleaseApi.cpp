// The collector's release sets over HTTP: a tester asks which set its group stands for and
// downloads its files, byte for byte as published; an admin lists the sets.
#include <cctype>
#include <nlohmann/json.hpp>
#include <string_view>

#include "fleet/Collector.h"
#include "fleet/Releases.h"

namespace gwu::fleet {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kRelease = "/api/v1/release";
constexpr std::string_view kFilesPrefix = "/api/v1/release/";
constexpr std::string_view kSets = "/api/v1/sets";

http::Response JsonReply(const Json& body) {
    http::Response response;
    response.contentType = "application/json";
    response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return response;
}

// A path segment percent-decoded; nothing when an escape is malformed or it would hold a '/' or
// a NUL, which no published name holds.
std::optional<std::string> Decoded(const std::string& segment) {
    std::string text;
    for (size_t i = 0; i < segment.size(); ++i) {
        if (segment[i] != '%') {
            text += segment[i];
            continue;
        }
        if (i + 2 >= segment.size() || !std::isxdigit(static_cast<unsigned char>(segment[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(segment[i + 2]))) {
            return std::nullopt;
        }
        text += static_cast<char>(std::stoi(segment.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    if (text.empty() || text.find_first_of(std::string("/\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    return text;
}

// "ID/NAME" after the files' prefix: the publication and the file's name.
bool SplitFilePath(const std::string& path, long long& publication, std::string& name) {
    const std::string rest = path.substr(kFilesPrefix.size());
    const size_t slash = rest.find('/');
    const std::string id = rest.substr(0, slash);
    if (slash == std::string::npos || id.empty() || id.size() > 18 ||
        id.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::optional<std::string> decoded = Decoded(rest.substr(slash + 1));
    if (!decoded) {
        return false;
    }
    publication = std::stoll(id);
    name = *decoded;
    return true;
}

}  // namespace

bool Collector::IsReleasePath(const std::string& path) {
    return path == kRelease || path == kSets || path.rfind(kFilesPrefix, 0) == 0;
}

http::Response Collector::Release(const http::Request& request, const std::string& path) {
    const bool admin = path == kSets;
    std::string name;
    if (std::optional<http::Response> refused = Authorize(request, admin, name)) {
        return refused->status == 403 && !admin
                   ? Error(403, "an admin token has no release set: use the tester's own")
                   : *refused;
    }
    if (admin) {
        return JsonReply(m_pool.With([](Database& db) { return Sets(db); }));
    }
    if (path == kRelease) {
        const std::optional<Json> current =
            m_pool.With([&name](Database& db) { return CurrentRelease(db, name); });
        if (!current) {
            http::Response none;
            none.status = 204;
            return none;
        }
        return JsonReply(*current);
    }
    long long publication = 0;
    std::string file;
    if (!SplitFilePath(path, publication, file)) {
        return Error(404, "no such file: the path is /api/v1/release/PUBLICATION/NAME");
    }
    std::optional<std::string> bytes =
        m_pool.With([&](Database& db) { return ReleaseFile(db, name, publication, file); });
    if (!bytes) {
        return Error(404, "no such file in the set of the tester's group");
    }
    http::Response response;
    response.contentType = "application/octet-stream";
    response.body = std::move(*bytes);
    return response;
}

}  // namespace gwu::fleet
