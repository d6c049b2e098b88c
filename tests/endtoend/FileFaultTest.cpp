// The serial-number list under file faults: every file operation failed in turn, once or from
// then on, and a crash after every operation. The list must always hold its old or its new
// content under its own name, and no file may stay open.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "devices/SerialNumList.h"
#include "os/Os.h"
#include "platform/FirmwareFiles.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

// Stops the library where the hook throws it, as a crash would.
struct SimulatedCrash {};

// Installs a file-operation hook for its lifetime.
class ScopedHook {
public:
    explicit ScopedHook(os::FileOpHook hook) : m_previous(os::SetFileOpHook(std::move(hook))) {}
    ~ScopedHook() { os::SetFileOpHook(std::move(m_previous)); }
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;

private:
    os::FileOpHook m_previous;
};

const char kOldList[] = "AA1,R1,R1,R1\r\nHX5,R1,R1,R1\r\nBB2,R1,R1,R1\r\n";

struct Case {
    const char* name;
    SerialNumRecord record;
    std::string newList;
};

const Case kCases[] = {
    {"append", {"NEW1", "R2", "R2", "R2"}, std::string(kOldList) + "NEW1,R2,R2,R2\r\n"},
    {"rewrite", {"HX5", "R2", "R2", "R2"}, "AA1,R1,R1,R1\r\nHX5,R2,R2,R2\r\nBB2,R1,R1,R1\r\n"},
};

class FileFaultTest : public FolderFixture {
protected:
    fs::path List() const { return Logs() / kSerialNumListName; }
    fs::path Temp() const { return Logs() / kSerialNumTempName; }

    void Reset() {
        fs::remove(Temp());
        WriteFile(List(), kOldList);
    }

    void Store(const SerialNumRecord& record) { StoreSerialNumRecord(Logs().string(), record); }

    // How many file operations one store makes when nothing fails.
    size_t CountOperations(const SerialNumRecord& record) {
        Reset();
        size_t count = 0;
        {
            ScopedHook hook([&count](os::FileOp, const std::string&) {
                ++count;
                return 0;
            });
            Store(record);
        }
        return count;
    }
};

TEST_F(FileFaultTest, EveryFailingOperationLeavesTheOldOrTheNewList) {
    int runs = 0;
    for (const Case& c : kCases) {
        const size_t operations = CountOperations(c.record);
        ASSERT_GE(operations, 3u) << c.name;
        for (size_t n = 1; n <= operations; ++n) {
            for (const bool fromNOn : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + " op " + std::to_string(n) +
                             (fromNOn ? " from then on" : " once"));
                Reset();
                ++runs;
                const size_t openBefore = OpenHandleCount();
                size_t seen = 0;
                {
                    ScopedHook hook([&](os::FileOp, const std::string&) {
                        ++seen;
                        return seen == n || (fromNOn && seen > n) ? ENOSPC : 0;
                    });
                    Store(c.record);
                }
                const std::string list = ReadFile(List());
                EXPECT_TRUE(list == kOldList || list == c.newList) << list;
                EXPECT_EQ(OpenHandleCount(), openBefore);
                // A failure that kept the old list says so on the monitor.
                if (list == kOldList) {
                    EXPECT_TRUE(m_diagnostics.MonitorHas("encountered problems: " +
                                                         std::to_string(ENOSPC)));
                }
            }
        }
    }
    RecordProperty("runs", runs);
}

TEST_F(FileFaultTest, CrashAfterEveryOperationLeavesAListTheNextUpdateBuildsOn) {
    const SerialNumRecord next{"NEXT1", "R3", "R3", "R3"};
    const std::string nextLine = FormatSerialNumLine(next);
    int crashes = 0;
    for (const Case& c : kCases) {
        const size_t operations = CountOperations(c.record);
        for (size_t k = 0; k < operations; ++k) {
            SCOPED_TRACE(std::string(c.name) + " crash after op " + std::to_string(k));
            Reset();
            ++crashes;
            const size_t openBefore = OpenHandleCount();
            size_t seen = 0;
            {
                ScopedHook hook([&](os::FileOp, const std::string&) {
                    if (seen++ == k) {
                        throw SimulatedCrash{};
                    }
                    return 0;
                });
                EXPECT_THROW(Store(c.record), SimulatedCrash);
            }
            EXPECT_EQ(OpenHandleCount(), openBefore);
            const std::string afterCrash = ReadFile(List());
            ASSERT_TRUE(afterCrash == kOldList || afterCrash == c.newList) << afterCrash;

            // The next update, of another device, finds the list where the crash left it.
            Store(next);
            EXPECT_EQ(ReadFile(List()), afterCrash + nextLine);
        }
    }
    RecordProperty("crashes", crashes);
}

// An update's copy of a release onto the device-load file, failed (a full disk) or stopped (a
// crash) at every file operation: the device-load file holds its old or its new content, the
// release is untouched, and the next copy succeeds whatever the crash left behind.
TEST_F(FileFaultTest, DeviceLoadFileIsOldOrNewUnderEveryFaultAndCrash) {
    CGatewayFileUtils files;
    const fs::path release = Firmware() / "HLX_PROM.rel";
    const fs::path deviceLoad = Firmware() / "HLX_PROM.bin";
    WriteRelease("HLX_PROM.rel", "KLEM_PROM_R2.0.3");
    const std::string newContent = ReadFile(release);
    const auto place = [&] {
        return files.RenameGatewayFile("HLX_PROM.rel", "HLX_PROM.bin", false);
    };
    size_t operations = 0;
    {
        ScopedHook hook([&operations](os::FileOp, const std::string&) {
            ++operations;
            return 0;
        });
        ASSERT_TRUE(place());
    }
    ASSERT_GE(operations, 4u);  // temporary removed, opened, written, flushed, renamed, synced
    for (size_t n = 0; n < operations; ++n) {
        for (const bool crash : {false, true}) {
            SCOPED_TRACE((crash ? "crash at op " : "full disk at op ") + std::to_string(n));
            WriteRelease("HLX_PROM.bin", "KLEM_PROM_R1.9.8");
            const std::string oldContent = ReadFile(deviceLoad);
            size_t seen = 0;
            {
                ScopedHook hook([&](os::FileOp, const std::string&) {
                    if (seen++ != n) {
                        return 0;
                    }
                    if (crash) {
                        throw SimulatedCrash{};
                    }
                    return ENOSPC;
                });
                try {
                    place();
                } catch (const SimulatedCrash&) {
                }
            }
            const std::string now = ReadFile(deviceLoad);
            EXPECT_TRUE(now == oldContent || now == newContent) << now;
            EXPECT_EQ(ReadFile(release), newContent);
            EXPECT_TRUE(place());
            EXPECT_EQ(ReadFile(deviceLoad), newContent);
        }
    }
}

TEST_F(FileFaultTest, HugeListIsRewrittenLineForLine) {
    std::string content;
    for (int i = 0; i < 400000; ++i) {
        content += "HX" + std::to_string(1000000 + i) + ",R4.2.1,R2.0.3,R1.4.0\r\n";
    }
    WriteFile(List(), content);
    Store({"HX1200000", "R9", "R9", "R9"});
    const std::string expected = content.substr(0, content.find("HX1200000")) +
                                 "HX1200000,R9,R9,R9\r\n" +
                                 content.substr(content.find("HX1200001"));
    EXPECT_EQ(ReadFile(List()), expected);
    EXPECT_FALSE(fs::exists(Temp()));
}

}  // namespace
}  // namespace gwu::test
