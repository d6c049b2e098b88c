// gwctl's commands in process: what each one opens of its session, and the refusals that the
// end-to-end runs of the program do not reach.
#include <stdexcept>
#include <string>
#include <tuple>

#include "cli/Commands.h"
#include "history/HistoryFile.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

using CommandsTest = FolderFixture;

const cli::Command& CommandNamed(const std::string& name) {
    const cli::Command* command = cli::FindCommand(name);
    if (command == nullptr) {
        throw std::invalid_argument("no command " + name);
    }
    return *command;
}

// Over TCP with no firmware folder named, the commands that place releases are refused (only the
// user knows the folder the device behind gwemu loads from); check opens the device and compares
// it with the sample release; list opens no device at all.
TEST_F(CommandsTest, OverTcpOnlyWhatPlacesReleasesNeedsTheFirmwareFolderNamed) {
    const ScopedEnv unnamed("GWU_FIRMWARE_DIR", "");
    // Command, whether its session opens, the device it then talks to.
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"check", true, "tcp://127.0.0.1:1"},
        {"list", true, ""},
        {"update", false, ""},
        {"cable", false, ""},
        {"serve", false, ""},
    };
    for (const auto& [name, opens, device] : cases) {
        SCOPED_TRACE(name);
        cli::Options options;
        options.device = "tcp://127.0.0.1:1";
        cli::Session session(options, CommandNamed(name).needs);
        std::string error;
        EXPECT_EQ(session.Open(error), opens) << error;
        EXPECT_EQ(session.DeviceText(), device);
        EXPECT_EQ(error.rfind("over TCP an update needs the firmware folder gwemu uses", 0) == 0,
                  !opens)
            << error;
    }
}

// Only the communication module has cable firmware: cable on the measurement module is trouble,
// whatever the device would answer.
TEST_F(CommandsTest, CableOnTheMeasurementModuleIsRefused) {
    CopySampleFirmware();
    cli::Options options;
    options.card = "QPT";
    options.device = "emu:" + SampleScenarioPath("measurement");
    options.json = true;
    const cli::Command& cable = CommandNamed("cable");
    cli::Session session(options, cable.needs);
    std::string error;
    ASSERT_TRUE(session.Open(error)) << error;
    EXPECT_EQ(cable.run(session), cli::kExitTrouble);
}

// A rotation keeps the events the fleet has not acknowledged: with a fleet configured and nothing
// acknowledged the current file grows past the rotation size; once the cursor acknowledges them,
// or with no fleet at all, it rotates.
TEST_F(CommandsTest, TheHistoryKeepsWhatTheFleetHasNotAcknowledged) {
    CopySampleFirmware();
    struct RestoredLimits {
        history::Limits before = history::SetLimits({1024, 8192});
        ~RestoredLimits() { history::SetLimits(before); }
    } limits;
    // fleet.conf, fleet-cursor.json, whether the history rotated.
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"url = http://127.0.0.1:1", "{}", false},
        {"url = http://127.0.0.1:1", R"({"fleet": "f", "url": "u", "acknowledged": 99})", true},
        {"# no fleet", "{}", true},
    };
    cli::Options options;
    options.device = "emu:" + SampleScenarioPath("behind");
    options.json = true;
    for (const auto& [conf, cursor, rotates] : cases) {
        std::filesystem::remove_all(Logs());
        std::filesystem::create_directories(Logs());
        WriteFile(Logs() / "fleet.conf", conf);
        WriteFile(Logs() / "fleet-cursor.json", cursor);
        for (int run = 0; run < 3; ++run) {
            cli::Session session(options, CommandNamed("check").needs);
            std::string error;
            ASSERT_TRUE(session.Open(error)) << error;
            CommandNamed("check").run(session);
        }
        EXPECT_EQ(std::filesystem::exists(Logs() / history::RotatedFileName(1)), rotates) << cursor;
    }
}

}  // namespace
}  // namespace gwu::test
