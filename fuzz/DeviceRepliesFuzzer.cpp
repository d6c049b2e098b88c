// Device replies into the release reading of both families: every request's reply bytes, error
// code, claimed length or comms failure come from the input through the scripted connection,
// and so do the keys typed when a lost serial number is asked for. The published values stay
// within the value store's room (511 characters) and hold no zero byte, and the serial-number
// list keeps one line per device met.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/CHLXUtils.h"
#include "devices/CQPTUtils.h"
#include "devices/SerialNumList.h"
#include "fuzz/FuzzCheck.h"
#include "host/Folders.h"
#include "host/LineSinks.h"
#include "host/MemoryValueStore.h"
#include "host/ProcessUtils.h"
#include "host/popup/PopupDrivers.h"
#include "platform/ValueStore.h"
#include "repair/CHLXSerialNumRepair.h"
#include "repair/RepairReport.h"
#include "testsupport/ScriptedComms.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kStoreRoom = CTabValueStore::kMaxLength - 1;

// A value store that checks every value the library publishes.
class CheckingFrame : public CTabQuillonFrame, public gwu::host::ValueStore {
public:
    CTabValueStore& GetValueStore() override { return *this; }
    bool SetValue(const CString& name, const CString& value, int maxLength) override {
        GWU_FUZZ_CHECK(maxLength == CTabValueStore::kMaxLength);
        GWU_FUZZ_CHECK(value.size() <= kStoreRoom);
        GWU_FUZZ_CHECK(value.find('\0') == CString::npos);
        return ValueStore::SetValue(name, value, maxLength);
    }
};

// Folders for the reading's files, with the sample deployed-unit list for the repair; the
// monitor and error lines are dropped.
class Workspace {
public:
    Workspace() {
        m_root = gwu::host::MakeTempFolder("gwufuzz-");
        if (m_root.empty()) {
            std::abort();
        }
        fs::create_directories(m_root / "runtime");
        fs::create_directories(m_root / "logs");
        fs::copy_file(fs::path(GWU_SAMPLE_DIR) / "runtime" / "DeployedHLXs.ini",
                      m_root / "runtime" / "DeployedHLXs.ini");
        gwu::host::SetEnvVar(gwu::host::kRuntimeDirVariable, (m_root / "runtime").string());
        gwu::host::SetEnvVar(gwu::host::kLogDirVariable, (m_root / "logs").string());
        gwu::host::SetMonitorSink([](const std::string&) {});
        gwu::host::SetErrorSink([](const std::string&) {});
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    fs::path List() const { return m_root / "logs" / gwu::kSerialNumListName; }

    // Each input starts without a list and with a repair still to be made.
    void Reset() const {
        std::error_code ignored;
        fs::remove(List(), ignored);
        fs::remove(m_root / "logs" / gwu::kSerialNumTempName, ignored);
        CHLXSerialNumRepair::ResetRepairCountForTesting();
        gwu::RepairReport::RestartForTesting(m_root.string());
        gwu::host::ResetPopupLibrary();
    }

private:
    fs::path m_root;
};

// The reply to one request, read from the input.
gwu::test::Reply NextReply(FuzzedDataProvider& input) {
    gwu::test::Reply reply;
    switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0:
            reply.throwCode = input.ConsumeIntegral<int>();
            return reply;
        case 1:
            reply.error = input.ConsumeIntegral<int>();
            break;
        case 2:
            reply.length = input.ConsumeIntegral<int>();
            break;
        case 3:
            reply.length = input.ConsumeIntegralInRange(-2, 140);
            break;
        default:
            break;
    }
    reply.bytes = input.ConsumeRandomLengthString(160);
    return reply;
}

std::vector<gwu::host::PopupEvent> Keys(const std::string& typed) {
    std::vector<gwu::host::PopupEvent> events;
    for (const char c : typed) {
        const auto code = static_cast<unsigned char>(c);
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
            std::ifstream in(workspace.List(), std::ios::binary);
            const std::string list{std::istreambuf_iterator<char>(in), {}};
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
