// The facade's update worker with the real communication module over an emulated gateway in
// process, many times over: what the tsan preset runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "connections/EmulatorConnection.h"
#include "emulator/Gateway.h"
#include "gateway/CGatewayChecks.h"
#include "host/MemoryValueStore.h"
#include "platform/ValueStore.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 100;

CCodeDiffResults Older(CODETYPE codeType) {
    CCodeDiffResults results;
    results.SetDiff(codeType, DIFF_OLDER);
    return results;
}

// Each round: a module behind the sample release (PROM and bootstrap older) on a fresh copy of
// the sample firmware folder, and a new facade on it.
class ThreadTest : public FolderFixture {
protected:
    void StartRound() {
        m_checks.reset();
        fs::remove_all(Firmware());
        fs::create_directories(Firmware());
        CopySampleFirmware();
        m_gateway = emu::Gateway::FromScenarioFile(
            (fs::path(GWU_SAMPLE_DIR) / "scenarios" / "behind.json").string(), Firmware().string());
        m_comms = std::make_unique<host::EmulatorConnection>(*m_gateway);
        m_checks = std::make_unique<CGatewayChecks>(&m_frame, m_comms.get());
        m_checks->SetCardName("VCL");
    }

    // Destroyed in reverse: the facade before the connection and the gateway it uses.
    std::unique_ptr<emu::Gateway> m_gateway;
    std::unique_ptr<host::EmulatorConnection> m_comms;
    host::Frame m_frame;
    std::unique_ptr<CGatewayChecks> m_checks;
};

// Each round, each time on a fresh module behind the release: the destructor right after the
// start waits for the worker; a second request waits for the first worker; and a check while an
// update runs (which the host must not do) shares the device object and the connection with the
// worker without harm, and the check after the update sees it.
TEST_F(ThreadTest, TheWorkerAgainstTheDestructorASecondRequestAndChecks) {
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        StartRound();
        m_checks->PerformUpdate(Older(PROM_CODE));
        m_checks.reset();
        EXPECT_EQ(m_gateway->Release("VCL", "prom"), "KLEM_PROM_R2.0.3");
        EXPECT_EQ(m_gateway->Release("VCL", "bootstrap"), "KLEM_BOOT_R1.2.0");

        StartRound();
        m_checks->PerformUpdate(Older(BS_CODE));
        m_checks->PerformUpdate(Older(PROM_CODE));
        m_checks->WaitForUpdate();
        EXPECT_FALSE(m_checks->IsUpdateRunning());
        EXPECT_EQ(m_gateway->Release("VCL", "bootstrap"), "KLEM_BOOT_R1.4.0");
        EXPECT_EQ(m_gateway->Release("VCL", "prom"), "KLEM_PROM_R2.0.3");

        StartRound();
        m_checks->PerformUpdate(Older(PROM_CODE));
        for (int check = 0; check < 3; ++check) {
            m_checks->CheckForUpdates(true);
        }
        m_checks->WaitForUpdate();
        const CCodeDiffResults after = m_checks->CheckForUpdates(true);
        EXPECT_EQ(after.m_ePROM, DIFF_SAME);
        EXPECT_EQ(after.m_eBS, DIFF_OLDER);
        CString prom;
        m_frame.Store().GetValue("HLX_PROM_Release", &prom, CTabValueStore::kMaxLength);
        EXPECT_EQ(prom, "R2.0.3");
    }
}

}  // namespace
}  // namespace gwu::test
