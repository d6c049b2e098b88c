// gwctl update, the real program, on copies of the sample folders whose release files are not all
// fit for the device: the device never gets such a file, the monitor (--verbose) names it and
// says why, and each round reports what the device then shows. On POSIX systems the files the
// device loads allow no one more than their releases do.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr int kWaitMs = 30000;  // per program run; each takes well under a second

class PlacementTest : public FolderFixture {
protected:
    PlacementTest() {
        CopySampleFirmware();
        fs::copy(fs::path(GWU_SAMPLE_DIR) / "runtime", Runtime(), fs::copy_options::recursive);
    }
    struct Result {
        int code;
        std::string err;
        std::vector<std::string> rounds;  // "CODE result expected reported took|did not take"
    };
    Result Update(const std::string& scenario) const {
        const std::string stem = (Root() / "gwctl").string();
        const int code =
            Child({GWCTL_PATH, "update", "--json", "--verbose", "--device",
                   "emu:" + SampleScenarioPath(scenario), "--firmware", Firmware().string(),
                   "--runtime", Runtime().string(), "--logs", Logs().string()},
                  stem)
                .Wait(kWaitMs);
        const json document = json::parse(ReadFile(stem + ".out"), nullptr, false);
        Result result{code, ReadFile(stem + ".err"), {}};
        for (const json& round :
             document.is_object() ? document.value("rounds", json::array()) : json::array()) {
            result.rounds.push_back(round.value("code_type", "?") + " " +
                                    round.value("result", "?") + " " + round["expected"].dump() +
                                    " " + round.value("reported", "?") +
                                    (round.value("took", false) ? " took" : " did not take"));
        }
        return result;
    }
};

// Not a release file, or a Release-Id longer than a device can report: the loaded code placed
// on every PROM and bootstrap update, and the CPLD's own release, whose round then cannot take.
TEST_F(PlacementTest, ReleaseFileUnfitForTheDeviceIsNeverPlaced) {
    const std::string notRelease = "no \"Release-Id: \" line at its start: not a release file";
    const std::vector<std::string> behindRounds = {
        "BS succeeded \"KLEM_BOOT_R1.4.0\" KLEM_BOOT_R1.4.0 took",
        "PROM succeeded \"KLEM_PROM_R2.0.3\" KLEM_PROM_R2.0.3 took"};
    const std::string cpldRound = "CPLD succeeded null R7 did not take";
    const struct {
        const char* scenario;
        const char* code;
        std::string content;
        std::string why;
        int exitCode;
        std::vector<std::string> rounds;
    } cases[] = {
        {"behind", "HLX_LC", std::string("MZ\x90\0\x03 image", 11), notRelease, 0, behindRounds},
        {"behind", "HLX_LC", "Release-Id: KLEM_12345_R4.2.1" + std::string(120, '0') + "\r\n",
         "its Release-Id is longer than 127 characters", 0, behindRounds},
        {"custom-cpld", "HLX_CPLD", "image only\r\n", notRelease, 1, {cpldRound, cpldRound}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario + (" " + c.why));
        FreshFirmware();
        const std::string name = c.code;
        WriteFile(Firmware() / (name + ".rel"), c.content);
        const Result result = Update(c.scenario);
        EXPECT_EQ(result.code, c.exitCode) << result.err;
        EXPECT_EQ(result.rounds, c.rounds);
        EXPECT_NE(result.err.find("RenameGatewayFile: " + name + ".rel not placed as " + name +
                                  ".bin: " + c.why),
                  std::string::npos)
            << result.err;
        EXPECT_FALSE(fs::exists(Firmware() / (name + ".bin")));
        EXPECT_EQ(ReadFile(Firmware() / (name + ".rel")), c.content);
    }
}

#ifndef _WIN32
// A release readable by its owner alone gives a device-load file readable by its owner alone;
// none gets more than rw-r--r--, the umask taking away more still.
TEST_F(PlacementTest, DeviceLoadFileAllowsNoMoreThanItsRelease) {
    const mode_t umask = ::umask(0);
    ::umask(umask);
    const struct {
        const char* code;
        fs::perms release;
        fs::perms deviceLoad;
    } cases[] = {{"HLX_BOOT", fs::perms(0600), fs::perms(0600)},
                 {"HLX_PROM", fs::perms(0777), fs::perms(0644)},
                 {"HLX_LC", fs::perms(0440), fs::perms(0440)}};
    for (const auto& c : cases) {
        WriteRelease(c.code + std::string(".bin"), "KLEM_OLD_R0");  // world-readable before
        fs::permissions(Firmware() / (c.code + std::string(".bin")), fs::perms(0666));
        fs::permissions(Firmware() / (c.code + std::string(".rel")), c.release);
    }
    const Result result = Update("behind");
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.rounds.size(), 2u) << result.err;
    for (const auto& c : cases) {
        const fs::path deviceLoad = Firmware() / (c.code + std::string(".bin"));
        EXPECT_EQ(static_cast<unsigned>(fs::status(deviceLoad).permissions()),
                  static_cast<unsigned>(c.deviceLoad & ~fs::perms(umask)))
            << c.code;
        EXPECT_EQ(ReadFile(deviceLoad), ReadFile(Firmware() / (c.code + std::string(".rel"))));
    }
}
#endif

}  // namespace
}  // namespace gwu::test
