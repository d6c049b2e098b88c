// Writer processes of the serial-number list at once, on real files with no double: appends of
// new devices and rewrites of known ones from every process, and a stale temporary file met by
// two of them. GWU_LIST_WRITER_OPERATIONS sets each process's readings (the long run, label
// "stress").
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/endtoend/ListWriterReadings.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

class ListWritersTest : public SerialListFixture {
protected:
    // Runs the writer processes at once, each with its readings, until all have ended.
    void RunWriters(int processes, int operations) {
        std::vector<std::unique_ptr<Child>> writers;
        for (int p = 0; p < processes; ++p) {
            writers.push_back(std::make_unique<Child>(
                std::vector<std::string>{GWU_LIST_WRITER, Logs().string(), std::to_string(p),
                                         std::to_string(operations)},
                (Root() / ("writer" + std::to_string(p))).string()));
        }
        for (int p = 0; p < processes; ++p) {
            EXPECT_EQ(writers[p]->Wait(600000), 0) << "writer " << p;
            const std::string errors = ReadFile(Root() / ("writer" + std::to_string(p) + ".err"));
            EXPECT_EQ(errors.find("encountered problems"), std::string::npos) << errors;
        }
    }

    // Checks the list against every process's readings: exactly one line per device met,
    // carrying its last reading, the lines of each process in the order it first met its
    // devices, and no temporary file. Returns the devices without a line of their last reading.
    int ExpectListHolds(int processes, int operations) {
        const std::string list = ReadFile(List());
        EXPECT_TRUE(list.empty() || list.back() == '\n');
        std::vector<std::string> found(processes);
        std::istringstream lines(list);
        for (std::string line; std::getline(lines, line);) {
            const int p = std::atoi(line.c_str() + 1);  // "PppD..."
            if (line[0] != 'P' || p < 0 || p >= processes) {
                ADD_FAILURE() << "a line of no writer: " << line;
                continue;
            }
            found[p] += line + "\n";
        }
        int lost = 0;
        for (int p = 0; p < processes; ++p) {
            std::map<std::string, std::string> last;
            std::vector<std::string> firstMet;
            for (const SerialNumRecord& reading : ListWriterReadings(p, operations)) {
                if (last.count(reading.serial) == 0) {
                    firstMet.push_back(reading.serial);
                }
                last[reading.serial] = FormatSerialNumLine(reading);
            }
            std::string expected;
            for (const std::string& serial : firstMet) {
                expected += last[serial];
                lost += list.find(last[serial]) == std::string::npos;
            }
            EXPECT_EQ(found[p], expected) << "process " << p;
        }
        EXPECT_FALSE(fs::exists(Temp()));
        return lost;
    }
};

TEST_F(ListWritersTest, ManyProcessesAppendingAndRewritingLoseNoLine) {
    const char* asked = std::getenv("GWU_LIST_WRITER_OPERATIONS");
    const int processes = 8;
    const int operations = asked != nullptr ? std::atoi(asked) : 45;
    RunWriters(processes, operations);
    const int lost = ExpectListHolds(processes, operations);
    EXPECT_TRUE(AsideFiles().empty());
    std::printf(
        "list writers: %d processes, %d readings each (%d in all, a third rewrites), "
        "%d lines lost or out of date\n",
        processes, operations, processes * operations, lost);
}

// Both processes' first reading rewrites the list while a temporary file left by a writer that
// died is there: one of them sets it aside, with its bytes, and neither loses its reading.
TEST_F(ListWritersTest, TwoProcessesMeetAStaleTemporaryFile) {
    std::string seeded;
    for (int p = 0; p < 2; ++p) {
        seeded += FormatSerialNumLine({ListWriterReadings(p, 1)[0].serial, "R0", "R0", "R0"});
    }
    WriteFile(List(), seeded);
    WriteFile(Temp(), "P00D00000,half");
    RunWriters(2, 6);
    ExpectListHolds(2, 6);
    const std::vector<fs::path> aside = AsideFiles();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadFile(aside[0]), "P00D00000,half");
}

}  // namespace
}  // namespace gwu::test
