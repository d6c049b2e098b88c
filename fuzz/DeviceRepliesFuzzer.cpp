// Device replies into the release reading of both families: every request's reply bytes, error
// code, claimed length or comms failure come from the input through the scripted connection,
// and so do the keys typed when a lost serial number is asked for. The published values stay
// within the value store's room (511 characters) and hold no zero byte, and the serial-number
// list keeps one line per device met.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "devices/SerialNumList.h"
#include "fuzz/FuzzCheck.h"
#include "host/LineSinks.h"
#include "host/popup/PopupDrivers.h"
#include "repair/CHLXSerialNumRepair.h"
#include "repair/RepairReport.h"
#include "testsupport/RecordingFrame.h"
#include "testsupport/ScriptedComms.h"
#include "testsupport/TestFolders.h"

namespace {

namespace fs = std::filesystem;

// A value store that checks every value the library publishes.
class CheckingFrame : public gwu::test::RecordingFrame {
public:
    bool SetValue(const CString& name, const CString& value, int maxLength) override {
        GWU_FUZZ_CHECK(maxLength == CTabValueStore::kMaxLength);
        GWU_FUZZ_CHECK(value.size() < static_cast<size_t>(CTabValueStore::kMaxLength));
        GWU_FUZZ_CHECK(value.find('\0') == CString::npos);
        return RecordingFrame::SetValue(name, value, maxLength);
    }
};

// Folders for the reading's files, with the sample deployed-unit list for the repair; the
// monitor and error lines are dropped.
struct Workspace : gwu::test::TestFolders {
    Workspace() {
        fs::copy_file(gwu::test::SampleDir() / "runtime" / "DeployedHLXs.ini",
                      Runtime() / "DeployedHLXs.ini");
        gwu::host::SetMonitorSink([](const std::string&) {});
        gwu::host::SetErrorSink([](const std::string&) {});
    }
    fs::path List() const { return Logs() / gwu::kSerialNumListName; }

    // Each input starts without a list and with a repair still to be made.
    void Reset() const {
        std::error_code ignored;
        fs::remove(List(), ignored);
        fs::remove(Logs() / gwu::kSerialNumTempName, ignored);
        CHLXSerialNumRepair::ResetRepairCountForTesting();
        gwu::RepairReport::RestartForTesting(Root().string());
        gwu::host::ResetPopupLibrary();
    }
};

// The reply to one request, read from the input.
gwu::test::Reply NextReply(FuzzedDataProvider& input) {
    gwu::test::Reply reply;
    const int kind = input.ConsumeIntegralInRange(0, 7);  // 4 to 7: bytes and nothing else
    if (kind == 0) {
        reply.throwCode = input.ConsumeIntegral<int>();
        return reply;
    }
    if (kind == 1) {
        reply.error = input.ConsumeIntegral<int>();
    } else if (kind == 2) {
        reply.length = input.ConsumeIntegral<int>();
    } else if (kind == 3) {
        reply.length = input.ConsumeIntegralInRange(-2, 140);
    }
    reply.bytes = input.ConsumeRandomLengthString(160);
    return reply;
}

std::vector<gwu::host::PopupEvent> Keys(const std::string& typed) {
    std::vector<gwu::host::PopupEvent> events;
    for (const unsigned char code : typed) {
        events.push_back(code == 0xFF ? gwu::host::PopupEvent::Press(gwu::host::kTickButton)
                                      : gwu::host::PopupEvent::Key(code));
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    static const Workspace workspace;
    workspace.Reset();

    FuzzedDataProvider input(data, size);
    const bool communication = input.ConsumeBool();
    const bool readDevice = input.ConsumeIntegralInRange(0, 15) != 0;
    const int connect = input.ConsumeIntegralInRange(0, 15);
    gwu::host::SetPopupDriver(
        std::make_unique<gwu::host::ScriptDriver>(Keys(input.ConsumeRandomLengthString(24))));

    gwu::test::ScriptedComms comms;
    if (connect == 0) {
        comms.ThrowOnConnect(input.ConsumeIntegral<int>());
    }
    comms.SetConnectResult(connect != 1);
    comms.SetResponder([&input](const gwu::test::RecordedRequest&) { return NextReply(input); });

    CheckingFrame frame;
    if (communication) {
        CHLXUtils device(&comms, &frame);
        const bool read = device.SetReleaseIds(readDevice);
        // One device met: a list with exactly its line, or none when it had no serial number.
        if (read && fs::exists(workspace.List())) {
            const std::string list = workspace.ReadFile(workspace.List());
            GWU_FUZZ_CHECK(std::count(list.begin(), list.end(), '\n') == 1);
            GWU_FUZZ_CHECK(list.size() >= 2 && list.compare(list.size() - 2, 2, "\r\n") == 0);
        }
    } else {
        CQPTUtils device(&comms, &frame);
        device.SetReleaseIds(readDevice);
    }
    gwu::host::SetPopupDriver(nullptr);
    return 0;
}
