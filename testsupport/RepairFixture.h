// The serial-number repair's test bench: a modelled communication module behind the scripted
// connection, the deployed-unit list, scripted keys that note the host notifications, the
// repair report in the test's folder and what the user was shown.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/ExecutionEngine.h"
#include "host/popup/PopupLibrary.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"
#include "repair/RepairReport.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"

namespace gwu::test {

using Notifications = std::vector<std::pair<bool, bool>>;

// One identity item of the modelled device: the value in use and the stored copy; an item
// without a value cannot be read.
struct Item {
    std::optional<std::string> inUse;
    std::optional<std::string> stored;
};

inline Item Same(const std::string& value) {
    return Item{value, value};
}

// A communication module as the repair sees it. A write changes the value in use; a write
// carrying VSI_WRITE_TO_STORAGE then commits every value in use to storage. MAC addresses are
// always read from storage.
struct DeviceModel {
    Item serial, ethernet, usb;
    int writeError = 0;
    bool keepsWrites = true;

    std::optional<Reply> Answer(const RecordedRequest& request) {
        const int type = request.requestType;
        const bool isSerial = type == VSI_GET_CARD_SERIAL_NUM || type == VSI_SET_CARD_SERIAL_NUM;
        Item& item = isSerial ? serial : (request.flags & VSI_ETHERNET_MAC) != 0 ? ethernet : usb;
        if (request.kind == SubRequestKind::VsiGetSerialNumber &&
            (isSerial || type == VSI_GET_MAC_ADDRESS)) {
            const auto& value =
                (request.flags & VSI_READ_FROM_STORAGE) != 0 ? item.stored : item.inUse;
            return value ? Reply::Text(*value) : Reply::Error(5);
        }
        if (request.kind != SubRequestKind::VsiSetSerialNumber) {
            return std::nullopt;  // the release requests have standing answers
        }
        if (writeError != 0) {
            return Reply::Error(writeError);
        }
        if (keepsWrites) {
            item.inUse = request.data;
            if ((request.flags & VSI_WRITE_TO_STORAGE) != 0) {
                for (Item* each : {&serial, &ethernet, &usb}) {
                    each->stored = each->inUse;
                }
            }
        }
        return Reply::Text("");
    }
};

// The result popup as the trace describes it.
inline std::string Message(unsigned int stringId) {
    return "MessagePopup(0, \"\", \"" + QX_LoadString(stringId) + "\", 164, 34, 0, 0, 0)";
}

// The repair's requests as ScriptedComms::Sent describes them; a write's data goes after it.
inline const std::string kRead = "get 0x80000000 0x0 16 10000";
inline const std::string kReadStored = "get 0x80000000 0x8000000 16 10000";
inline const std::string kReadEthernet = "get 0x20000 0x88000000 12 10000";
inline const std::string kReadUsb = "get 0x20000 0x48000000 12 10000";
inline const std::string kWriteSerial = "set 0x40000000 0x0 8 30000 ";
inline const std::string kCommitSerial = "set 0x40000000 0x4000000 8 30000 ";
inline const std::string kWriteEthernet = "set 0x1000 0x80000000 12 30000 ";
inline const std::string kCommitEthernet = "set 0x1000 0x84000000 12 30000 ";
inline const std::string kCommitUsb = "set 0x1000 0x44000000 12 30000 ";
inline const Notifications kListAndWriteBack = {
    {true, true}, {false, true}, {true, true}, {false, true}};

class RepairTest : public FolderFixture {
protected:
    RepairTest() {
        comms.SetResponder(
            [this](const RecordedRequest& request) { return device.Answer(request); });
    }

    void SetUp() override {
        CHLXSerialNumRepair::ResetRepairCountForTesting();
        RepairReport::RestartForTesting(Root().string());
        Restart();
    }

    void TearDown() override {
        RepairReport::RestartForTesting("");
        CHLXSerialNumRepair::ResetRepairCountForTesting();
    }

    void WriteList(const std::string& entries) const {
        WriteFile(Runtime() / CDeployedUnitList::kFileName,
                  "; deployed units\r\n[HLXSerialNumbers]\r\n" + entries);
    }

    // Exactly one entry agrees with the device, which holds the entry's own MAC addresses.
    void SingleEntryDevice() {
        WriteList("HX100001,0123456789AB\r\nHX200001,0123456789AB\r\nHX100002,0123456789BB\r\n");
        device.serial = Same("HX10000\xC1");
        device.ethernet = Same("0123456789AB");
        device.usb = Same("0123456789AC");
    }

    CommsCallback Forward() {
        return [this](CSubStream& command, int timeoutMs, bool, bool) {
            comms.ExecuteSubCommand(command, timeoutMs, 0);
            return 0;
        };
    }

    bool Run(EE_CExecutionEngine* pEngine = nullptr) {
        CHLXSerialNumRepair repair(pEngine, Forward());
        const bool result = repair.RepairSerialNumber();
        repaired = repair.GetRepairedSerialNum();
        return result;
    }

    // Starts another repair of the same test afresh: no records, popups or notifications, a
    // device holding nothing and the key script for it.
    void Restart(const std::string& keys = "") {
        comms.ClearRecords();
        engine.busyNotifications.clear();
        seen.clear();
        device = DeviceModel{};
        popups.Play(keys, [this](const host::PopupView&) {
            seen.push_back(engine.busyNotifications.size());
        });
    }

    // Each request (or each write) as ScriptedComms::Sent describes it.
    Lines Requests(bool writesOnly = false) const {
        Lines described;
        for (const std::string& line : comms.Sent()) {
            if (!writesOnly || line.rfind("set ", 0) == 0) {
                described.push_back(line);
            }
        }
        return described;
    }

    // What the user was shown, in order: the two prompts and the result popups.
    static Lines Shown() {
        Lines shown;
        for (const auto& traced : host::PopupTrace()) {
            const std::string line = traced.Describe();
            if (traced.op == host::PopupOp::MessagePopup) {
                shown.push_back(line.substr(0, line.find(" -> ")));
            } else if (line.find(QX_LoadString(1214)) != std::string::npos) {
                shown.emplace_back("first prompt");
            } else if (line.find(QX_LoadString(1216)) != std::string::npos) {
                shown.emplace_back("repeated prompt");
            }
        }
        return shown;
    }

    std::filesystem::path ReportPath() const { return Root() / RepairReport::kFileName; }

    Lines ReportLines() const {
        const std::string text = ReadFile(ReportPath());
        Lines lines;
        size_t start = 0;
        for (size_t end = text.find("\r\n"); end != std::string::npos;
             start = end + 2, end = text.find("\r\n", start)) {
            lines.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(start, text.size()) << "a report line without CR LF";
        return lines;
    }

    std::string LastReportLine() const {
        const auto lines = ReportLines();
        return lines.empty() ? std::string() : lines.back();
    }

    DeviceModel device;
    ScriptedComms comms;
    EE_CExecutionEngine engine;
    std::vector<size_t> seen;  // the busy notifications received by each request for input
    CString repaired;
    ScriptedPopups popups;
};

}  // namespace gwu::test
