// Writer processes of the update history at once, on real files with no double, rotating as
// they go: every event recorded once, numbered 1..N without a gap, each process's events in the
// order it appended them, every line whole.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "history/HistoryReader.h"
#include "tests/history/HistoryPrograms.h"
#include "testsupport/TestFolders.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {
namespace {

TEST(HistoryWritersTest, EightProcessesAppendingThroughRotationsLoseNoEvent) {
    const int processes = 8, events = 40;
    TempDir folder;
    std::vector<std::unique_ptr<Child>> writers;
    for (int p = 0; p < processes; ++p) {
        writers.push_back(std::make_unique<Child>(
            std::vector<std::string>{kHistoryWriterProgram, folder.Path().string(),
                                     std::to_string(p), std::to_string(events), "8192",
                                     "1073741824"},
            (folder.Path() / ("writer" + std::to_string(p))).string()));
    }
    for (int p = 0; p < processes; ++p) {
        EXPECT_EQ(writers[p]->Wait(600000), 0) << "writer " << p;
    }
    const history::HistoryReading reading = history::ReadHistory(folder.Path().string());
    EXPECT_TRUE(reading.warnings.empty()) << reading.warnings.front();
    ASSERT_EQ(reading.events.size(), static_cast<size_t>(processes * events));
    std::vector<int> next(processes, 0);
    for (size_t i = 0; i < reading.events.size(); ++i) {
        const history::Event& event = reading.events[i];
        EXPECT_EQ(event.sequence, i + 1);
        const size_t dash = event.serial.find('-');
        const int p = std::stoi(event.serial.substr(1, dash - 1));
        EXPECT_EQ(event.serial.substr(dash + 1), std::to_string(next.at(p)++)) << event.serial;
    }
    EXPECT_GE(history::HistoryFiles(folder.Path().string()).size(), 3u);  // rotated on the way
}

}  // namespace
}  // namespace gwu::test
