// The manifest format: read with nlohmann::json (bounded, every member checked), written by
// hand in one fixed layout so that the bytes signed are the same on every platform.
#include "firmware/signing/Manifest.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

#include "firmware/ReleaseFile.h"

namespace gwu::signing {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// A JSON string: the escapes JSON requires, everything else (UTF-8 included) as it is.
void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

// A member of the object, of the JSON type the check names; the problem says which one failed.
template <typename Check>
const json* Member(const json& object, const char* name, Check isType, const char* type,
                   std::string& problem) {
    const auto found = object.find(name);
    if (found == object.end()) {
        problem = std::string("no \"") + name + "\" member";
        return nullptr;
    }
    if (!isType(*found)) {
        problem = std::string("\"") + name + "\" is not " + type;
        return nullptr;
    }
    return &*found;
}

bool IsCount(const json& value) {
    return value.is_number_unsigned();
}
bool IsString(const json& value) {
    return value.is_string();
}

}  // namespace

const ManifestEntry* Manifest::Find(std::string_view name) const {
    for (const ManifestEntry& entry : files) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20 ||
               c == 0x7F;
    });
}

bool IsPublishedFile(std::string_view name) {
    return IsPlainFileName(name) && name.front() != '.' && name != kManifestName &&
           name != kSignatureName && !EndsWith(name, ".bin") && !EndsWith(name, ".placing");
}

ManifestReading ParseManifest(std::string_view bytes) {
    ManifestReading reading;
    if (bytes.size() > kMaxManifestBytes) {
        reading.problem = "the manifest is larger than 1 MiB";
        return reading;
    }
    const json document = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        reading.problem = "the manifest is not a JSON object";
        return reading;
    }
    std::string& problem = reading.problem;
    const json* format = Member(document, "format", IsCount, "a whole number", problem);
    if (format == nullptr) {
        return reading;
    }
    if (format->get<std::uint64_t>() != static_cast<std::uint64_t>(kManifestFormat)) {
        problem = "the manifest has format " + format->dump() + "; this tool reads format " +
                  std::to_string(kManifestFormat);
        return reading;
    }
    const json* created = Member(document, "created", IsString, "a text", problem);
    const json* sequence =
        created ? Member(document, "sequence", IsCount, "a whole number", problem) : nullptr;
    const json* files =
        sequence
            ? Member(
                  document, "files", [](const json& v) { return v.is_array(); }, "a list", problem)
            : nullptr;
    if (files == nullptr) {
        return reading;
    }
    Manifest manifest;
    manifest.created = created->get<std::string>();
    manifest.sequence = sequence->get<std::uint64_t>();
    if (manifest.sequence == 0) {
        problem = "the sequence is 0; it starts at 1";
        return reading;
    }
    std::set<std::string> names;
    for (const json& file : *files) {
        const std::string where = "file " + std::to_string(manifest.files.size() + 1) + ": ";
        if (!file.is_object()) {
            problem = where + "not a JSON object";
            return reading;
        }
        const json* name = Member(file, "name", IsString, "a text", problem);
        const json* size =
            name ? Member(file, "size", IsCount, "a whole number", problem) : nullptr;
        const json* digest = size ? Member(file, "sha256", IsString, "a text", problem) : nullptr;
        if (digest == nullptr) {
            problem = where + problem;
            return reading;
        }
        ManifestEntry entry;
        entry.name = name->get<std::string>();
        if (!IsPlainFileName(entry.name)) {
            problem = where + "\"" + entry.name + "\" is not a plain file name of the folder";
            return reading;
        }
        if (!names.insert(entry.name).second) {
            problem = where + "\"" + entry.name + "\" is listed twice";
            return reading;
        }
        entry.size = size->get<std::uint64_t>();
        const std::optional<Digest> sha256 = DigestFromHex(digest->get<std::string>());
        if (!sha256) {
            problem = where + "the sha256 of \"" + entry.name + "\" is not 64 hexadecimal digits";
            return reading;
        }
        entry.sha256 = *sha256;
        if (const auto id = file.find("release_id"); id != file.end()) {
            if (!id->is_string()) {
                problem = where + "\"release_id\" is not a text";
                return reading;
            }
            entry.releaseId = id->get<std::string>();
        }
        manifest.files.push_back(std::move(entry));
    }
    reading.manifest = std::move(manifest);
    return reading;
}

std::string WriteManifest(const Manifest& manifest) {
    std::vector<const ManifestEntry*> files;
    for (const ManifestEntry& entry : manifest.files) {
        files.push_back(&entry);
    }
    std::sort(files.begin(), files.end(),
              [](const ManifestEntry* a, const ManifestEntry* b) { return a->name < b->name; });
    std::string out = "{\"format\": " + std::to_string(manifest.format) + ", \"created\": ";
    AppendJsonString(out, manifest.created);
    out += ", \"sequence\": " + std::to_string(manifest.sequence) + ",\n \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        out += i == 0 ? "\n  {\"name\": " : ",\n  {\"name\": ";
        AppendJsonString(out, files[i]->name);
        out += ", \"size\": " + std::to_string(files[i]->size) + ", \"sha256\": \"" +
               ToHex(files[i]->sha256) + "\"";
        if (files[i]->releaseId) {
            out += ", \"release_id\": ";
            AppendJsonString(out, *files[i]->releaseId);
        }
        out += "}";
    }
    out += "\n]}\n";
    return out;
}

ManifestReading MakeManifest(const std::string& folder, std::uint64_t sequence,
                             const std::string& created) {
    ManifestReading reading;
    Manifest manifest;
    manifest.sequence = sequence;
    manifest.created = created;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!IsPublishedFile(name)) {
            continue;
        }
        const fs::file_status status = it->symlink_status(ec);
        if (ec || !fs::is_regular_file(status)) {
            // A link or a folder has no place in a release folder that is signed.
            reading.problem = name + " is not a plain file (a folder or a link)";
            return reading;
        }
        const FileDigest file = DigestOfFile(it->path().string());
        if (!file.problem.empty()) {
            reading.problem = name + ": " + file.problem;
            return reading;
        }
        ManifestEntry entry{name, file.size, file.digest, std::nullopt};
        // The Release-Id of a release file, read from its first line.
        if (auto id = firmware::ReadReleaseIdOrProblem(it->path().string()); id.id) {
            entry.releaseId = std::move(id.id);
        }
        manifest.files.push_back(std::move(entry));
    }
    if (ec) {
        reading.problem = "cannot list " + folder + ": " + ec.message();
        return reading;
    }
    if (manifest.files.empty()) {
        reading.problem = "the folder " + folder + " holds no file to sign";
        return reading;
    }
    std::sort(manifest.files.begin(), manifest.files.end(),
              [](const ManifestEntry& a, const ManifestEntry& b) { return a.name < b.name; });
    reading.manifest = std::move(manifest);
    return reading;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace gwu::signing
