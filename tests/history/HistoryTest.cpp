// The update history on real files in a temporary folder: the event's line, the writer's
// numbers, torn lines, crashes at every file operation, rotation and the size cap under threads,
// and the reader's rules.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "history/HistoryFile.h"
#include "history/HistoryReader.h"
#include "os/Os.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using namespace history;

Event Check(const std::string& serial, const std::string& operation = "check") {
    Event event;
    event.operation = operation;
    event.serial = serial;
    return event;
}

// Every number from 1 to the last is an event's, once, or among those a "dropped" event names;
// the events come in rising order. Returns how many events the "dropped" events name.
std::uint64_t ExpectNumbersHold(const std::vector<Event>& events) {
    std::map<std::uint64_t, int> seen;
    std::uint64_t dropped = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_TRUE(i == 0 || events[i].sequence > events[i - 1].sequence) << i;
        ++seen[events[i].sequence];
        if (events[i].operation == "dropped") {
            dropped += *events[i].droppedCount;
            for (std::uint64_t n = *events[i].droppedFirst; n <= *events[i].droppedLast; ++n) {
                ++seen[n];
            }
        }
    }
    const std::uint64_t last = events.empty() ? 0 : events.back().sequence;
    for (std::uint64_t n = 1; n <= last; ++n) {
        EXPECT_GE(seen[n], 1) << "number " << n << " skipped";
    }
    return dropped;
}

class HistoryTest : public ::testing::Test {
protected:
    ~HistoryTest() override { SetLimits({}); }
    std::string Folder() const { return m_folder.Path().string(); }
    fs::path Current() const { return m_folder.Path() / kHistoryFileName; }
    fs::path Rotated(unsigned n) const { return m_folder.Path() / RotatedFileName(n); }
    AppendResult Append(Event event, AcknowledgedSequence acknowledged = {}) {
        return HistoryFile(Folder(), std::move(acknowledged)).Append(event);
    }
    std::uint64_t TotalBytes() const {
        std::uint64_t total = 0;
        for (const auto& entry : fs::directory_iterator(m_folder.Path())) {
            total += entry.path().extension() == ".jsonl" ? fs::file_size(entry.path()) : 0;
        }
        return total;
    }
    TempDir m_folder;
};

// The line has the documented members in order, the optional ones only when set, and reads
// back as the same event.
TEST_F(HistoryTest, LineHasTheDocumentedMembersAndReadsBack) {
    Event full = Check("HX100234", "update");
    full.id = "0123456789abcdef0123456789abcdef";
    full.sequence = 7;
    full.time = "2026-12-07T10:11:12Z";
    full.tester = "bench-3";
    full.tool = "gwctl 0.1.0";
    full.library = "0.1.0";
    full.card = "VCL";
    full.codeTypes = {{"LC", "R1", "R2", "R2", "Older", true}, {"BS", "é", "", "", "", false}};
    full.rounds = {{1, "LC", "succeeded", "R2", "R2", true, ""},
                   {2, "BS", "not run", {}, "", false, "x"}};
    full.repair = "typed";
    full.folder = FolderRecord{"sig", "pub", 4, "spring"};
    full.exitStatus = 0;
    EXPECT_EQ(
        ToJsonLine(full),
        R"({"format":1,"id":"0123456789abcdef0123456789abcdef","seq":7,"time":"2026-12-07T10:11:12Z",)"
        R"("tester":"bench-3","tool":"gwctl 0.1.0","library":"0.1.0","operation":"update","card":"VCL",)"
        R"("serial":"HX100234","code_types":{"LC":{"before":"R1","after":"R2","disk":"R2",)"
        R"("verdict":"Older","compared":true},"BS":{"before":"é","after":"","disk":"","verdict":"",)"
        R"("compared":false}},"rounds":[{"number":1,"code":"LC","result":"succeeded","expected":"R2",)"
        R"("reported":"R2","took":true,"refused":""},{"number":2,"code":"BS","result":"not run",)"
        R"("reported":"","took":false,"refused":"x"}],"repair":"typed","folder":{"signature":"sig",)"
        R"("publisher":"pub","sequence":4,"set":"spring"},"exit":0})"
        "\n");
    Event dropped = Check("", "dropped");
    dropped.droppedCount = 3;
    dropped.droppedFirst = 1;
    dropped.droppedLast = 3;
    for (const Event& event : {full, dropped, Check("")}) {
        const EventReading reading = ParseJsonLine(ToJsonLine(event));
        ASSERT_TRUE(reading.event) << reading.problem;
        EXPECT_EQ(*reading.event, event);
    }
}

// Each line that is no event gives a problem in words, never an exception.
TEST_F(HistoryTest, EveryBadLineIsAProblem) {
    const std::string ok = R"("id":"a","seq":1,"time":"t","operation":"check")";
    const struct {
        std::string line, problem;
    } cases[] = {
        {"", "not JSON"},
        {"{\"format\":1,", "not JSON"},
        {"[1]", "not a JSON object"},
        {"{" + ok + "}", "\"format\" is missing"},
        {"{\"format\":\"1\"," + ok + "}", "\"format\" is no format number"},
        {"{\"format\":2,\"anything\":0}", "format 2 is newer than this reader's (1): refused"},
        {R"({"format":1,"id":"a","time":"t","operation":"check"})", "\"seq\" is missing"},
        {R"({"format":1,"id":"a","seq":-1,"time":"t","operation":"check"})", "\"seq\" is no whole"},
        {R"({"format":1,"seq":1,"time":"t","operation":"check"})", "\"id\" is missing"},
        {"{\"format\":1," + ok + ",\"serial\":5}", "\"serial\" is no text"},
        {"{\"format\":1," + ok + ",\"code_types\":{\"LC\":[]}}", "\"code_types.LC\" is no object"},
        {"{\"format\":1," + ok + ",\"rounds\":[{\"took\":1}]}",
         "\"rounds.0.took\" is no true/false"},
        {"{\"format\":1," + ok + ",\"exit\":4294967296}", "\"exit\" is no whole number in range"},
        {"{\"format\":1," + ok + ",\"dropped\":{}}", "\"dropped.count\" is missing"},
        {"{\"format\":1," + ok + ",\"tester\":\"" + std::string(kMaxLineBytes, 'x') + "\"}",
         "longer than 65536 bytes: refused"},
        {"{\"format\":1," + ok + "}" + std::string(1, '\0') + "\xff", "holds a NUL character"},
    };
    for (const auto& c : cases) {
        const EventReading reading = ParseJsonLine(c.line);
        EXPECT_FALSE(reading.event) << c.line.substr(0, 80);
        EXPECT_NE(reading.problem.find(c.problem), std::string::npos) << reading.problem;
    }
}

// The writer numbers from 1, fills the id and the time, finishes a torn last line by starting
// on a line of its own (the torn line a warning, its number taken again), and refuses an event
// too long for a line and a folder it cannot write.
TEST_F(HistoryTest, AppendNumbersFillsInAndFinishesATornLine) {
    EXPECT_EQ(Append(Check("A")).sequence, 1u);
    EXPECT_EQ(Append(Check("B")).sequence, 2u);
    const std::string whole = TestFolders::ReadFile(Current());
    TestFolders::WriteFile(Current(), whole + R"({"format":1,"seq":3,"id")");
    EXPECT_EQ(Append(Check("C")).sequence, 3u);
    EXPECT_EQ(TestFolders::ReadFile(Current()).find(whole + R"({"format":1,"seq":3,"id")"
                                                            "\n{"),
              0u);
    EXPECT_FALSE(Append(Check(std::string(kMaxLineBytes, 'x'))).recorded);
    Event nowhere = Check("D");
    const AppendResult refused = HistoryFile((Current() / "sub").string()).Append(nowhere);
    EXPECT_FALSE(refused.recorded);
    EXPECT_NE(refused.problem.find("cannot be opened"), std::string::npos) << refused.problem;
    const HistoryReading reading = ReadHistory(Folder());
    ASSERT_EQ(reading.events.size(), 3u);
    ExpectNumbersHold(reading.events);
    EXPECT_TRUE(std::regex_match(reading.events[2].id, std::regex("[0-9a-f]{32}")));
    EXPECT_TRUE(std::regex_match(reading.events[2].time,
                                 std::regex(R"(20\d\d-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-5]\dZ)")));
    EXPECT_NE(reading.events[0].id, reading.events[1].id);
    ASSERT_EQ(reading.warnings.size(), 1u);
    EXPECT_NE(reading.warnings[0].find("history.jsonl: line 3: not JSON"), std::string::npos);
}

// A crash (the file-operation hook throws) at every file operation of an append, and of an
// append that rotates and drops the oldest file under the cap: every file holds whole events
// only, no file stays open, and three more appends continue the numbers.
TEST_F(HistoryTest, CrashAtEveryFileOperationLeavesWholeLinesAndTheNumbersGoOn) {
    struct Crash {};
    // Events 1-3 in history.2.jsonl, 4-6 in history.1.jsonl, 7-9 in the current file.
    std::string files[3];
    for (std::uint64_t n = 1; n <= 9; ++n) {
        Event event = Check("S" + std::to_string(n));
        event.id = NewEventId();
        event.time = UtcNow();
        event.sequence = n;
        files[(n - 1) / 3] += ToJsonLine(event);
    }
    const auto reset = [&] {
        fs::remove_all(m_folder.Path());
        fs::create_directories(m_folder.Path());
        TestFolders::WriteFile(Rotated(2), files[0]);
        TestFolders::WriteFile(Rotated(1), files[1]);
        TestFolders::WriteFile(Current(), files[2]);
    };
    const std::uint64_t rotate = files[2].size() + 1;  // the next line rotates the current file
    for (const Limits limits :
         {Limits{}, Limits{rotate, rotate + files[2].size() + files[1].size() + 100}}) {
        SetLimits(limits);
        reset();
        size_t operations = 0;
        {
            const ScopedFileOpHook count([&](os::FileOp, const std::string&) {
                ++operations;
                return 0;
            });
            ASSERT_TRUE(Append(Check("X")).recorded);
        }
        const bool rotating = limits.capBytes != kCapBytes;
        ASSERT_EQ(ReadHistory(Folder()).events.at(0).sequence, rotating ? 4u : 1u);  // 1-3 dropped
        for (size_t n = 0; n < operations; ++n) {
            SCOPED_TRACE("crash at operation " + std::to_string(n) +
                         (rotating ? " of a rotation" : ""));
            reset();
            const size_t openBefore = OpenHandleCount();
            size_t seen = 0;
            try {
                const ScopedFileOpHook crash([&](os::FileOp, const std::string&) -> int {
                    if (seen++ == n) {
                        throw Crash{};
                    }
                    return 0;
                });
                Append(Check("X"));
                ADD_FAILURE() << "no crash";
            } catch (const Crash&) {
            }
            EXPECT_EQ(OpenHandleCount(), openBefore);
            for (const std::string& path : HistoryFiles(Folder())) {
                const std::string content = TestFolders::ReadFile(path);
                EXPECT_TRUE(content.empty() || content.back() == '\n') << path;
            }
            EXPECT_TRUE(ReadHistory(Folder()).warnings.empty());
            for (int more = 0; more < 3; ++more) {
                EXPECT_TRUE(Append(Check("Y")).recorded);
            }
            const HistoryReading reading = ReadHistory(Folder());
            EXPECT_TRUE(reading.warnings.empty()) << reading.warnings[0];
            ExpectNumbersHold(reading.events);
            ASSERT_GE(reading.events.size(), 3u);
            EXPECT_EQ(reading.events.back().serial, "Y");
        }
    }
}

// Threads appending at once through rotations and the cap: every event read once, in order,
// the numbers whole (the cap's drops named by "dropped" events), all files within the cap.
// Without an acknowledged sequence the current file stays within the rotation size; with
// nothing acknowledged it grows over it.
TEST_F(HistoryTest, RotationAndCapUnderThreadsKeepEveryNumber) {
    const std::uint64_t rotate = 4096, cap = 16384;
    for (const bool acknowledging : {false, true}) {
        SCOPED_TRACE(acknowledging ? "nothing acknowledged" : "no acknowledged sequence");
        fs::remove_all(m_folder.Path());
        fs::create_directories(m_folder.Path());
        SetLimits({rotate, cap});
        std::atomic<std::uint64_t> largest{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 60; ++i) {
                    EXPECT_TRUE(Append(Check("T" + std::to_string(t)),
                                       acknowledging ? AcknowledgedSequence([] { return 0; })
                                                     : AcknowledgedSequence())
                                    .recorded);
                    std::error_code ec;
                    const std::uint64_t size = fs::file_size(Current(), ec);
                    for (std::uint64_t was = largest;
                         !ec && size > was && !largest.compare_exchange_weak(was, size);) {
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        const HistoryReading reading = ReadHistory(Folder());
        EXPECT_TRUE(reading.warnings.empty());
        const std::uint64_t dropped = ExpectNumbersHold(reading.events);
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(reading.events.size() + dropped, reading.events.back().sequence);
        EXPECT_GE(reading.events.back().sequence, 240u);
        EXPECT_TRUE(fs::exists(Rotated(1)));
        EXPECT_LE(TotalBytes(), cap + 1024);
        EXPECT_EQ(largest > rotate, acknowledging) << largest;
    }
}

// The reader over a rotated file and the current one: lines that are no event are skipped
// with the file and line number (a corrupt line, a newer format, a line too long, a member of
// the wrong type), the lines after them read; the filters pick by serial number exactly, by
// time and by operation.
TEST_F(HistoryTest, ReaderSkipsWhatIsNoEventAndFilters) {
    const auto line = [](std::uint64_t n, const std::string& serial, const std::string& time,
                         const std::string& operation) {
        Event event = Check(serial, operation);
        event.id = "id" + std::to_string(n);
        event.sequence = n;
        event.time = time;
        return ToJsonLine(event);
    };
    TestFolders::WriteFile(Rotated(1), line(1, "HX1", "2026-01-01T00:00:00Z", "check") +
                                           "not json\n" +
                                           line(2, "HX10", "2026-02-01T00:00:00Z", "update"));
    // A line too long within one of the reader's pieces, and one longer than a piece.
    TestFolders::WriteFile(
        Current(),
        "{\"format\":9}\n" + std::string(kMaxLineBytes + 5, 'x') + "\n" +
            std::string((1 << 20) + kMaxLineBytes, 'y') + "\n" +
            line(3, "HX1", "2026-03-01T00:00:00Z", "update") +
            R"({"format":1,"id":"a","seq":4,"time":"t","operation":"check","serial":["HX1"]})"
            "\n" +
            line(5, "HX1", "2026-04-01T00:00:00Z", "cable"));
    const HistoryReading all = ReadHistory(Folder());
    const std::vector<std::string> warnings = {
        "history.1.jsonl: line 2: not JSON",
        "history.jsonl: line 1: format 9 is newer than this reader's (1): refused",
        "history.jsonl: line 2: longer than 65536 bytes: refused",
        "history.jsonl: line 3: longer than 65536 bytes: refused",
        "history.jsonl: line 5: member \"serial\" is no text"};
    ASSERT_EQ(all.warnings.size(), warnings.size());
    for (size_t i = 0; i < warnings.size(); ++i) {
        EXPECT_NE(all.warnings[i].find(warnings[i]), std::string::npos) << all.warnings[i];
    }
    const struct {
        Filter filter;
        std::vector<std::uint64_t> numbers;
    } cases[] = {
        {{}, {1, 2, 3, 5}},
        {{"HX1", "", ""}, {1, 3, 5}},
        {{"HX10", "", ""}, {2}},
        {{"", "2026-02-01T00:00:00Z", ""}, {2, 3, 5}},
        {{"", "2026-03", ""}, {3, 5}},
        {{"", "", "update"}, {2, 3}},
        {{"HX1", "2026-02", "update"}, {3}},
        {{"HX", "", ""}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint64_t> numbers;
        for (const Event& event : ReadHistory(Folder(), c.filter).events) {
            numbers.push_back(event.sequence);
        }
        EXPECT_EQ(numbers, c.numbers)
            << c.filter.serial << " " << c.filter.since << " " << c.filter.operation;
    }
}

// A reader holds the current file open (on Windows: sharing delete) while the writer rotates
// it: the rotation happens, the reader reads on in the renamed file, and a reading afterwards
// has every event.
TEST_F(HistoryTest, RotationWhileAReaderHoldsTheFile) {
    ASSERT_TRUE(Append(Check("FIRST")).recorded);
    os::ReadOnlyFile reader;
    ASSERT_EQ(reader.Open(Current().string()), 0);
    SetLimits({1024, 1 << 20});
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(Append(Check("NEXT")).recorded);
    }
    EXPECT_TRUE(fs::exists(Rotated(1)));
    char text[64] = {};
    size_t got = 0;
    ASSERT_EQ(reader.ReadSome(text, sizeof text - 1, got), 0);
    EXPECT_NE(std::string(text, got).find("\"seq\":1,"), std::string::npos);
    const HistoryReading reading = ReadHistory(Folder());
    ASSERT_EQ(reading.events.size(), 11u);
    EXPECT_EQ(reading.events[0].serial, "FIRST");
    ExpectNumbersHold(reading.events);
}

}  // namespace
}  // namespace gwu::test
