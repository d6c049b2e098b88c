// gwctl's part of the tester's update history: the event each command makes of what it did, its
// recording in the log folder, and the history command that reads it back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/Report.h"
#include "cli/Session.h"
#include "history/Event.h"
#include "repair/RepairOutcome.h"

namespace gwu::cli {

// The tester's name: the option, else GWU_TESTER, else the host name ("tester" when it is
// unknown).
constexpr const char* kTesterVariable = "GWU_TESTER";
std::string TesterName(const std::string& option);

// What a command did, for its event.
struct Operation {
    std::string name;                    // "check", "update", "cable"
    const CheckReport* first = nullptr;  // the check it started from (check, update)
    const CheckReport* last = nullptr;   // the check it ended with
    const std::vector<UpdateRound>* rounds = nullptr;
    const CableOutcome* cable = nullptr;
    int exitStatus = 0;
};

// Records a command's events in the log folder's history: a "repair" event first when the
// serial-number repair ran during it (repairBefore: the repair's outcome before the command),
// then the command's own. Returns the "history" member of the command's JSON document
// ({"recorded": true, "seq": N} or {"recorded": false, "problem": ...}); a history that
// cannot be written is also said on stderr, and the command's result stays as it was.
Json RecordOperation(const Session& session, const Operation& operation,
                     gwu::RepairOutcome repairBefore);

// The events as a table, oldest first, or as JSON Lines.
void PrintHistory(const std::vector<history::Event>& events, bool json);
// One event's summary in words: the verdicts, the rounds, the cable or the repair's outcome.
std::string EventSummary(const history::Event& event);
// An event as the JSON object of its line.
Json EventJson(const history::Event& event);

}  // namespace gwu::cli
