// The serial-number list and the device-load file under file faults: every file operation failed
// in turn, once or from then on, and a crash at every operation. Each file must always hold its
// old or its new content under its own name, and no file may stay open.
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "devices/SerialNumList.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// How the file operation at a position (from 0) of a job goes wrong: a full disk there, a full
// disk from there on, or a crash there, which stops the job.
enum class Mishap { FullDisk, FullDiskFromThenOn, Crash };
constexpr Mishap kMishaps[] = {Mishap::FullDisk, Mishap::FullDiskFromThenOn, Mishap::Crash};
constexpr const char* kMishapNames[] = {"full disk at op ", "full disk from op ", "crash at op "};

// Stops the library where the hook throws it, as a crash would.
struct SimulatedCrash {};

// How many file operations the job makes when nothing fails.
size_t CountOperations(const std::function<void()>& job) {
    size_t count = 0;
    const ScopedFileOpHook hook([&count](os::FileOp, const std::string&) {
        ++count;
        return 0;
    });
    job();
    return count;
}

// Runs the job with the mishap at the position; whether it crashed.
bool RunWith(Mishap mishap, size_t position, const std::function<void()>& job) {
    size_t seen = 0;
    const ScopedFileOpHook hook([&](os::FileOp, const std::string&) {
        const size_t at = seen++;
        if (at == position && mishap == Mishap::Crash) {
            throw SimulatedCrash{};
        }
        return at == position || (mishap == Mishap::FullDiskFromThenOn && at > position) ? ENOSPC
                                                                                         : 0;
    });
    try {
        job();
    } catch (const SimulatedCrash&) {
        return true;
    }
    return false;
}

const char kOldList[] = "AA1,R1,R1,R1\r\nHX5,R1,R1,R1\r\nBB2,R1,R1,R1\r\n";

class FileFaultTest : public SerialListFixture {
protected:
    void Reset() {
        fs::remove(Temp());
        for (const fs::path& aside : AsideFiles()) {
            fs::remove(aside);
        }
        WriteFile(List(), kOldList);
    }
};

// A store failed at every file operation in turn, once or from then on, or stopped there by a
// crash, leaves the old or the new list (a failure that kept the old list says so on the
// monitor), no file open, and a list that 20 more readings build on: all of them recorded, and
// a temporary file the crash left set aside with its bytes.
TEST_F(FileFaultTest, EveryMishapLeavesTheOldOrTheNewListForMoreReadings) {
    // An append, then a rewrite, and the list after each.
    for (const auto& c : std::vector<std::pair<SerialNumRecord, std::string>>{
             {{"NEW1", "R2", "R2", "R2"}, kOldList + "NEW1,R2,R2,R2\r\n"s},
             {{"HX5", "R2", "R2", "R2"}, "AA1,R1,R1,R1\r\nHX5,R2,R2,R2\r\nBB2,R1,R1,R1\r\n"}}) {
        const SerialNumRecord& record = c.first;
        Reset();
        const size_t operations = CountOperations([&] { Store(record); });
        ASSERT_GE(operations, 3u) << record.serial;
        for (size_t n = 0; n < operations; ++n) {
            for (const Mishap mishap : kMishaps) {
                SCOPED_TRACE(record.serial +
                             (" " + (kMishapNames[static_cast<int>(mishap)] + std::to_string(n))));
                Reset();
                const size_t openBefore = OpenHandleCount();
                const size_t monitorBefore = m_diagnostics.Monitor().size();
                EXPECT_EQ(RunWith(mishap, n, [&] { Store(record); }), mishap == Mishap::Crash);
                EXPECT_EQ(OpenHandleCount(), openBefore);
                const std::string list = ReadFile(List());
                ASSERT_TRUE(list == kOldList || list == c.second) << list;
                if (list == kOldList && mishap != Mishap::Crash) {
                    EXPECT_FALSE(m_diagnostics
                                     .MonitorSince(monitorBefore, "encountered problems: " +
                                                                      std::to_string(ENOSPC))
                                     .empty());
                }
                const bool left = fs::exists(Temp());
                const std::string leftBytes = left ? ReadFile(Temp()) : "";
                std::string expected = list;  // 10 new devices, each read again: 10 rewrites
                for (int i = 10; i < 30; i += 2) {
                    const std::string serial = "NEXT" + std::to_string(i);
                    Store({serial, "S1", "S1", "S1"});
                    Store({serial, "S2", "S2", "S2"});
                    expected += FormatSerialNumLine({serial, "S2", "S2", "S2"});
                }
                EXPECT_EQ(ReadFile(List()), expected);
                EXPECT_FALSE(fs::exists(Temp()));
                const std::vector<fs::path> aside = AsideFiles();
                ASSERT_EQ(aside.size(), left ? 1u : 0u);
                if (left) {
                    EXPECT_EQ(ReadFile(aside[0]), leftBytes);
                }
            }
        }
    }
}

// An update's copy of a release onto the device-load file, with every mishap at every file
// operation: the device-load file holds its old or its new content, the release is untouched,
// and the next copy succeeds whatever the mishap left behind.
TEST_F(FileFaultTest, DeviceLoadFileIsOldOrNewUnderEveryMishap) {
    CGatewayFileUtils files;
    const fs::path release = Firmware() / "HLX_PROM.rel";
    const fs::path deviceLoad = Firmware() / "HLX_PROM.bin";
    WriteRelease("HLX_PROM.rel", "KLEM_PROM_R2.0.3");
    const std::string newContent = ReadFile(release);
    const auto place = [&] {
        return files.RenameGatewayFile("HLX_PROM.rel", "HLX_PROM.bin", false);
    };
    const size_t operations = CountOperations([&] { EXPECT_TRUE(place()); });
    ASSERT_GE(operations, 4u);  // temporary removed, opened, written, flushed, renamed, synced
    for (size_t n = 0; n < operations; ++n) {
        for (const Mishap mishap : kMishaps) {
            SCOPED_TRACE(kMishapNames[static_cast<int>(mishap)] + std::to_string(n));
            WriteRelease("HLX_PROM.bin", "KLEM_PROM_R1.9.8");
            const std::string oldContent = ReadFile(deviceLoad);
            RunWith(mishap, n, place);
            const std::string now = ReadFile(deviceLoad);
            EXPECT_TRUE(now == oldContent || now == newContent) << now;
            EXPECT_EQ(ReadFile(release), newContent);
            EXPECT_TRUE(place());
            EXPECT_EQ(ReadFile(deviceLoad), newContent);
        }
    }
}

}  // namespace
}  // namespace gwu::test
