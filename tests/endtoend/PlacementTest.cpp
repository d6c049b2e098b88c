// gwctl update, the real program, on a copy of the sample firmware folder whose release files are
// not all fit for the device, or not for everyone's eyes.
#include <filesystem>
#include <string>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "tests/endtoend/CliFixture.h"

namespace gwu::test::cli {
namespace {

class PlacementTest : public CliTest {};

// A device behind in bootstrap and PROM; each update also places the loaded code, whose release
// here has a Release-Id longer than a device can report: it never reaches the device, the
// monitor names it and says why, and both rounds take all the same. On POSIX systems each file
// placed allows no one more than its release does, and never more than rw-r--r--.
TEST_F(PlacementTest, UnfitReleaseIsNeverPlacedAndCopiesAllowNoMoreThanTheirReleases) {
    const std::string tooLong = "Release-Id: KLEM_12345_R" + std::string(130, '9') + "\r\nimage";
    WriteFile(Firmware() / "HLX_LC.rel", tooLong);
#ifndef _WIN32
    const mode_t umask = ::umask(0);
    ::umask(umask);
    const std::pair<const char*, unsigned> modes[] = {{"HLX_BOOT", 0600}, {"HLX_PROM", 0777}};
    for (const auto& [code, mode] : modes) {
        WriteRelease(code + std::string(".bin"), "KLEM_OLD_R0");  // world-readable before
        fs::permissions(Firmware() / (code + std::string(".bin")), fs::perms(0666));
        fs::permissions(Firmware() / (code + std::string(".rel")), fs::perms(mode));
    }
#endif
    const auto [status, out, err, document] =
        Run({"update", "--verbose", "--device", "emu:" + Scenario("behind")});
    EXPECT_EQ(status, 0) << err;
    for (const char* took : {"BS took: the device reports KLEM_BOOT_R1.4.0",
                             "PROM took: the device reports KLEM_PROM_R2.0.3"}) {
        EXPECT_NE(out.find(took), std::string::npos) << out;
    }
    EXPECT_NE(err.find("RenameGatewayFile: HLX_LC.rel not placed as HLX_LC.bin: its Release-Id is "
                       "longer than 127 characters"),
              std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(Firmware() / "HLX_LC.bin"));
    EXPECT_EQ(ReadFile(Firmware() / "HLX_LC.rel"), tooLong);
#ifndef _WIN32
    for (const auto& [code, mode] : modes) {
        const fs::path placed = Firmware() / (code + std::string(".bin"));
        EXPECT_EQ(static_cast<unsigned>(fs::status(placed).permissions()),
                  mode & 0644u & ~static_cast<unsigned>(umask))
            << code;
        EXPECT_EQ(ReadFile(placed), ReadFile(Firmware() / (code + std::string(".rel"))));
    }
#endif
}

}  // namespace
}  // namespace gwu::test::cli
