// The serial-number list file on real files in a temporary folder.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "devices/SerialNumList.h"
#include "os/Os.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

SerialNumRecord Record(const std::string& serial) {
    return SerialNumRecord{serial, "a", "b", "c"};
}

class SerialNumListTest : public SerialListFixture {
protected:
    bool Problem() const { return m_diagnostics.MonitorHas("encountered problems"); }
    bool Problem(int cause) const {
        return m_diagnostics.MonitorHas(
            "CHLXUtils::StoreHLXSerialNumToFile encountered problems: " + std::to_string(cause));
    }
};

// The list and the temporary file before, the records stored in turn, and the list after; no
// case leaves a temporary file or a problem behind.
TEST_F(SerialNumListTest, StoredRecordsGiveTheList) {
    const std::string aa = "AA1,R1,R1,R1\r\n", bb = "BB2,R1,R1,R1\r\n", hx5 = "HX5,R1,R1,R1\r\n";
    const std::string r2 = "HX5,R2,R2,R2\r\n";
    const SerialNumRecord hx5r2 = {"HX5", "R2", "R2", "R2"};
    const struct {
        std::optional<std::string> list, temp;
        std::vector<SerialNumRecord> records;
        std::string after;
    } cases[] = {
        {{}, {}, {{"HX100234", "R4.2.1", "R2.0.3", "R1.4.0"}}, "HX100234,R4.2.1,R2.0.3,R1.4.0\r\n"},
        // New devices are appended in the order met.
        {{}, {}, {Record("HX1"), {"HX3", "", "R9", ""}}, "HX1,a,b,c\r\nHX3,,R9,\r\n"},
        // A known device is replaced in place, the other lines kept; so is every line whose
        // first field is its serial number, but not one that holds it elsewhere: in "HX55",
        // in a release field.
        {aa + hx5 + bb, {}, {{"HX5", "R7", "R8", "R9"}}, aa + "HX5,R7,R8,R9\r\n" + bb},
        {"HX55,a\r\nDD4,HX5\r\n" + hx5 + "HX5\r\n", {}, {hx5r2}, "HX55,a\r\nDD4,HX5\r\n" + r2 + r2},
        {"HX55,a\r\nDD4,HX5\r\n", {}, {hx5r2}, "HX55,a\r\nDD4,HX5\r\n" + r2},
        // A rewrite gives LF-only lines and a last line without line end a CR LF ...
        {"AA1,R1,R1,R1\n" + hx5 + "BB2,R1,R1,R1", {}, {hx5r2}, aa + r2 + bb},
        {"AA1,R1,R1,R1\n" + r2, {}, {hx5r2}, aa + r2},  // even where the record stands already
        // ... and an append starts on a line of its own.
        {"AA1,R1,R1,R1", {}, {Record("HX7")}, "AA1,R1,R1,R1\r\nHX7,a,b,c\r\n"},
        {aa + bb, {}, {Record("")}, aa + bb},  // an empty serial number is never stored
        // A temporary file without a list, what an interrupted rewrite leaves, is restored first.
        {{}, aa + hx5, {hx5r2}, aa + r2},
        {{}, aa, {Record("NEW1")}, aa + "NEW1,a,b,c\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.after);
        fs::remove(List());
        if (c.list) {
            WriteFile(List(), *c.list);
        }
        if (c.temp) {
            WriteFile(Temp(), *c.temp);
        }
        for (const SerialNumRecord& record : c.records) {
            Store(record);
        }
        EXPECT_EQ(ReadFile(List()), c.after);
        EXPECT_FALSE(fs::exists(Temp()));
    }
    EXPECT_FALSE(Problem());
    EXPECT_TRUE(m_diagnostics.MonitorHas("no serial number"));
}

// A device met again unchanged leaves the list untouched, and a temporary file beside it too. A
// temporary file met by a rewrite is one a writer that died left: it is set aside under a name
// no earlier one has, with its bytes, and the rewrite goes on.
TEST_F(SerialNumListTest, StaleTemporaryFileIsSetAsideByARewriteAndTheRewriteGoesOn) {
    WriteFile(List(), "HX5,R1,R1,R1\r\nHX6,R1,R1,R1\r\n");
    WriteFile(Temp(), "left over\r\n");
    const auto before = fs::last_write_time(List());
    Store({"HX6", "R1", "R1", "R1"});
    EXPECT_EQ(fs::last_write_time(List()), before);
    Store({"HX5", "R2", "R2", "R2"});
    WriteFile(Temp(), "left again");
    Store({"HX6", "R2", "R2", "R2"});
    EXPECT_EQ(ReadFile(List()), "HX5,R2,R2,R2\r\nHX6,R2,R2,R2\r\n");
    EXPECT_FALSE(fs::exists(Temp()));
    std::vector<std::string> aside;
    for (const std::string& line : m_diagnostics.MonitorSince(0, "set aside as ")) {
        aside.push_back(ReadFile(line.substr(line.find("set aside as ") + 13)));
    }
    EXPECT_EQ(aside, (std::vector<std::string>{"left over\r\n", "left again"}));
    EXPECT_FALSE(Problem());
}

// Another writer holds the list for longer than a writer waits: the store gives up and says so.
TEST_F(SerialNumListTest, ListHeldByAnotherWriterTooLongIsLeftAlone) {
    WriteFile(List(), "HX5,R1,R1,R1\r\n");
    os::LockedFile holder;  // another writer's hold, as another process would have it
    ASSERT_EQ(holder.Open(List().string()), 0);
    const auto wait = os::SetWriterWait(std::chrono::milliseconds(20));
    Store(Record("HX6"));
    Store({"HX5", "R2", "R2", "R2"});
    os::SetWriterWait(wait);
    holder.Close();
    EXPECT_EQ(ReadFile(List()), "HX5,R1,R1,R1\r\n");
    EXPECT_TRUE(Problem(EWOULDBLOCK));
}

TEST_F(SerialNumListTest, UnusableFolderOrListReportsAndNeverThrows) {
    {
        const ScopedFileOpHook outOfMemory(
            [](os::FileOp, const std::string&) -> int { throw std::bad_alloc(); });
        EXPECT_NO_THROW(Store(Record("HX1")));
    }
    EXPECT_TRUE(Problem(ENOMEM));
    StoreSerialNumRecord((Logs() / "missing").string(), Record("HX1"));
    EXPECT_TRUE(Problem());
    EXPECT_FALSE(fs::exists(Logs() / "missing"));
    fs::create_directory(List());  // a folder where the list should be
    EXPECT_NO_THROW(Store(Record("HX1")));
    EXPECT_TRUE(fs::is_directory(List()));
}

// The temporary file is the only copy of the list: a store must not start a new list beside it
// when it cannot be put back.
TEST_F(SerialNumListTest, TemporaryFileThatCannotBeRestoredStaysForTheNextStore) {
    WriteFile(Temp(), "AA1,R1,R1,R1\r\n");
    {
        const ScopedFileOpHook renameFails(
            [](os::FileOp op, const std::string&) { return op == os::FileOp::Rename ? EIO : 0; });
        Store(Record("NEW1"));
    }
    EXPECT_TRUE(Problem(EIO));
    EXPECT_FALSE(fs::exists(List()));
    EXPECT_EQ(ReadFile(Temp()), "AA1,R1,R1,R1\r\n");
    Store(Record("NEW1"));
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nNEW1,a,b,c\r\n");
}

// A rewrite makes the temporary file durable before it renames it over the list, and the
// rename durable after it, by a sync of the folder; a failing folder sync is reported although
// the new list is in place.
TEST_F(SerialNumListTest, RewriteSyncsTheTemporaryFileThenRenamesThenSyncsTheFolder) {
    WriteFile(List(), "HX5,R1,R1,R1\r\n");
    std::vector<std::string> steps;
    {
        const ScopedFileOpHook hook([&steps](os::FileOp op, const std::string& path) {
            const std::string name = fs::path(path).filename().string();
            if (op == os::FileOp::Flush || op == os::FileOp::Rename) {
                steps.push_back((op == os::FileOp::Flush ? "sync " : "rename to ") + name);
            }
            return op == os::FileOp::Flush && name == "logs" ? EIO : 0;
        });
        Store({"HX5", "R2", "R2", "R2"});
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"sync " + std::string(kSerialNumTempName),
                                               "rename to " + std::string(kSerialNumListName),
                                               "sync logs"}));
    EXPECT_EQ(ReadFile(List()), "HX5,R2,R2,R2\r\n");
    EXPECT_TRUE(Problem(EIO));
}

// The list is read and rewritten in pieces: a line end, a serial number or a comma cut at a
// piece's end gives the same list as the rewrite of the whole content.
TEST_F(SerialNumListTest, PiecesCutAnywhereGiveTheWholeRewrite) {
    const std::string line = "HX5,R1,R1,R1\r\n";
    for (size_t cut = 0; cut < line.size() + 1; ++cut) {
        const std::string before = std::string(64 * 1024 - cut, 'x') + "\r\n" + line + "HX55,z\r\n";
        WriteFile(List(), before);
        Store({"HX5", "R2", "R2", "R2"});
        EXPECT_EQ(ReadFile(List()), RewriteSerialNumList(before, "HX5", "HX5,R2,R2,R2\r\n")) << cut;
    }
    EXPECT_FALSE(Problem());
}

}  // namespace
}  // namespace gwu::test
