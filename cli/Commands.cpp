// gwctl's commands check, update (verified round by round), cable and list, what each needs of
// the session, and the operations behind them, which the serve command shares.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "cli/Commands.h"
#include "cli/History.h"
#include "cli/Sync.h"
#include "devices/SerialNumList.h"
#include "devices/ValueNames.h"
#include "history/HistoryFile.h"
#include "history/HistoryReader.h"
#include "host/Folders.h"
#include "host/LineSinks.h"
#include "os/Format.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "platform/ValueStore.h"

namespace gwu::cli {

namespace {

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

Json RoundJson(const UpdateRound& round) {
    return {{"code_type", CodeLabel(round.codeType)},
            {"before", VerdictsJson(round.before)},
            {"after", VerdictsJson(round.after)},
            {"result", UpdateResultWord(round.result)},
            {"expected", round.expected ? Json(*round.expected) : Json(nullptr)},
            {"reported", round.reported},
            {"took", round.took},
            {"refused", round.refused.empty() ? Json(nullptr) : Json(round.refused)}};
}

Json CableJson(const CableOutcome& outcome) {
    return {{"before", outcome.before},
            {"after", outcome.after},
            {"expected", outcome.expected ? Json(*outcome.expected) : Json(nullptr)},
            {"result", outcome.resultLine},
            {"took", outcome.took},
            {"refused", outcome.refused.empty() ? Json(nullptr) : Json(outcome.refused)}};
}

CableOutcome Session::Cable() {
    CableOutcome outcome;
    const std::string valueName = gwu::kHLXReleaseValues[MAC_CODE].trimmed;
    CGatewayFileUtils files;
    outcome.image = files.GetHexFilename(MAC_CODE);
    outcome.expected = ReleaseIn(outcome.image);
    if (const auto refusal = AcceptFolder(&outcome.folder)) {
        outcome.refused = *refusal;
        return outcome;
    }
    m_comms->SetPhase("reading", "");
    const bool readBefore = m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &outcome.before, CTabValueStore::kMaxLength);
    {
        const MonitorTap tap([&outcome](const std::string& line) {
            if (line.rfind("Firmware update result:", 0) == 0) {
                outcome.resultLine = line;
            }
        });
        m_comms->SetPhase("updating", "MAC");
        m_checks->UpdateActiveCableFirmware();
    }
    outcome.refused = m_checks->GetFileRefusal();
    m_comms->SetPhase("reading", "");
    outcome.read = readBefore && m_checks->SetReleaseIds(true);
    m_frame.Store().GetValue(valueName, &outcome.after, CTabValueStore::kMaxLength);
    m_frame.Store().GetValue(gwu::kHLXSerialNumValue, &outcome.serial, CTabValueStore::kMaxLength);
    outcome.took = outcome.read && outcome.expected && outcome.after == *outcome.expected;
    return outcome;
}

SerialList ReadSerialList() {
    SerialList list;
    list.path = gwu::os::JoinPath(gwu::host::LogFolder(), gwu::kSerialNumListName);
    std::ifstream in(list.path, std::ios::binary);
    list.exists = in.is_open();
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        list.lines.push_back(line);
    }
    return list;
}

namespace {

// What every run says of the firmware folder on stderr: the trust folder's broken entries and
// why a folder in use is not verified.
void WarnAboutFolder(const Session& session, const FolderReport& folder) {
    for (const std::string& problem : session.TrustProblems()) {
        std::fprintf(stderr, "gwctl: warning: trust folder: %s\n",
                     EscapeForTerminal(problem).c_str());
    }
    if (!folder.warning.empty()) {
        std::fprintf(stderr, "gwctl: warning: %s (%s)\n", EscapeForTerminal(folder.warning).c_str(),
                     EscapeForTerminal(folder.path).c_str());
    }
}

// Why an update or a cable run sent nothing, with what the user can do about it.
void SayRefusal(const FolderReport& folder, const std::string& refusal) {
    std::string hint;
    if (!folder.usable && folder.signature == "rolled back") {
        hint = " (an older set is used only with --allow-rollback)";
    } else if (!folder.usable && folder.signature != "valid" &&
               refusal.rfind("the folder", 0) == 0) {
        hint = " (a folder without a trusted signature is used only with --allow-unsigned)";
    }
    // The folder's own check comes before anything is placed; the library's, before each
    // request.
    std::fprintf(stderr,
                 "gwctl: firmware folder %s refused: %s%s; %sthe device was not told to update\n",
                 EscapeForTerminal(folder.path).c_str(), EscapeForTerminal(refusal).c_str(),
                 hint.c_str(), folder.usable ? "" : "nothing was placed and ");
}

}  // namespace

int CheckExitCode(const CheckReport& report) {
    if (!report.refused.empty() || !report.read) {
        return kExitTrouble;
    }
    if (report.ComparedCount() == 0) {
        return kExitTrouble;  // no release to compare with: no verdict at all
    }
    return report.results.DifferencesFound() ? kExitDifferences : kExitSame;
}

int CableExitCode(const CableOutcome& outcome) {
    if (!outcome.refused.empty() || !outcome.read || !outcome.expected) {
        return kExitTrouble;
    }
    return outcome.took ? kExitSame : kExitDifferences;
}

namespace {

// Records the command in the history, prints the document in JSON mode and says what stderr
// must; returns the exit code.
int Finish(const Session& session, Json document, const CheckReport& report, Operation operation,
           gwu::RepairOutcome repairBefore) {
    const Options& options = session.GetOptions();
    operation.exitStatus = CheckExitCode(report);
    document["history"] = RecordOperation(session, operation, repairBefore);
    if (options.json) {
        std::cout << DumpJson(document) << std::endl;
    }
    WarnAboutList(report);
    if (!report.refused.empty()) {
        SayRefusal(report.folder, report.refused);
    }
    return operation.exitStatus;
}

int RunCheck(Session& session) {
    const Options& options = session.GetOptions();
    const auto repairBefore = gwu::LastRepairOutcome();
    const CheckReport report = session.Check();
    WarnAboutFolder(session, report.folder);
    if (!options.json) {
        std::printf("Check of card %s (%s)\n", EscapeForTerminal(options.card).c_str(),
                    EscapeForTerminal(session.DeviceText()).c_str());
        PrintReport(report,
                    session.Communication() ? gwu::kHLXSerialNumValue : gwu::kQPTSerialNumValue);
    }
    return Finish(session, ToJson(report, options.card), report,
                  {"check", &report, &report, nullptr, nullptr, 0}, repairBefore);
}

int RunUpdate(Session& session) {
    const Options& options = session.GetOptions();
    const std::string serialName =
        session.Communication() ? gwu::kHLXSerialNumValue : gwu::kQPTSerialNumValue;
    const auto repairBefore = gwu::LastRepairOutcome();
    const CheckReport first = session.Check();
    WarnAboutFolder(session, first.folder);
    if (!options.json) {
        std::printf("Check of card %s (%s)\n", EscapeForTerminal(options.card).c_str(),
                    EscapeForTerminal(session.DeviceText()).c_str());
        PrintReport(first, serialName);
    }
    Json rounds = Json::array();
    std::vector<UpdateRound> made;
    const CheckReport report =
        session.Update(first, [&](const UpdateRound& round, const CheckReport&) {
            rounds.push_back(RoundJson(round));
            made.push_back(round);
            if (options.json) {
                return;
            }
            const char* label = CodeLabel(round.codeType);
            std::printf("Update %d: %s (device operation %s)\n  before: %s\n  after:  %s\n",
                        round.number, label, UpdateResultWord(round.result),
                        round.before.ToString().c_str(), round.after.ToString().c_str());
            const std::string reported = EscapeForTerminal(round.reported);
            if (!round.refused.empty()) {
                std::printf("  REFUSED: %s was not sent to the device: %s\n", label,
                            EscapeForTerminal(round.refused).c_str());
            } else if (round.took) {
                std::printf("  %s took: the device reports %s\n", label, reported.c_str());
            } else {
                std::printf(
                    "  FAILED: %s did not take: expected %s, the device reports %s\n", label,
                    round.expected ? EscapeForTerminal(*round.expected).c_str() : "(none on disk)",
                    reported.c_str());
            }
            if (round.givenUp) {
                std::printf("  %s failed %d rounds in a row; not trying it again.\n", label,
                            round.failuresInARow);
            }
        });
    if (!options.json && (!rounds.empty() || report.refused.empty())) {
        std::printf("Final check:\n");
        PrintReport(report, serialName);
    }
    Json document = ToJson(report, options.card);
    document["rounds"] = rounds;
    document["refused"] = report.refused.empty() ? Json(nullptr) : Json(report.refused);
    return Finish(session, document, report, {"update", &first, &report, &made, nullptr, 0},
                  repairBefore);
}

int RunCable(Session& session) {
    const Options& options = session.GetOptions();
    if (!session.Communication()) {
        std::fprintf(stderr,
                     "gwctl: only the communication module (card VCL) has cable firmware\n");
        return kExitTrouble;
    }
    const auto repairBefore = gwu::LastRepairOutcome();
    const CableOutcome outcome = session.Cable();
    WarnAboutFolder(session, outcome.folder);
    const int code = CableExitCode(outcome);
    const Json history = RecordOperation(
        session, {"cable", nullptr, nullptr, nullptr, &outcome, code}, repairBefore);
    if (!outcome.refused.empty()) {
        if (options.json) {
            std::cout << DumpJson(Json{{"card", options.card},
                                       {"cable", CableJson(outcome)},
                                       {"signature", SignatureJson(outcome.folder)},
                                       {"folder", FolderJson(outcome.folder)},
                                       {"history", history}})
                      << std::endl;
        }
        SayRefusal(outcome.folder, outcome.refused);
        return code;
    }
    if (options.json) {
        std::cout << DumpJson(Json{{"card", options.card},
                                   {"cable", CableJson(outcome)},
                                   {"history", history}})
                  << std::endl;
    } else {
        const std::string after = EscapeForTerminal(outcome.after);
        std::printf("Cable firmware update (%s)\n  before: %s\n  %s\n  after:  %s\n",
                    EscapeForTerminal(session.DeviceText()).c_str(),
                    EscapeForTerminal(outcome.before).c_str(),
                    outcome.resultLine.empty() ? "no answer from the device"
                                               : EscapeForTerminal(outcome.resultLine).c_str(),
                    after.c_str());
        if (!outcome.read) {
            std::printf("  The device was not read.\n");
        } else if (!outcome.expected) {
            std::printf("  No release in the hex image %s to compare with.\n",
                        EscapeForTerminal(outcome.image).c_str());
        } else if (!outcome.took) {
            std::printf("  FAILED: expected %s, the device reports %s\n",
                        EscapeForTerminal(*outcome.expected).c_str(), after.c_str());
        }
    }
    return code;
}

int RunList(Session& session) {
    const Options& options = session.GetOptions();
    const SerialList list = ReadSerialList();
    if (options.json) {
        std::cout << DumpJson(
                         Json{{"file", list.path}, {"exists", list.exists}, {"lines", list.lines}})
                  << std::endl;
    } else {
        std::printf("Serial-number list %s%s\n", EscapeForTerminal(list.path).c_str(),
                    list.exists ? ":" : " (none yet)");
        for (const std::string& line : list.lines) {
            std::printf("  %s\n", EscapeForTerminal(line).c_str());
        }
    }
    return kExitSame;
}

int RunHistory(Session& session) {
    const Options& options = session.GetOptions();
    history::Filter filter;
    filter.serial = options.serialFilter;
    filter.since = options.since;
    filter.operation = options.operationFilter;
    std::vector<history::Event> events;
    history::ReadHistory(
        host::LogFolder(), filter,
        [&events](const history::Event& event) {
            events.push_back(event);
            return true;
        },
        [](const std::string& warning) {
            std::fprintf(stderr, "gwctl: warning: %s\n", EscapeForTerminal(warning).c_str());
        });
    if (!options.json) {
        std::printf(
            "History %s (%zu events)\n",
            EscapeForTerminal(os::JoinPath(host::LogFolder(), history::kHistoryFileName)).c_str(),
            events.size());
    }
    PrintHistory(events, options.json);
    return kExitSame;
}

}  // namespace

const std::vector<Command>& Commands() {
    // Only what reads a device needs the firmware folder to compare with; what places releases
    // needs, over TCP, the folder gwemu uses; serve shows its waits and prompts on its page; sync
    // needs only the log folder.
    static const std::vector<Command> commands = {
        // Name, needs (device, places releases, terminal), run, syncs after.
        {"check", {true, false, true}, RunCheck, true},
        {"update", {true, true, true}, RunUpdate, true},
        {"cable", {true, true, true}, RunCable, true},
        {"list", {false, false, true}, RunList},
        {"history", {false, false, true}, RunHistory},
        {"serve", {true, true, false}, nullptr},
        {"sync", {false, false, true}, RunSync},
    };
    return commands;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : Commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace gwu::cli
