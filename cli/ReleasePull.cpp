// A tester's pull of its group's release set (ReleasePull.h).
#include "cli/ReleasePull.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli/FleetFiles.h"
#include "cli/Report.h"
#include "cli/Session.h"
#include "cli/Sync.h"
#include "firmware/signing/Policy.h"
#include "host/Folders.h"
#include "os/Format.h"
#include "os/Os.h"

namespace gwu::cli {

namespace {

namespace fs = std::filesystem;

// The collector's answer for the group's set, and the marker: the same members.
constexpr std::size_t kAnswerBytes = std::size_t{64} * 1024;

struct SetName {
    std::string set;
    std::uint64_t publication = 0, sequence = 0;
    std::string manifest;  // its SHA-256, lower-case hex
};

std::optional<SetName> SetNameOf(const std::string& text) {
    const Json document = Json::parse(text, nullptr, false);
    const auto has = [&document](const char* name, bool number) {
        return document.is_object() && document.contains(name) &&
               (number ? document[name].is_number_unsigned() : document[name].is_string());
    };
    if (!has("set", false) || !has("publication", true) || !has("sequence", true) ||
        !has("manifest_sha256", false)) {
        return std::nullopt;
    }
    const auto digest = signing::DigestFromHex(document["manifest_sha256"].get<std::string>());
    SetName name{document["set"].get<std::string>(), document["publication"].get<std::uint64_t>(),
                 document["sequence"].get<std::uint64_t>(), digest ? signing::ToHex(*digest) : ""};
    return digest && !name.set.empty() ? std::optional<SetName>(name) : std::nullopt;
}

// A file's content; none when it cannot be read or is longer than the limit.
std::optional<std::string> ReadUpTo(const std::string& path, std::uint64_t limit) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::string content(static_cast<std::size_t>(limit) + 1, '\0');
    if (!in || (!in.read(&content[0], static_cast<std::streamsize>(content.size())) && in.bad())) {
        return std::nullopt;
    }
    content.resize(static_cast<std::size_t>(in.gcount()));
    return content.size() > limit ? std::nullopt : std::optional<std::string>(content);
}

// The SHA-256 of the folder's manifest, lower-case hex; empty when it has none.
std::string ManifestDigest(const std::string& folder) {
    const auto bytes =
        ReadUpTo(os::JoinPath(folder, signing::kManifestName), signing::kMaxManifestBytes);
    return bytes ? signing::ToHex(signing::Sha256::Of(*bytes)) : std::string();
}

// The set the folder's marker names, when the marker names the folder's manifest.
std::optional<SetName> MarkerOf(const std::string& folder) {
    const auto bytes = ReadUpTo(os::JoinPath(folder, kSetMarkerName), kAnswerBytes);
    std::optional<SetName> name = bytes ? SetNameOf(*bytes) : std::nullopt;
    return name && name->manifest == ManifestDigest(folder) ? name : std::nullopt;
}

// A name as one path segment of a URL.
std::string PathSegment(const std::string& name) {
    std::string segment;
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            segment += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned>(u));
            segment += escaped;
        }
    }
    return segment;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::path(path), ec);
}

void RemoveFolder(const std::string& path) {
    std::error_code ec;
    fs::remove_all(fs::path(path), ec);
}

// Downloads the set into the staging folder, checking each file as it arrives; why not, in words.
std::string Download(const std::string& staging, const SetName& set, const FleetGet& get) {
    const std::string base = "/api/v1/release/" + std::to_string(set.publication) + "/";
    const auto fetch = [&](const std::string& name, std::size_t limit, std::string& bytes) {
        std::string error;
        std::optional<http::Response> response = get(base + PathSegment(name), limit, error);
        if (!response) {
            return name + ": not received: " + OneLine(error);
        }
        if (response->status != 200) {
            return name + ": the collector answered " + StatusText(response->status) + ": " +
                   CollectorError(*response);
        }
        bytes = std::move(response->body);
        return std::string();
    };
    const auto keep = [&staging](const std::string& name, const std::string& bytes) {
        const int cause = os::WriteNewFileDurably(os::JoinPath(staging, name), bytes);
        return cause == 0 ? std::string()
                          : name + ": cannot be written in " + staging + ": " + ErrorText(cause);
    };
    std::string bytes;
    std::string problem = fetch(signing::kManifestName, signing::kMaxManifestBytes, bytes);
    if (!problem.empty()) {
        return problem;
    }
    if (signing::ToHex(signing::Sha256::Of(bytes)) != set.manifest) {
        return std::string(signing::kManifestName) +
               ": its SHA-256 is not the one the collector named for the set";
    }
    const signing::ManifestReading reading = signing::ParseManifest(bytes);
    if (!reading.manifest) {
        return std::string(signing::kManifestName) + ": " + reading.problem;
    }
    if (!(problem = keep(signing::kManifestName, bytes)).empty() ||
        !(problem = fetch(signing::kSignatureName, signing::kMaxSignatureBytes, bytes)).empty() ||
        !(problem = keep(signing::kSignatureName, bytes)).empty()) {
        return problem;
    }
    for (const signing::ManifestEntry& entry : reading.manifest->files) {
        if (!signing::IsPublishedFile(entry.name)) {
            return entry.name + ": not a file a release set may hold";
        }
        if (entry.size > kMaxSetFileBytes) {
            return entry.name + ": longer than " + std::to_string(kMaxSetFileBytes) + " bytes";
        }
        if (!(problem = fetch(entry.name, static_cast<std::size_t>(entry.size), bytes)).empty()) {
            return problem;
        }
        if (bytes.size() != entry.size || signing::Sha256::Of(bytes) != entry.sha256) {
            return entry.name + ": the bytes received are not the ones the manifest lists";
        }
        if (!(problem = keep(entry.name, bytes)).empty()) {
            return problem;
        }
    }
    const Json marker = {{"set", set.set},
                         {"publication", set.publication},
                         {"sequence", set.sequence},
                         {"manifest_sha256", set.manifest}};
    if (!(problem = keep(kSetMarkerName, marker.dump() + "\n")).empty()) {
        return problem;
    }
    const int cause = os::SyncFolder(staging);
    return cause == 0 ? std::string() : staging + ": cannot be synced: " + ErrorText(cause);
}

// Judges the staging folder as a firmware folder is judged before an update; a set must be
// verified. Why not, in the policy's words; the publisher goes to the result.
std::string Judge(const std::string& staging, const PullSettings& settings, PullResult& result) {
    const signing::Policy policy = FirmwarePolicy(settings.trust, false, false, false);
    const signing::FolderVerdict verdict = signing::Evaluate(staging, policy);
    if (!verdict.usable) {
        return verdict.refusal;
    }
    if (!verdict.verified) {
        return verdict.warning;
    }
    result.publisher = verdict.check.publisher;
    if (const std::string problem = signing::RecordAccepted(verdict, policy); !problem.empty()) {
        std::fprintf(stderr, "gwctl: warning: the accepted sequence was not recorded: %s\n",
                     EscapeForTerminal(problem).c_str());
    }
    return {};
}

// The two renames; on a failure the folder in use is put back.
std::string Switch(const std::string& firmware, const std::string& staging) {
    const fs::path inUse = fs::path(firmware), previous = fs::path(firmware + kPreviousSuffix);
    std::error_code ec;
    const bool moved = fs::exists(inUse, ec);
    if (moved) {
        fs::remove_all(previous, ec);
        if (!ec) {
            fs::rename(inUse, previous, ec);
        }
        if (ec) {
            return "the firmware folder cannot become " + firmware + kPreviousSuffix + ": " +
                   ec.message();
        }
    }
    fs::rename(fs::path(staging), inUse, ec);
    if (ec) {
        std::error_code back;
        if (moved) {
            fs::rename(previous, inUse, back);
        }
        return "the staging folder " + staging +
               " cannot become the firmware folder: " + ec.message() +
               (back ? "; the folder in use is left in " + firmware + kPreviousSuffix + ": " +
                           back.message()
                     : "");
    }
    os::SyncFolder(os::ParentFolder(firmware));
    return {};
}

void Take(PullResult& result, const SetName& set) {
    result.set = set.set;
    result.publication = set.publication;
    result.sequence = set.sequence;
}

}  // namespace

std::string NamedFirmwareFolder(const Options& options) {
    std::string folder = options.firmware;
    if (folder.empty()) {
        const char* value = std::getenv(host::kFirmwareDirVariable);
        folder = value != nullptr ? value : "";
    }
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == os::PathSeparator())) {
        folder.pop_back();
    }
    return folder;
}

PullResult FinishSwitch(const PullSettings& settings) {
    PullResult result;
    const std::string staging = settings.firmware + kStagingSuffix;
    if (settings.firmware.empty() || Exists(settings.firmware)) {
        return result;
    }
    const std::optional<SetName> set = MarkerOf(staging);
    if (!set) {
        return result;  // nothing complete to finish: the pull downloads the set again
    }
    Take(result, *set);
    const std::string refusal = Judge(staging, settings, result);
    result.problem = !refusal.empty() ? "the release set " + set->set + " in " + staging +
                                            " is refused: " + refusal
                                      : Switch(settings.firmware, staging);
    if (!refusal.empty()) {
        RemoveFolder(staging);  // the pull downloads the set again
    }
    result.switched = result.problem.empty();
    return result;
}

PullResult PullReleaseSet(const PullSettings& settings, const FleetGet& get) {
    PullResult result;
    std::string error;
    const std::optional<http::Response> answer = get("/api/v1/release", kAnswerBytes, error);
    if (!answer) {
        result.problem = "the release set cannot be asked for: " + OneLine(error);
        return result;
    }
    if (answer->status == 204 || answer->status == 404) {
        return result;  // no set for this tester's group, or a collector that delivers none
    }
    const std::optional<SetName> set =
        answer->status == 200 ? SetNameOf(answer->body) : std::nullopt;
    if (answer->status != 200) {
        result.problem = "the collector answered " + StatusText(answer->status) +
                         " when asked for the release set: " + CollectorError(*answer);
        return result;
    } else if (!set) {
        result.problem = "the collector's release set is not understood: " + OneLine(answer->body);
        return result;
    }
    if (set->manifest == ManifestDigest(settings.firmware)) {
        return result;  // the folder holds the set already
    }
    Take(result, *set);
    const bool inUse = Exists(settings.firmware);
    const std::string staging = settings.firmware + kStagingSuffix;
    RemoveFolder(staging);  // a stale one, under the sync lock
    std::error_code ec;
    fs::create_directory(fs::path(staging), ec);
    std::string problem =
        ec ? staging + ": cannot be created: " + ec.message() : Download(staging, *set, get);
    if (!problem.empty()) {
        problem = "the release set " + set->set +
                  " was not received (the next sync starts it again): " + problem;
    } else if (const std::string refusal = Judge(staging, settings, result); !refusal.empty()) {
        problem = "the release set " + set->set + " (sequence " + std::to_string(set->sequence) +
                  ") is refused: " + refusal;
    } else {
        problem = Switch(settings.firmware, staging);
    }
    if (!problem.empty()) {
        RemoveFolder(staging);
        // Only a switch that could not put the folder back leaves it elsewhere (and says where).
        const bool putBack = Exists(settings.firmware) == inUse;
        result.problem =
            problem +
            (putBack ? "; the firmware folder " + settings.firmware + " is unchanged" : "");
    }
    result.switched = problem.empty();
    return result;
}

std::string SwitchedText(const PullResult& result, const std::string& firmware) {
    const std::string previous = firmware + kPreviousSuffix;
    return "firmware folder now holds set " + result.set + " (sequence " +
           std::to_string(result.sequence) + ", publisher " + result.publisher + ")" +
           (Exists(previous) ? "; the previous one is in " + previous : "");
}

std::optional<std::string> SetOfFolder(const std::string& folder) {
    const std::optional<SetName> set = MarkerOf(folder);
    return set ? std::optional<std::string>(set->set) : std::nullopt;
}

}  // namespace gwu::cli
