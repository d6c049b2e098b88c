// gwctl's firmware-folder policy: the trust folder, the checks it installs in the library and
// the stand-in host, and what it makes of the folder before an update or a cable run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli/Session.h"
#include "host/Folders.h"
#include "os/Format.h"
#include "os/Os.h"

namespace gwu::cli {

std::string TrustFolder(const std::string& option) {
    if (!option.empty()) {
        return option;
    }
    if (const char* value = std::getenv(kTrustDirVariable); value != nullptr && *value != '\0') {
        return value;
    }
    return gwu::os::JoinPath(gwu::os::SampleFolder(), "keys");
}

std::string SampleTrustFolder() {
    return gwu::os::JoinPath(gwu::os::SampleFolder(), "sample-trust");
}

signing::Policy FirmwarePolicy(const std::string& trust, bool sample, bool allowUnsigned,
                               bool allowRollback) {
    signing::Policy policy =
        signing::TesterPolicy(trust, gwu::host::LogFolder(), allowUnsigned, allowRollback);
    if (!sample) {
        const signing::TrustFolder samples = signing::LoadTrustFolder(SampleTrustFolder());
        auto& keys = policy.trusted;
        for (const signing::TrustedKey& sampleKey : samples.keys) {
            const auto found = std::find_if(keys.begin(), keys.end(), [&](const auto& key) {
                return key.fingerprint == sampleKey.fingerprint;
            });
            if (found != keys.end()) {
                policy.problems.push_back(found->name +
                                          ".pem: the samples' own key, trusted for the sample "
                                          "firmware only");
                keys.erase(found);
            }
        }
    }
    return policy;
}

void Session::InstallPolicy() {
    // The sample publisher's key is trusted for the sample firmware only: the working copy made
    // above, or the shipped folder itself.
    const std::string sampleFirmware = gwu::os::JoinPath(gwu::os::SampleFolder(), "firmware");
    const bool sample =
        !m_scratch.empty() || gwu::os::FinalPath(m_firmware) == gwu::os::FinalPath(sampleFirmware);
    const bool trustNamed = !m_options.trust.empty() || std::getenv(kTrustDirVariable) != nullptr;
    const std::string trust =
        sample && !trustNamed ? SampleTrustFolder() : TrustFolder(m_options.trust);
    m_policy = std::make_shared<const signing::Policy>(
        FirmwarePolicy(trust, sample, m_options.allowUnsigned, m_options.allowRollback));
    m_checks->SetFileVerifier(signing::MakeFileVerifier(m_policy));
    m_previousPlacement = gwu::host::SetPlacementCheck(signing::MakePlacementCheck(m_policy));
}

FolderReport FolderReportOf(const signing::FolderVerdict& verdict, const std::string& path) {
    FolderReport report;
    const signing::FolderCheck& check = verdict.check;
    report.path = path;
    report.signature = signing::SignatureStateName(check.signature);
    report.publisher = check.publisher;
    if (check.manifest) {
        report.sequence = check.sequence;
    }
    report.problem = check.problem;
    report.verified = verdict.verified;
    report.usable = verdict.usable;
    report.refusal = verdict.refusal;
    report.warning = verdict.warning;
    return report;
}

std::optional<std::string> Session::AcceptFolder(FolderReport* seen) {
    const signing::FolderVerdict verdict = signing::Evaluate(m_firmware, *m_policy);
    if (seen != nullptr) {
        *seen = FolderReportOf(verdict, m_firmware);
    }
    if (!verdict.usable) {
        return verdict.refusal;
    }
    if (const std::string problem = signing::RecordAccepted(verdict, *m_policy); !problem.empty()) {
        // The set is used; only a later rollback would go unnoticed.
        std::fprintf(stderr, "gwctl: warning: the accepted sequence was not recorded: %s\n",
                     EscapeForTerminal(problem).c_str());
    }
    return std::nullopt;
}

}  // namespace gwu::cli
