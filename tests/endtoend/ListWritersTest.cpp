// Writer processes of the serial-number list at once, on real files with no double: appends of
// new devices and rewrites of known ones from every process, a stale temporary file met by all
// of them, and a list that is a symbolic link written through the link and through its target.
// GWU_LIST_WRITER_OPERATIONS sets each process's readings (the long run, label "stress").
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/Os.h"
#include "tests/endtoend/ListWriterReadings.h"
#include "tests/endtoend/Programs.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

#ifdef _WIN32
// The Windows calls the link needs, declared here: <windows.h> clashes with the host's names.
extern "C" {
__declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) long long(__stdcall* __stdcall GetProcAddress(void* module,
                                                                    const char* name))();
__declspec(dllimport) void* __stdcall GetProcessHeap();
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* memory);
}
#endif

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// Under Wine a Windows program can neither make a symbolic link nor tell one from its target
// (it opens the target as the file itself), so the Unix programs ln and test do that, on the
// files' Unix paths. (On a Windows system the test is skipped.)
std::string WineUnixPath(const fs::path& path) {
    using UnixName = char*(__stdcall*)(const wchar_t*);
    void* const kernel = ::GetModuleHandleA("kernel32.dll");
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
        kernel != nullptr ? ::GetProcAddress(kernel, "wine_get_unix_file_name") : nullptr));
    char* name = unixName != nullptr ? unixName(path.wstring().c_str()) : nullptr;
    const std::string unixPath = name != nullptr ? name : "";
    if (name != nullptr) {
        ::HeapFree(::GetProcessHeap(), 0, name);
    }
    return unixPath;
}
#endif

// Runs a shell script on the Unix side (under Wine, Wine's host), with the paths as $0, $1...;
// whether it succeeded (outside Wine on Windows: false).
bool RunUnixScript(const std::string& script, std::vector<fs::path> paths, const fs::path& stem) {
    std::vector<std::string> arguments = {"/bin/sh", "-c", script};
#ifdef _WIN32
    // Wine tells a Windows program nothing of a Unix program's end, so the script's success
    // makes a file that is awaited.
    const fs::path done = stem.string() + ".done";
    arguments[2] += " && : > \"$" + std::to_string(paths.size()) + "\"";
    paths.push_back(done);
    for (const fs::path& path : paths) {
        arguments.push_back(WineUnixPath(path));
        if (arguments.back().empty()) {
            return false;
        }
    }
    Child shell(arguments, stem.string());
    for (int i = 0; i < 1000 && !fs::exists(done); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fs::exists(done);
#else
    for (const fs::path& path : paths) {
        arguments.push_back(path.string());
    }
    return Child(arguments, stem.string()).Wait(10000) == 0;
#endif
}

class ListWritersTest : public SerialListFixture {
protected:
    // Runs writer processes at once, one on each folder (by default all on the log folder),
    // each with its readings, until all have ended.
    void RunWriters(int processes, int operations, std::vector<fs::path> folders = {}) {
        folders.resize(processes, Logs());
        std::vector<std::unique_ptr<Child>> writers;
        for (int p = 0; p < processes; ++p) {
            writers.push_back(std::make_unique<Child>(
                std::vector<std::string>{gwu::test::kListWriterProgram, folders[p].string(),
                                         std::to_string(p), std::to_string(operations)},
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
    // devices, and no temporary file.
    void ExpectListHolds(int processes, int operations) {
        const std::string list = ReadFile(List());
        size_t held = 0;  // the bytes of all processes' lines
        for (int p = 0; p < processes; ++p) {
            std::vector<std::string> last;  // by device: "PppDddddd", numbered in the order met
            for (const SerialNumRecord& reading : ListWriterReadings(p, operations)) {
                const size_t device = std::stoul(reading.serial.substr(4));
                last.resize(std::max(last.size(), device + 1));
                last[device] = FormatSerialNumLine(reading);
            }
            std::string expected, found;
            for (const std::string& line : last) {
                expected += line;
            }
            std::istringstream lines(list);
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind(last.at(0).substr(0, 3), 0) == 0) {
                    found += line + "\n";
                }
            }
            EXPECT_EQ(found, expected) << "process " << p;
            held += found.size();
        }
        EXPECT_EQ(held, list.size()) << "lines of no writer, or a last line without line end";
        EXPECT_FALSE(fs::exists(Temp()));
    }
};

// Every process's first reading rewrites the list while a temporary file left by a writer that
// died is there: one of them sets it aside, with its bytes, and none loses a reading.
TEST_F(ListWritersTest, ManyProcessesAppendingAndRewritingLoseNoLine) {
    const char* asked = std::getenv("GWU_LIST_WRITER_OPERATIONS");
    const int processes = 8;
    const int operations = asked != nullptr ? std::atoi(asked) : 45;
    std::string seeded;
    for (int p = 0; p < processes; ++p) {
        seeded += FormatSerialNumLine({ListWriterReadings(p, 1)[0].serial, "R0", "R0", "R0"});
    }
    WriteFile(List(), seeded);
    WriteFile(Temp(), "P00D00000,half");
    RunWriters(processes, operations);
    ExpectListHolds(processes, operations);
    const std::vector<fs::path> aside = AsideFiles();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadFile(aside[0]), "P00D00000,half");
}

// The list a symbolic link to a list in another folder: one process writes through the link,
// one through the target, at once. They share the target's lock, every reading is in the
// target, and the link stays a link; the temporary file (and on Windows the lock file) goes
// beside the target.
TEST_F(ListWritersTest, WritersThroughALinkAndThroughItsTargetShareTheList) {
    const fs::path shared = Root() / "shared";
    fs::create_directories(shared);
    WriteFile(shared / kSerialNumListName, "");
    if (!RunUnixScript("ln -s \"$0\" \"$1\"", {shared / kSerialNumListName, List()},
                       Root() / "ln") ||
        !fs::exists(List())) {
        GTEST_SKIP() << "this system makes no symbolic link here";
    }
    RunWriters(2, 45, {Logs(), shared});
    ExpectListHolds(2, 45);
    // The list is still a symbolic link, and leads to the target.
    EXPECT_EQ(os::FinalPath(List().string()),
              os::FinalPath((shared / kSerialNumListName).string()));
    EXPECT_TRUE(RunUnixScript("test -L \"$0\"", {List()}, Root() / "test"));
    EXPECT_FALSE(fs::exists(shared / kSerialNumTempName));
#ifdef _WIN32
    EXPECT_TRUE(fs::exists(shared / (std::string(kSerialNumListName) + ".lock")));
    EXPECT_FALSE(fs::exists(Logs() / (std::string(kSerialNumListName) + ".lock")));
#endif
}

}  // namespace
}  // namespace gwu::test
