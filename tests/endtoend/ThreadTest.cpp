// The facade's update worker with the real communication module over an emulated gateway in
// process, many times over: what the tsan preset runs under ThreadSanitizer.
#include <memory>
#include <optional>
#include <string>

#include "gateway/CGatewayChecks.h"
#include "testsupport/EmulatedDevice.h"
#include "testsupport/Fixtures.h"
#include "testsupport/RecordingFrame.h"

namespace gwu::test {
namespace {

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
        FreshFirmware();
        m_device.emplace(ReadFile(SampleScenarioPath("behind")), false, Firmware().string());
        m_checks = std::make_unique<CGatewayChecks>(&m_frame, &m_device->Comms());
        m_checks->SetCardName("VCL");
    }
    emu::Gateway& Gateway() { return m_device->Gateway(); }

    // Destroyed in reverse: the facade before the device it uses.
    std::optional<EmulatedDevice> m_device;
    RecordingFrame m_frame;
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
        EXPECT_EQ(Gateway().Release("VCL", "prom"), "KLEM_PROM_R2.0.3");
        EXPECT_EQ(Gateway().Release("VCL", "bootstrap"), "KLEM_BOOT_R1.2.0");

        StartRound();
        m_checks->PerformUpdate(Older(BS_CODE));
        m_checks->PerformUpdate(Older(PROM_CODE));
        m_checks->WaitForUpdate();
        EXPECT_FALSE(m_checks->IsUpdateRunning());
        EXPECT_EQ(Gateway().Release("VCL", "bootstrap"), "KLEM_BOOT_R1.4.0");
        EXPECT_EQ(Gateway().Release("VCL", "prom"), "KLEM_PROM_R2.0.3");

        StartRound();
        m_checks->PerformUpdate(Older(PROM_CODE));
        for (int check = 0; check < 3; ++check) {
            m_checks->CheckForUpdates(true);
        }
        m_checks->WaitForUpdate();
        const CCodeDiffResults after = m_checks->CheckForUpdates(true);
        EXPECT_EQ(after.m_ePROM, DIFF_SAME);
        EXPECT_EQ(after.m_eBS, DIFF_OLDER);
        EXPECT_EQ(m_frame.Value("HLX_PROM_Release"), "R2.0.3");
    }
}

}  // namespace
}  // namespace gwu::test
