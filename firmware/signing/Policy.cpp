// A tester's policy for firmware release folders (Policy.h).
#include "firmware/signing/Policy.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <utility>

#include "os/Os.h"

namespace gwu::signing {

namespace {

// A ledger holds one short line per publisher: anything larger is no ledger of ours.
constexpr std::uint64_t kMaxLedgerBytes = std::uint64_t{1024} * 1024;

struct LedgerLine {
    std::string text;  // as it stands, without its line end
    std::string fingerprint;
    std::optional<std::uint64_t> sequence;  // none for a line that is not "<fingerprint> <n>"
};

std::vector<LedgerLine> ParseLedger(std::string_view bytes) {
    std::vector<LedgerLine> lines;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        std::string_view text = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        if (text.empty()) {
            continue;
        }
        LedgerLine line{std::string(text), {}, std::nullopt};
        const size_t space = text.find(' ');
        if (space != std::string_view::npos) {
            line.fingerprint = std::string(text.substr(0, space));
            const std::string_view number = text.substr(space + 1);
            std::uint64_t value = 0;
            const auto [at, error] =
                std::from_chars(number.data(), number.data() + number.size(), value);
            if (error == std::errc() && at == number.data() + number.size() && value > 0) {
                line.sequence = value;
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// Turns Valid into RolledBack when the ledger knows a higher sequence from the same key, or
// cannot tell (its file unreadable): the set's age is then unknown.
void ApplyLedger(FolderCheck& check, const Policy& policy) {
    if (check.signature == SignatureState::Untrusted && policy.trusted.empty() &&
        policy.TrustConfigured()) {
        check.problem = "the trust folder holds no usable key";
    }
    if (check.signature != SignatureState::Valid || policy.ledger.empty()) {
        return;
    }
    std::string problem;
    const std::uint64_t highest = SequenceLedger(policy.ledger).Highest(check.fingerprint, problem);
    if (!problem.empty()) {
        check.signature = SignatureState::RolledBack;
        check.problem = "the sequences accepted before cannot be read (" + problem + ")";
    } else if (check.sequence < highest) {
        check.signature = SignatureState::RolledBack;
        check.problem = "sequence " + std::to_string(check.sequence) + " is older than sequence " +
                        std::to_string(highest) + ", accepted before from " + check.publisher;
    }
}

// Why the manifest and its signature keep the folder's files from a device; empty when they
// do not.
std::string SignatureRefusal(const FolderCheck& check, const Policy& policy) {
    const std::string said = check.signature == SignatureState::Unsigned
                                 ? std::string("the folder is not signed: ")
                                 : std::string("the folder's signature is ") +
                                       SignatureStateName(check.signature) + ": ";
    if (!check.manifest && check.signature == SignatureState::Invalid) {
        // The digests cannot be checked at all.
        return policy.allowUnsigned ? std::string() : said + check.problem;
    }
    if (!policy.TrustConfigured() || check.signature == SignatureState::Valid) {
        return {};
    }
    if (check.signature == SignatureState::RolledBack) {
        return policy.allowRollback ? std::string() : said + check.problem;
    }
    return policy.allowUnsigned ? std::string() : said + check.problem;
}

}  // namespace

std::uint64_t SequenceLedger::Highest(const std::string& fingerprint, std::string& problem) const {
    problem.clear();
    if (!os::PathExists(m_path)) {
        return 0;
    }
    std::ifstream in(m_path, std::ios::binary);
    std::string bytes;
    if (in) {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in.is_open() || in.bad()) {
        problem = m_path + " cannot be read";
        return 0;
    }
    if (bytes.size() > kMaxLedgerBytes) {
        problem = m_path + " is larger than " + std::to_string(kMaxLedgerBytes) + " bytes";
        return 0;
    }
    std::uint64_t highest = 0;
    for (const LedgerLine& line : ParseLedger(bytes)) {
        if (line.fingerprint != fingerprint) {
            continue;
        }
        if (!line.sequence) {
            problem = m_path + " holds a malformed line for the key: \"" + line.text + "\"";
            return 0;
        }
        highest = std::max(highest, *line.sequence);
    }
    return highest;
}

std::string SequenceLedger::Accept(const std::string& fingerprint, std::uint64_t sequence) const {
    os::LockedFile file;
    if (const int cause = file.Open(m_path)) {
        return m_path + " cannot be opened: " + std::generic_category().message(cause);
    }
    std::string bytes;
    char chunk[4096];
    size_t got = 0;
    int cause = file.StartReading();
    while (cause == 0 && (cause = file.ReadSome(chunk, sizeof chunk, got)) == 0 && got > 0) {
        bytes.append(chunk, got);
        if (bytes.size() > kMaxLedgerBytes) {
            return m_path + " is larger than " + std::to_string(kMaxLedgerBytes) + " bytes";
        }
    }
    if (cause != 0) {
        return m_path + " cannot be read: " + std::generic_category().message(cause);
    }
    std::string content;
    std::uint64_t highest = 0;
    for (const LedgerLine& line : ParseLedger(bytes)) {
        if (line.fingerprint == fingerprint && line.sequence) {
            highest = std::max(highest, *line.sequence);
        } else {
            content += line.text + "\r\n";  // another key's, or a line kept as it stands
        }
    }
    if (sequence <= highest) {
        return {};
    }
    content += fingerprint + " " + std::to_string(sequence) + "\r\n";
    const std::string temp = file.Path() + ".writing";
    os::RemoveFile(temp);  // a writer that died left it; the lock is ours now
    cause = os::WriteNewFileDurably(temp, content);
    if (cause == 0) {
        cause = file.ReplaceWith(temp);
    }
    if (cause == 0) {
        cause = os::SyncFolder(os::ParentFolder(m_path));
    } else {
        os::RemoveFile(temp);
    }
    return cause == 0 ? std::string()
                      : m_path + " cannot be written: " + std::generic_category().message(cause);
}

Policy TesterPolicy(const std::string& trustFolder, const std::string& logFolder,
                    bool allowUnsigned, bool allowRollback) {
    Policy policy;
    TrustFolder trust = LoadTrustFolder(trustFolder);
    policy.trusted = std::move(trust.keys);
    policy.problems = std::move(trust.problems);
    policy.trustFolder = trustFolder;
    policy.allowUnsigned = allowUnsigned;
    policy.allowRollback = allowRollback;
    if (!logFolder.empty()) {
        policy.ledger = os::JoinPath(logFolder, kSequenceLedgerName);
    }
    return policy;
}

FolderVerdict Evaluate(const std::string& folder, const Policy& policy) {
    FolderVerdict verdict;
    verdict.check = CheckFolder(folder, policy.trusted);
    FolderCheck& check = verdict.check;
    ApplyLedger(check, policy);
    verdict.refusal = SignatureRefusal(check, policy);
    if (verdict.refusal.empty() && check.manifest) {
        for (const FileCheck& file : check.files) {
            if (file.state != FileState::Matches) {
                verdict.refusal = file.name + ": " + file.problem;
                break;
            }
        }
    }
    verdict.usable = verdict.refusal.empty();
    verdict.verified = check.signature == SignatureState::Valid && check.FilesMatch();
    if (verdict.usable && !verdict.verified) {
        if (!policy.TrustConfigured()) {
            verdict.warning = "the firmware folder is unverified: no trusted key is configured";
        } else {
            verdict.warning =
                std::string("the firmware folder is not verified, its signature is ") +
                SignatureStateName(check.signature) + " (" + check.problem +
                "), and it is used as the options allow";
        }
    }
    return verdict;
}

std::string RecordAccepted(const FolderVerdict& verdict, const Policy& policy) {
    if (!verdict.usable || verdict.check.signature != SignatureState::Valid ||
        policy.ledger.empty()) {
        return {};
    }
    return SequenceLedger(policy.ledger).Accept(verdict.check.fingerprint, verdict.check.sequence);
}

GatewayFileVerifier MakeFileVerifier(std::shared_ptr<const Policy> policy) {
    return [policy = std::move(policy)](const CString& folder,
                                        const std::vector<GatewayLoadFile>& files) {
        FolderCheck check = CheckManifest(folder, policy->trusted);
        ApplyLedger(check, *policy);
        if (std::string refusal = SignatureRefusal(check, *policy); !refusal.empty()) {
            return refusal;
        }
        if (!check.manifest) {
            return std::string();  // unsigned, and the policy lets it through
        }
        for (const GatewayLoadFile& file : files) {
            const FileCheck checked =
                CheckFileAs(folder, file.name, *check.manifest, file.listedAs);
            if (checked.state != FileState::Matches && checked.state != FileState::Missing) {
                return checked.name + ": " + checked.problem;
            }
        }
        return std::string();
    };
}

GatewayFileVerifier MakeFileVerifier(Policy policy) {
    return MakeFileVerifier(std::make_shared<const Policy>(std::move(policy)));
}

PlacementCheck MakePlacementCheck(std::shared_ptr<const Policy> policy) {
    return [policy = std::move(policy)](const std::string& folder, const std::string& releaseName,
                                        std::string_view bytes) {
        FolderCheck check = CheckManifest(folder, policy->trusted);
        ApplyLedger(check, *policy);
        if (std::string refusal = SignatureRefusal(check, *policy); !refusal.empty()) {
            return refusal;
        }
        if (!check.manifest) {
            return std::string();
        }
        const FileCheck checked =
            CheckBytes(*check.manifest, releaseName, Sha256::Of(bytes), bytes.size());
        return checked.state == FileState::Matches ? std::string()
                                                   : releaseName + ": " + checked.problem;
    };
}

}  // namespace gwu::signing
