// Writer processes of the serial-number list at once, on real files with no double: appends of
// new devices and rewrites of known ones from every process. GWU_LIST_WRITER_OPERATIONS sets each
// process's readings (the long run, label "stress").
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/endtoend/ListWriterReadings.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/Fixtures.h"

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
    // carrying that device's last reading, and the lines of one process in the order it first
    // met its devices. Returns the devices whose line is missing.
    int ExpectListHolds(int processes, int operations) {
        std::map<std::string, size_t> lineOf;
        std::vector<std::string> lines;
        const std::string list = ReadFile(List());
        for (size_t at = 0, end; at < list.size(); at = end + 2) {
            end = list.find("\r\n", at);
            EXPECT_NE(end, std::string::npos) << "a line without CR LF at " << at;
            if (end == std::string::npos) {
                break;
            }
            lines.push_back(list.substr(at, end + 2 - at));
            EXPECT_TRUE(
                lineOf.emplace(lines.back().substr(0, lines.back().find(',')), lines.size() - 1)
                    .second)
                << "a second line of a device: " << lines.back();
        }
        size_t devices = 0;
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
            devices += firstMet.size();
            size_t previous = 0;
            for (const std::string& serial : firstMet) {
                const auto found = lineOf.find(serial);
                if (found == lineOf.end()) {
                    ++lost;
                    continue;
                }
                EXPECT_EQ(lines[found->second], last[serial]);
                EXPECT_TRUE(serial == firstMet.front() || found->second > previous)
                    << serial << " out of first-met order";
                previous = found->second;
            }
        }
        EXPECT_EQ(lines.size(), devices);
        EXPECT_EQ(lost, 0);
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
    std::printf(
        "list writers: %d processes, %d readings each (%d in all, a third rewrites), "
        "%d lines lost\n",
        processes, operations, processes * operations, lost);
}

}  // namespace
}  // namespace gwu::test
