// gwctl release sign and verify (Release.h).
#include "cli/Release.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "cli/Report.h"
#include "cli/Session.h"
#include "firmware/signing/FolderCheck.h"
#include "os/Format.h"
#include "os/Os.h"

namespace gwu::cli {

namespace {

namespace fs = std::filesystem;
using signing::FileState;
using signing::SignatureState;

constexpr std::uint64_t kMaxKeyBytes = std::uint64_t{64} * 1024;

void Say(const std::string& line) {
    std::fprintf(stderr, "gwctl release: %s\n", EscapeForTerminal(line).c_str());
}

std::optional<std::string> ReadKeyFile(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxKeyBytes) {
        Say(path + (ec ? ": " + ec.message() : std::string(": larger than 64 KiB, no key file")));
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        Say("cannot read " + path);
        return std::nullopt;
    }
    return text;
}

// Writes the file through a temporary file renamed over it, so that a reader sees the old or
// the new content.
bool Replace(const std::string& path, const std::string& content) {
    const std::string temp = path + ".writing";
    os::RemoveFile(temp);
    int cause = os::WriteNewFileDurably(temp, content);
    if (cause == 0) {
        cause = os::RenameReplace(temp, path);
    }
    if (cause != 0) {
        os::RemoveFile(temp);
        Say("cannot write " + path + ": " + std::strerror(cause));
        return false;
    }
    return true;
}

int Sign(const std::string& folder, const std::string& keyFile, std::uint64_t sequence) {
    if (!signing::SigningAvailable()) {
        Say("signing is available on Linux only");
        return kExitTrouble;
    }
    // The sequence grows with each publication: by default one above the folder's manifest.
    std::uint64_t current = 0;
    const signing::FolderCheck before = signing::CheckFolder(folder, {});
    if (before.manifest) {
        current = before.manifest->sequence;
    } else if (sequence == 0 && before.signature == SignatureState::Invalid) {
        // An unreadable manifest gives no sequence to grow: starting again at 1 would let an
        // old signed set pass for a newer one.
        Say(before.problem + "; name the publication's sequence with --sequence");
        return kExitTrouble;
    }
    if (sequence == 0) {
        sequence = current + 1;
    } else if (sequence <= current) {
        Say("the folder's manifest has sequence " + std::to_string(current) +
            "; a new publication needs a higher one");
        return kExitTrouble;
    }
    const std::optional<std::string> key = ReadKeyFile(keyFile);
    if (!key) {
        return kExitTrouble;
    }
    signing::ManifestReading made = signing::MakeManifest(folder, sequence, signing::UtcNow());
    if (!made.manifest) {
        Say(made.problem);
        return kExitTrouble;
    }
    const std::string bytes = signing::WriteManifest(*made.manifest);
    std::string problem;
    const std::optional<std::string> signature = signing::Sign(*key, bytes, problem);
    if (!signature) {
        Say(keyFile + ": " + problem);
        return kExitTrouble;
    }
    if (!Replace(os::JoinPath(folder, signing::kManifestName), bytes) ||
        !Replace(os::JoinPath(folder, signing::kSignatureName), *signature)) {
        return kExitTrouble;
    }
    std::printf("Signed %s: %zu files, sequence %llu (%s, %s)\n", folder.c_str(),
                made.manifest->files.size(), static_cast<unsigned long long>(sequence),
                signing::kManifestName, signing::kSignatureName);
    return kExitSame;
}

int Verify(const std::string& folder, const std::string& trustDir, bool json) {
    const signing::TrustFolder trust = signing::LoadTrustFolder(trustDir);
    for (const std::string& problem : trust.problems) {
        Say("trust folder " + trustDir + ": " + problem);
    }
    const signing::FolderCheck check = signing::CheckFolder(folder, trust.keys);
    const bool valid = check.signature == SignatureState::Valid && check.FilesMatch();
    if (json) {
        Json files = Json::array();
        for (const signing::FileCheck& file : check.files) {
            Json entry{{"name", file.name}, {"state", signing::FileStateName(file.state)}};
            if (!file.problem.empty()) {
                entry["problem"] = file.problem;
            }
            files.push_back(entry);
        }
        Json signature{{"state", signing::SignatureStateName(check.signature)}};
        if (!check.publisher.empty()) {
            signature["publisher"] = check.publisher;
        }
        if (check.manifest) {
            signature["sequence"] = check.sequence;
        }
        if (!check.problem.empty()) {
            signature["problem"] = check.problem;
        }
        std::cout << DumpJson(Json{{"folder", folder},
                                   {"trust", trustDir},
                                   {"signature", signature},
                                   {"files", files},
                                   {"valid", valid}})
                  << std::endl;
        return valid ? kExitSame : kExitTrouble;
    }
    std::string head =
        "Folder " + folder + ": signature " + signing::SignatureStateName(check.signature);
    if (!check.publisher.empty()) {
        head += ", publisher " + check.publisher;
    }
    if (check.manifest) {
        head += ", sequence " + std::to_string(check.sequence);
    }
    if (!check.problem.empty()) {
        head += " (" + check.problem + ")";
    }
    std::printf("%s\n", EscapeForTerminal(head).c_str());
    for (const signing::FileCheck& file : check.files) {
        const std::string line = file.name + "  " + signing::FileStateName(file.state) +
                                 (file.problem.empty() ? "" : ": " + file.problem);
        std::printf("  %s\n", EscapeForTerminal(line).c_str());
    }
    std::printf("%s\n", valid ? "Verified: every file matches the manifest a trusted key signed."
                              : "Not verified.");
    return valid ? kExitSame : kExitTrouble;
}

}  // namespace

int RunRelease(int argc, char** argv) {
    CLI::App app{"gwctl release: signs a firmware release folder (a publisher) or verifies one.",
                 "gwctl release"};
    app.require_subcommand(1);
    std::string folder;
    std::string key;
    std::uint64_t sequence = 0;
    CLI::App* sign = app.add_subcommand(
        "sign", "write the folder's manifest RELEASES.json and its signature RELEASES.json.sig");
    sign->add_option("--key", key, "the publisher's P-256 private key (PEM)")->required();
    sign->add_option("--sequence", sequence,
                     "the publication's sequence number (default: one above the folder's "
                     "manifest, else 1)")
        ->check(CLI::PositiveNumber);
    sign->add_option("folder", folder, "the firmware release folder")->required();
    std::string trust;
    bool json = false;
    CLI::App* verify = app.add_subcommand(
        "verify",
        "check the folder's files against its manifest and the manifest's signature "
        "against the trusted keys; exit 0 only when all is valid");
    verify->add_option("--trust", trust,
                       "folder of trusted publishers' public keys, *.pem (default: "
                       "GWU_TRUST_DIR, else the samples' keys/)");
    verify->add_flag("--json", json, "print one JSON document");
    verify->add_option("folder", folder, "the firmware release folder")->required();
    try {
        app.parse(argc - 1, argv + 1);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitTrouble;
    }
    if (sign->parsed()) {
        return Sign(folder, key, sequence);
    }
    return Verify(folder, TrustFolder(trust), json);
}

}  // namespace gwu::cli
