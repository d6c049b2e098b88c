// The facade's update worker with the real communication module over an emulated gateway in
// process and over TCP, many times over, and threads sharing a facade or a connection: what the
// tsan preset runs under ThreadSanitizer.
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "gateway/CGatewayChecks.h"
#include "host/LineSinks.h"
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
// the sample firmware folder, in process or over TCP, and a new facade on it.
class ThreadTest : public FolderFixture {
protected:
    void StartRound(bool tcp = false) {
        m_checks.reset();
        FreshFirmware();
        m_device.emplace(ReadFile(SampleScenarioPath("behind")), tcp, Firmware().string());
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
// start waits for the worker; a second request waits for the first worker, and checks while the
// second runs wait for it and see both; a card named while an update runs waits for it, so that
// the update stays with the module it started on.
TEST_F(ThreadTest, TheWorkerAgainstTheDestructorASecondRequestACardAndChecks) {
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
        for (int check = 0; check < 3; ++check) {
            EXPECT_FALSE(m_checks->CheckForUpdates(true).DifferencesFound());
        }
        m_checks->WaitForUpdate();
        EXPECT_FALSE(m_checks->IsUpdateRunning());
        EXPECT_EQ(Gateway().Release("VCL", "bootstrap"), "KLEM_BOOT_R1.4.0");
        EXPECT_EQ(Gateway().Release("VCL", "prom"), "KLEM_PROM_R2.0.3");
        EXPECT_EQ(m_frame.Value("HLX_PROM_Release"), "R2.0.3");

        const bool tcp = round % 4 == 0;  // over TCP now and then: it takes longer
        StartRound(tcp);
        m_checks->PerformUpdate(Older(PROM_CODE));
        m_checks->SetCardName("QPT");
        EXPECT_EQ(m_checks->WaitForUpdate(), UPDATE_SUCCEEDED);
        EXPECT_EQ(Gateway().Release("VCL", "prom"), "KLEM_PROM_R2.0.3") << "tcp " << tcp;
    }
}

// Two threads checking through one facade, and two facades on one connection (on the same
// card), in process and over TCP: the connection carries one exchange at a time, and every
// check reads the whole module. In a child process: a connection that mixes up exchanges may
// crash.
TEST_F(ThreadTest, ThreadsShareAFacadeOrAConnection) {
    RunIsolated([&] {
        constexpr int kChecks = 20;
        const std::string behind = "LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same,";
        for (const bool tcp : {false, true}) {
            for (const bool twoFacades : {false, true}) {
                SCOPED_TRACE(std::string(tcp ? "tcp" : "in process") +
                             (twoFacades ? ", two facades" : ", one facade"));
                StartRound(tcp);
                RecordingFrame otherFrame;
                std::unique_ptr<CGatewayChecks> other;
                if (twoFacades) {
                    other = std::make_unique<CGatewayChecks>(&otherFrame, &m_device->Comms());
                    other->SetCardName("VCL");
                }
                const auto check = [&](CGatewayChecks* checks) {
                    int agreeing = 0;
                    for (int i = 0; i < kChecks; ++i) {
                        agreeing += checks->CheckForUpdates(true).ToString() == behind ? 1 : 0;
                    }
                    return agreeing;
                };
                auto first = std::async(std::launch::async, check, m_checks.get());
                auto second = std::async(std::launch::async, check,
                                         twoFacades ? other.get() : m_checks.get());
                EXPECT_EQ(first.get(), kChecks);
                EXPECT_EQ(second.get(), kChecks);
                EXPECT_EQ(m_frame.Value("HLX_PROM_Release"), "R1.9.8");
            }
        }
    });
}

// A host's mistakes with the real module, in a child process (each once ended it): a facade
// without its frame or its connection says so, refuses the card name, reads and updates nothing;
// a monitor and error sink that throw on the worker fail the update, not the process.
TEST_F(ThreadTest, MissingPartsAndThrowingSinksNeverEndTheProcess) {
    RunIsolated([&] {
        StartRound();
        const std::tuple<bool, bool, const char*> missing[] = {
            {false, true, "no frame"},
            {true, false, "no connection"},
            {false, false, "no frame, no connection"}};
        for (const auto& [withFrame, withComms, what] : missing) {
            SCOPED_TRACE(what);
            const size_t from = m_diagnostics.Monitor().size();
            CGatewayChecks checks(withFrame ? &m_frame : nullptr,
                                  withComms ? &m_device->Comms() : nullptr);
            checks.SetCardName("QPT");
            EXPECT_FALSE(checks.SetReleaseIds(true));
            EXPECT_FALSE(checks.CheckForUpdates(true).DifferencesFound());
            checks.PerformUpdate(Older(PROM_CODE));
            EXPECT_EQ(checks.WaitForUpdate(), UPDATE_NOT_RUN);
            checks.UpdateActiveCableFirmware();
            const std::string built = std::string("built with ") + what;
            const std::string unread = ": nothing read or checked: " + built;
            EXPECT_EQ(m_diagnostics.MonitorSince(from),
                      (Lines{"CGatewayChecks: " + built + ": no device will be selected",
                             "CGatewayChecks::SetCardName: refused: " + built,
                             "CGatewayChecks::SetReleaseIds" + unread,
                             "CGatewayChecks::CheckForUpdates" + unread}));
        }
        EXPECT_EQ(Gateway().SelectedCard(), "VCL");
        EXPECT_EQ(m_frame.Value("HLX_Release"), "");
        const host::LineSink throwing[] = {
            [](const std::string&) { throw std::runtime_error("sink full"); },
            [](const std::string&) { throw 7; }};
        for (const host::LineSink& sink : throwing) {
            host::SetMonitorSink(sink);
            host::SetErrorSink(sink);
            m_checks->PerformUpdate(Older(PROM_CODE));
            EXPECT_EQ(m_checks->WaitForUpdate(), UPDATE_FAILED);
        }
    });
}

}  // namespace
}  // namespace gwu::test
