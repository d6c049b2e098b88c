// gwctl's four commands: check, update (verified round by round), cable and list.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "cli/Session.h"
#include "devices/SerialNumList.h"
#include "devices/ValueNames.h"
#include "host/Folders.h"
#include "host/LineSinks.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"

namespace gwu::cli {

namespace {

constexpr int kMaxRounds = 6;
// A code type whose update did not take this many rounds in a row is not tried again.
constexpr int kFailuresBeforeGivingUp = 2;

const char* UpdateResultWord(UPDATERESULT result) {
    switch (result) {
        case UPDATE_SUCCEEDED:
            return "succeeded";
        case UPDATE_FAILED:
            return "failed";
        case UPDATE_NOT_RUN:
            break;
    }
    return "not run";
}

}  // namespace

int Session::Finish(const Json& document, const CheckReport& report) const {
    if (m_options.json) {
        std::cout << document.dump(2) << std::endl;
    }
    if (!report.read) {
        return kExitTrouble;
    }
    if (report.ComparedCount() == 0) {
        return kExitTrouble;  // no release to compare with: no verdict at all
    }
    return report.results.DifferencesFound() ? kExitDifferences : kExitSame;
}

int Session::CommandCheck() {
    const CheckReport report = Check();
    if (!m_options.json) {
        std::printf("Check of card %s (%s)\n", m_options.card.c_str(), m_deviceText.c_str());
        PrintReport(report, Communication() ? gwu::kHLXSerialNumValue : gwu::kQPTSerialNumValue);
    }
    return Finish(ToJson(report, m_options.card), report);
}

int Session::CommandUpdate() {
    const std::string serialName =
        Communication() ? gwu::kHLXSerialNumValue : gwu::kQPTSerialNumValue;
    CheckReport report = Check();
    if (!m_options.json) {
        std::printf("Check of card %s (%s)\n", m_options.card.c_str(), m_deviceText.c_str());
        PrintReport(report, serialName);
    }
    Json rounds = Json::array();
    std::map<CODETYPE, int> failuresInARow;
    std::set<CODETYPE> givenUp;
    for (int round = 1; round <= kMaxRounds && report.read; ++round) {
        // A code type given up on is left as it is; the others still get their turn.
        CCodeDiffResults asked = report.results;
        for (const CODETYPE codeType : givenUp) {
            asked.SetDiff(codeType, DIFF_SAME);
        }
        CODETYPE codeType = LC_CODE;
        if (!CGatewayChecks::SelectUpdateCodeType(asked, codeType)) {
            break;  // never asked with nothing differing: the library would repeat the last
        }
        const std::optional<std::string> expected =
            ReleaseIn(m_checks->GetFilename("", codeType, true));
        const CCodeDiffResults before = report.results;
        m_comms->SetPhase("updating", CodeLabel(codeType));
        m_checks->PerformUpdate(asked);
        const UPDATERESULT result = m_checks->WaitForUpdate();
        report = Check();
        const CodeRow* row = report.Row(codeType);
        const std::string reported = row != nullptr ? row->device : std::string();
        const bool took = report.read && row != nullptr && row->verdict == DIFF_SAME &&
                          (row->basis != Basis::Release || row->compared);
        rounds.push_back({{"code_type", CodeLabel(codeType)},
                          {"before", VerdictsJson(before)},
                          {"after", VerdictsJson(report.results)},
                          {"result", UpdateResultWord(result)},
                          {"expected", expected ? Json(*expected) : Json(nullptr)},
                          {"reported", reported},
                          {"took", took}});
        const int failures = took ? 0 : failuresInARow[codeType] + 1;
        failuresInARow[codeType] = failures;
        if (!m_options.json) {
            std::printf("Update %d: %s (device operation %s)\n  before: %s\n  after:  %s\n", round,
                        CodeLabel(codeType), UpdateResultWord(result), before.ToString().c_str(),
                        report.results.ToString().c_str());
            if (took) {
                std::printf("  %s took: the device reports %s\n", CodeLabel(codeType),
                            reported.c_str());
            } else {
                std::printf("  FAILED: %s did not take: expected %s, the device reports %s\n",
                            CodeLabel(codeType), expected ? expected->c_str() : "(none on disk)",
                            reported.c_str());
            }
        }
        if (failures >= kFailuresBeforeGivingUp) {
            givenUp.insert(codeType);
            if (!m_options.json) {
                std::printf("  %s failed %d rounds in a row; not trying it again.\n",
                            CodeLabel(codeType), failures);
            }
        }
    }
    if (!m_options.json) {
        std::printf("Final check:\n");
        PrintReport(report, serialName);
    }
    Json document = ToJson(report, m_options.card);
    document["rounds"] = rounds;
    return Finish(document, report);
}

int Session::CommandCable() {
    if (!Communication()) {
        std::fprintf(stderr,
                     "gwctl: only the communication module (card VCL) has cable firmware\n");
        return kExitTrouble;
    }
    const std::string valueName = gwu::kHLXReleaseValues[MAC_CODE].trimmed;
    CGatewayFileUtils files;
    const std::string image = files.GetHexFilename(MAC_CODE);
    const std::optional<std::string> expected = ReleaseIn(image);
    CString before;
    CString after;
    m_comms->SetPhase("reading", "");
    const bool readBefore = m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &before, CTabValueStore::kMaxLength);
    std::string resultLine;
    auto previous = gwu::host::SetMonitorSink([&](const std::string& line) {
        if (line.rfind("Firmware update result:", 0) == 0) {
            resultLine = line;
        }
        if (m_options.verbose) {
            std::fprintf(stderr, "MON %s\n", line.c_str());
        }
    });
    m_comms->SetPhase("updating", "MAC");
    m_checks->UpdateActiveCableFirmware();
    gwu::host::SetMonitorSink(std::move(previous));
    m_comms->SetPhase("reading", "");
    const bool read = readBefore && m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &after, CTabValueStore::kMaxLength);
    const bool took = read && expected && after == *expected;
    if (m_options.json) {
        std::cout << Json{{"card", m_options.card},
                          {"cable",
                           {{"before", before},
                            {"after", after},
                            {"expected", expected ? Json(*expected) : Json(nullptr)},
                            {"result", resultLine},
                            {"took", took}}}}
                         .dump(2)
                  << std::endl;
    } else {
        std::printf("Cable firmware update (%s)\n  before: %s\n  %s\n  after:  %s\n",
                    m_deviceText.c_str(), before.c_str(),
                    resultLine.empty() ? "no answer from the device" : resultLine.c_str(),
                    after.c_str());
        if (!read) {
            std::printf("  The device was not read.\n");
        } else if (!expected) {
            std::printf("  No release in the hex image %s to compare with.\n", image.c_str());
        } else if (!took) {
            std::printf("  FAILED: expected %s, the device reports %s\n", expected->c_str(),
                        after.c_str());
        }
    }
    if (!read || !expected) {
        return kExitTrouble;
    }
    return took ? kExitSame : kExitDifferences;
}

int Session::CommandList() {
    const std::string path = gwu::os::JoinPath(gwu::host::LogFolder(), gwu::kSerialNumListName);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    if (m_options.json) {
        std::cout << Json{{"file", path},
                          {"exists", static_cast<bool>(in.is_open())},
                          {"lines", lines}}
                         .dump(2)
                  << std::endl;
    } else {
        std::printf("Serial-number list %s%s\n", path.c_str(), in.is_open() ? ":" : " (none yet)");
        for (const std::string& line : lines) {
            std::printf("  %s\n", line.c_str());
        }
    }
    return kExitSame;
}

int Session::Run() {
    if (m_options.command == "check") {
        return CommandCheck();
    }
    if (m_options.command == "update") {
        return CommandUpdate();
    }
    if (m_options.command == "cable") {
        return CommandCable();
    }
    return CommandList();
}

}  // namespace gwu::cli
