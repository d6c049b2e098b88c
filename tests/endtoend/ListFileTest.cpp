// gwctl check on the serial-number list as a tester meets it: serial numbers that look alike and
// a last line without line end leave every other device's line, a list that is a symbolic link
// stays one, and a big list is checked in bounded memory. GWU_BIG_LIST_MIB sets the big list's
// size (the long run, label "stress").
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

// The device of the "matching" scenario, as the list records it.
const std::string kDevice = "HX100307,R4.2.1,R2.0.3,R1.4.0\r\n";

class ListFileTest : public SerialListFixture {
protected:
    ListFileTest() {
        CopySampleFirmware();
        fs::copy(fs::path(GWU_SAMPLE_DIR) / "runtime", Runtime(), fs::copy_options::recursive);
    }

    // Runs gwctl check on the device and expects its report; returns gwctl's peak resident
    // memory.
    std::uint64_t Check() const {
        const std::string stem = (Root() / "gwctl").string();
        Child gwctl(
            {GWCTL_PATH, "check", "--device", "emu:" + SampleScenarioPath("matching"), "--runtime",
             Runtime().string(), "--logs", Logs().string(), "--firmware", Firmware().string()},
            stem);
        EXPECT_EQ(gwctl.Wait(600000), 0) << ReadFile(stem + ".err");
        EXPECT_NE(ReadFile(stem + ".out").find("Summary: LC:Same"), std::string::npos);
        return gwctl.PeakResidentBytes();
    }
};

TEST_F(ListFileTest, OtherDevicesLinesAreKept) {
    const std::string lookAlikes = "HX1003071,R1,R1,R1\r\nAB12,HX100307,R1,R1\r\n";
    const struct {
        bool link;  // the list a symbolic link to a file in another folder
        std::string before, after;
    } cases[] = {
        // A longer serial number that holds the device's, the device's in a release field.
        {false, lookAlikes, lookAlikes + kDevice},
        // Every line of the device's own is replaced, and only those.
        {false, "HX100307,R0\r\n" + lookAlikes + "HX100307\r\n", kDevice + lookAlikes + kDevice},
        // A last line without line end keeps its line.
        {false, "AA1,R1,R1,R1", "AA1,R1,R1,R1\r\n" + kDevice},
#ifndef _WIN32  // (on Windows ListWritersTest makes the link)
        {true, "HX100307,R0\r\n" + lookAlikes, kDevice + lookAlikes},
        {true, lookAlikes, lookAlikes + kDevice},
#endif
    };
    const fs::path target = Root() / "elsewhere" / kSerialNumListName;
    fs::create_directories(target.parent_path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        fs::remove(List());
        WriteFile(c.link ? target : List(), c.before);
        if (c.link) {
            fs::create_symlink(target, List());
        }
        Check();
        EXPECT_EQ(ReadFile(c.link ? target : List()), c.after);
        EXPECT_EQ(fs::is_symlink(List()), c.link);
        EXPECT_FALSE(fs::exists(Temp()) || fs::exists(target.parent_path() / kSerialNumTempName));
    }
}

// A list of many devices is checked in memory that does not grow with it: a new device is
// appended, a known one near the end rewritten, each with gwctl's peak resident memory within
// a margin of its peak on a tiny list (reading the list whole would take as much as the list).
TEST_F(ListFileTest, BigListIsCheckedInBoundedMemory) {
    const char* asked = std::getenv("GWU_BIG_LIST_MIB");
    const std::uint64_t size = (asked != nullptr ? std::strtoull(asked, nullptr, 10) : 64) << 20;
    constexpr std::uint64_t kMargin = std::uint64_t{48} << 20;
    WriteFile(List(), "AA1,R1,R1,R1\r\n");
    const std::uint64_t floor = Check();
    ASSERT_GT(floor, 0u) << "no peak resident memory measured";
    const std::string known = "HX100307,R0,R0,R0\r\n", last = "ZZ9,R1,R1,R1\r\n";
    for (const bool rewrite : {false, true}) {
        SCOPED_TRACE(rewrite ? "rewrite" : "append");
        {
            // Other devices' lines of 32 bytes each, written a mebibyte at a time.
            std::ofstream list(List(), std::ios::binary);
            std::string block;
            char line[40];
            for (std::uint64_t n = 0; n < size / 32; ++n) {
                std::snprintf(line, sizeof line, "QX%07u,R4.2.1,R2.0.3,R1.4.0\r\n",
                              static_cast<unsigned>(n % 10000000));
                block += line;
                if (block.size() >= (1u << 20)) {
                    list << block;
                    block.clear();
                }
            }
            list << block << (rewrite ? known + last : "");
        }
        const std::uint64_t before = fs::file_size(List());
        const std::uint64_t peak = Check();
        EXPECT_LE(peak, floor + kMargin) << "floor " << floor;
        std::printf("gwctl check peak resident memory: %llu KiB on a tiny list, %llu KiB on %s\n",
                    static_cast<unsigned long long>(floor >> 10),
                    static_cast<unsigned long long>(peak >> 10),
                    rewrite ? "a rewrite of a big list" : "an append to a big list");
        const std::string tail = rewrite ? kDevice + last : kDevice;
        EXPECT_EQ(fs::file_size(List()), before + kDevice.size() - (rewrite ? known.size() : 0));
        std::ifstream list(List(), std::ios::binary);
        list.seekg(-static_cast<std::streamoff>(tail.size()), std::ios::end);
        std::string end(tail.size(), '\0');
        list.read(end.data(), static_cast<std::streamsize>(end.size()));
        EXPECT_EQ(end, tail);
        list.close();
        fs::remove(List());
    }
}

}  // namespace
}  // namespace gwu::test
