// gwctl's events in the tester's update history (History.h).
#include "cli/History.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "base/Version.h"
#include "cli/ReleasePull.h"
#include "cli/Sync.h"
#include "history/HistoryFile.h"
#include "history/UpdateEvent.h"
#include "host/Folders.h"
#include "os/Format.h"
#include "process/ProcessUtils.h"

namespace gwu::cli {

namespace {

// Who recorded the event, where, with what.
void Stamp(history::Event& event, const Session& session, const std::string& operation) {
    event.tester = TesterName(session.GetOptions().tester);
    event.tool = std::string("gwctl ") + LibraryVersion();
    event.library = LibraryVersion();
    event.operation = operation;
    event.card = session.GetOptions().card;
}

void AddFolder(history::Event& event, const FolderReport& folder) {
    if (folder.signature != "unsigned") {
        event.folder = history::FolderRecord{folder.signature, folder.publisher, folder.sequence,
                                             SetOfFolder(folder.path)};
    }
}

}  // namespace

std::string TesterName(const std::string& option) {
    if (!option.empty()) {
        return option;
    }
    if (const char* value = std::getenv(kTesterVariable); value != nullptr && *value != '\0') {
        return value;
    }
    const std::string host = host::HostName();
    return host.empty() ? "tester" : host;
}

Json RecordOperation(const Session& session, const Operation& operation,
                     gwu::RepairOutcome repairBefore) {
    std::vector<history::Event> events;
    const gwu::RepairOutcome repair = gwu::LastRepairOutcome();
    const CheckReport* last = operation.last;
    if (session.Communication() && repair != repairBefore && repair != gwu::RepairOutcome::None) {
        history::Event event;
        Stamp(event, session, "repair");
        event.repair = gwu::RepairOutcomeWord(repair);
        event.serial = last != nullptr ? last->record.serial : std::string();
        events.push_back(std::move(event));
    }
    // A check's or an update's event is the SDK's, made from the library's records.
    history::Event event;
    if (last != nullptr) {
        const CheckReport& first = operation.first != nullptr ? *operation.first : *last;
        event = history::EventOf(
            operation.name, first.record, last->record,
            operation.rounds != nullptr ? *operation.rounds : std::vector<UpdateRound>{});
    }
    Stamp(event, session, operation.name);
    event.exitStatus = operation.exitStatus;
    if (last != nullptr) {
        AddFolder(event, last->folder);
    }
    if (const CableOutcome* cable = operation.cable) {
        AddFolder(event, cable->folder);
        event.serial = cable->serial;
        event.codeTypes.push_back({CodeLabel(MAC_CODE), cable->before, cable->after,
                                   cable->expected.value_or(""), cable->took ? "Same" : "Older",
                                   cable->read && cable->expected.has_value()});
        const std::string& line = cable->resultLine;
        const char* result = line.empty()                                              ? "not run"
                             : line.size() > 2 && line.substr(line.size() - 2) == " 0" ? "succeeded"
                                                                                       : "failed";
        event.rounds.push_back({1, CodeLabel(MAC_CODE), result, cable->expected, cable->after,
                                cable->took, cable->refused});
    }
    events.push_back(std::move(event));

    // A rotation keeps what the fleet has not acknowledged yet.
    history::HistoryFile file(host::LogFolder(), FleetAcknowledged(host::LogFolder()));
    Json member = {{"recorded", true}};
    for (history::Event& recorded : events) {
        const history::AppendResult result = file.Append(recorded);
        if (!result.recorded) {
            std::fprintf(stderr, "gwctl: warning: the history in %s was not recorded: %s\n",
                         EscapeForTerminal(file.Folder()).c_str(),
                         EscapeForTerminal(result.problem).c_str());
            return {{"recorded", false}, {"problem", result.problem}};
        }
        member["seq"] = result.sequence;
    }
    return member;
}

Json EventJson(const history::Event& event) {
    return Json::parse(history::ToJsonLine(event), nullptr, false);
}

std::string EventSummary(const history::Event& event) {
    if (event.operation == "dropped") {
        return std::to_string(event.droppedCount.value_or(0)) + " events dropped (" +
               std::to_string(event.droppedFirst.value_or(0)) + " to " +
               std::to_string(event.droppedLast.value_or(0)) + ")";
    }
    if (event.operation == "repair") {
        return "serial number repair: " + event.repair.value_or("?");
    }
    std::string text;
    if (event.operation == "update" || event.operation == "cable") {
        for (const history::RoundRecord& round : event.rounds) {
            text += (text.empty() ? "" : ", ") + round.code + " " +
                    (!round.refused.empty() ? "refused"
                     : round.took           ? "took " + round.reported
                                            : "did not take");
        }
        if (event.rounds.empty()) {
            text = "no round";
        }
        text += "; ";
    }
    for (const history::CodeTypeRecord& code : event.codeTypes) {
        if (event.operation != "cable" || code.code == "MAC") {
            text += code.code + ":" + code.verdict + " ";
        }
    }
    if (event.exitStatus) {
        text += "(exit " + std::to_string(*event.exitStatus) + ")";
    }
    return text;
}

void PrintHistory(const std::vector<history::Event>& events, bool json) {
    if (json) {
        for (const history::Event& event : events) {
            std::fputs(history::ToJsonLine(event).c_str(), stdout);
        }
        return;
    }
    std::printf("  %-6s %-20s %-12s %-9s %-5s %-10s %s\n", "seq", "time (UTC)", "tester",
                "operation", "card", "serial", "what");
    for (const history::Event& event : events) {
        // Every text of the file may hold any bytes: escaped for the terminal.
        std::printf("  %-6llu %-20s %-12s %-9s %-5s %-10s %s\n",
                    static_cast<unsigned long long>(event.sequence),
                    EscapeForTerminal(event.time).c_str(), EscapeForTerminal(event.tester).c_str(),
                    EscapeForTerminal(event.operation).c_str(),
                    EscapeForTerminal(event.card).c_str(), EscapeForTerminal(event.serial).c_str(),
                    EscapeForTerminal(EventSummary(event)).c_str());
    }
}

}  // namespace gwu::cli
