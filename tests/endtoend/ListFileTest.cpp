// gwctl check on a big serial-number list, in bounded memory, its other devices' lines and a last
// line without line end kept. GWU_BIG_LIST_MIB sets the big list's size (the long run, label
// "stress").
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/endtoend/Programs.h"
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
        fs::copy(SampleDir() / "runtime", Runtime(), fs::copy_options::recursive);
    }

    // Runs gwctl check on the device and expects its report; returns gwctl's peak resident
    // memory.
    std::uint64_t Check() const {
        const std::string stem = (Root() / "gwctl").string();
        Child gwctl({gwu::test::kGwctlProgram, "check", "--device",
                     "emu:" + SampleScenarioPath("matching"), "--runtime", Runtime().string(),
                     "--logs", Logs().string(), "--firmware", Firmware().string()},
                    stem);
        EXPECT_EQ(gwctl.Wait(600000), 0) << ReadFile(stem + ".err");
        EXPECT_NE(ReadFile(stem + ".out").find("Summary: LC:Same"), std::string::npos);
        return gwctl.PeakResidentBytes();
    }
};

// A list of many devices is checked in memory that does not grow with it: a new device is
// appended, a known one near the end rewritten, each with gwctl's peak resident memory within
// a margin of its peak when it starts the list (reading the list whole would take as much as the
// list). Every list here ends without line end; each line written ends in CR LF. (Look-alike
// serial numbers are SerialNumListTest's, a list that is a symbolic link ListWritersTest's.)
TEST_F(ListFileTest, BigListIsCheckedInBoundedMemory) {
    const char* asked = std::getenv("GWU_BIG_LIST_MIB");
    const std::uint64_t size = (asked != nullptr ? std::strtoull(asked, nullptr, 10) : 64) << 20;
    constexpr std::uint64_t kMargin = std::uint64_t{48} << 20;
    const std::uint64_t floor = Check();
    ASSERT_GT(floor, 0u) << "no peak resident memory measured";
    EXPECT_EQ(ReadFile(List()), kDevice);
    EXPECT_FALSE(fs::exists(Temp()));
    const std::string last = "ZZ9,R1,R1,R1";
    // Other devices' lines of 32 bytes each, a mebibyte of them written again and again.
    std::string block;
    char line[40];
    for (unsigned n = 0; n < (1u << 15); ++n) {
        std::snprintf(line, sizeof line, "QX%07u,R4.2.1,R2.0.3,R1.4.0\r\n", n);
        block += line;
    }
    const std::string known = "HX100307,R0,R0,R0\r\n";
    for (const bool rewrite : {false, true}) {
        SCOPED_TRACE(rewrite ? "rewrite" : "append");
        {
            std::ofstream list(List(), std::ios::binary);
            for (std::uint64_t written = 0; written < size; written += block.size()) {
                list << block;
            }
            list << (rewrite ? known : "") << last;
        }
        const std::uint64_t before = fs::file_size(List());
        EXPECT_LE(Check(), floor + kMargin) << "floor " << floor;
        const std::string tail = rewrite ? kDevice + last + "\r\n" : last + "\r\n" + kDevice;
        EXPECT_EQ(fs::file_size(List()),
                  before + 2 + kDevice.size() - (rewrite ? known.size() : 0));
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
