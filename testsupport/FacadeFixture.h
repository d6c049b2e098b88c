// The facade test bench: a facade over two fake devices (the communication module with every
// code type, the measurement module with loaded code and PROM) that agree with the disk, a
// scripted connection, and the monitor lines they write.
#pragma once

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "gateway/CGatewayChecks.h"
#include "host/MemoryValueStore.h"
#include "testsupport/FakeGateway.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"

namespace gwu::test {

inline constexpr DIFFTYPE S = DIFF_SAME;
inline constexpr DIFFTYPE N = DIFF_NEWER;
inline constexpr DIFFTYPE O = DIFF_OLDER;
inline constexpr DIFFTYPE F = DIFF_FORCED;

// A record from verdicts in field order: LC, PROM, BS, CPLD, MAC.
inline CCodeDiffResults Verdicts(DIFFTYPE lc, DIFFTYPE prom, DIFFTYPE bs, DIFFTYPE cpld,
                                 DIFFTYPE mac) {
    CCodeDiffResults results;
    std::tie(results.m_eLC, results.m_ePROM, results.m_eBS, results.m_eCPLD, results.m_eMAC) =
        std::tie(lc, prom, bs, cpld, mac);
    return results;
}

// The facade over the communication module (every code type) and the measurement module (loaded
// code and PROM), whose devices agree with the disk: KLEM_R1.0 everywhere, no custom CPLD.
class GatewayChecksTest : public ::testing::Test {
protected:
    GatewayChecksTest() {
        auto hlxDevice = std::make_unique<FakeGateway>("HLX", MAC_CODE, gate, &frame);
        auto qptDevice = std::make_unique<FakeGateway>("QPT", PROM_CODE, gate, &frame);
        hlx = hlxDevice.get();
        qpt = qptDevice.get();
        for (FakeGateway* device : {hlx, qpt}) {
            for (const CODETYPE code : {LC_CODE, PROM_CODE, BS_CODE, MAC_CODE}) {
                Set(device, code, "KLEM_R1.0", "KLEM_R1.0");
            }
        }
        checks = std::make_unique<CGatewayChecks>(&frame, &comms, std::move(hlxDevice),
                                                  std::move(qptDevice));
    }

    // What the device reports for the code type, and the identifier in its release file (none
    // when null). The MAC firmware's release file is the cable firmware's, which has no name.
    void Set(FakeGateway* device, CODETYPE code, const char* deviceValue, const char* diskId) {
        const CString file = code == MAC_CODE ? CString{} : device->GetFilename(code, true);
        if (diskId != nullptr) {
            device->diskIds[file] = diskId;
        } else {
            device->diskIds.erase(file);
        }
        frame.Store().SetValue(device->GetUntrimmedReleaseValueName(code), deviceValue, 512);
    }
    std::string ChecksOf(const char* cardName) {
        checks->SetCardName(cardName);
        return checks->PerformAllChecks().ToString();
    }
    // The monitor lines since the last Clear() that hold the text.
    Lines With(const std::string& text) const { return diagnostics.MonitorSince(from, text); }
    void Clear() { from = diagnostics.Monitor().size(); }
    long IndexOf(const std::string& line) const {
        const Lines lines = With("");
        const auto at = std::find(lines.begin(), lines.end(), line);
        return at == lines.end() ? -1 : static_cast<long>(at - lines.begin());
    }
    // Whether the line is there within five seconds.
    bool WaitFor(const std::string& line) const {
        for (int i = 0; i < 500 && IndexOf(line) < 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return IndexOf(line) >= 0;
    }
    Lines Updates() const { return With(" update Update"); }

    Diagnostics diagnostics;
    size_t from = 0;
    std::shared_future<void> gate;
    host::Frame frame;
    ScriptedComms comms;
    FakeGateway* hlx = nullptr;
    FakeGateway* qpt = nullptr;
    std::unique_ptr<CGatewayChecks> checks;
};

}  // namespace gwu::test
