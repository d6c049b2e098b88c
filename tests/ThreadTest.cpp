// The facade's update worker with the real communication module over an emulated gateway in
// process, many times over: what the tsan preset runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "EmulatorConnection.h"
#include "Fixtures.h"
#include "Gateway.h"
#include "ValueStore.h"
#include "gateway/CGatewayChecks.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 100;

CCodeDiffResults Older(CODETYPE codeType) {
    CCodeDiffResults results;
    (codeType == BS_CODE ? results.m_eBS : results.m_ePROM) = DIFF_OLDER;
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

    std::optional<std::string> Device(const std::string& item) const {
        return m_gateway->Release("VCL", item);
    }

    // Destroyed in reverse: the facade before the connection and the gateway it uses.
    std::unique_ptr<emu::Gateway> m_gateway;
    std::unique_ptr<host::EmulatorConnection> m_comms;
    host::Frame m_frame;
    std::unique_ptr<CGatewayChecks> m_checks;
};

// The destructor waits for the worker: the update is complete on the device afterwards.
TEST_F(ThreadTest, DestroyingTheFacadeRightAfterStartingAnUpdate) {
    for (int round = 0; round < kRounds; ++round) {
        StartRound();
        m_checks->PerformUpdate(Older(PROM_CODE));
        m_checks.reset();
        ASSERT_EQ(Device("prom"), "KLEM_PROM_R2.0.3") << "round " << round;
        ASSERT_EQ(Device("bootstrap"), "KLEM_BOOT_R1.2.0") << "round " << round;
    }
}

// The second request waits for the first worker; both updates reach the device.
TEST_F(ThreadTest, TwoUpdatesBackToBack) {
    for (int round = 0; round < kRounds; ++round) {
        StartRound();
        m_checks->PerformUpdate(Older(BS_CODE));
        m_checks->PerformUpdate(Older(PROM_CODE));
        m_checks->WaitForUpdate();
        ASSERT_FALSE(m_checks->IsUpdateRunning()) << "round " << round;
        ASSERT_EQ(Device("bootstrap"), "KLEM_BOOT_R1.4.0") << "round " << round;
        ASSERT_EQ(Device("prom"), "KLEM_PROM_R2.0.3") << "round " << round;
    }
}

// The host must not check while an update runs; when it does anyway, the reading and the
// worker share the device object and the connection without harm, and a check after the
// update sees it.
TEST_F(ThreadTest, CheckingWhileAnUpdateRuns) {
    for (int round = 0; round < kRounds; ++round) {
        StartRound();
        m_checks->PerformUpdate(Older(PROM_CODE));
        for (int check = 0; check < 3; ++check) {
            m_checks->CheckForUpdates(true);
        }
        m_checks->WaitForUpdate();
        const CCodeDiffResults after = m_checks->CheckForUpdates(true);
        // The PROM release has moved to the device; the bootstrap is still behind.
        ASSERT_EQ(after.m_ePROM, DIFF_SAME) << "round " << round;
        ASSERT_EQ(after.m_eBS, DIFF_OLDER) << "round " << round;
        CString prom;
        m_frame.Store().GetValue("HLX_PROM_Release", &prom, CTabValueStore::kMaxLength);
        ASSERT_EQ(prom, "R2.0.3") << "round " << round;
    }
}

}  // namespace
}  // namespace gwu::test
