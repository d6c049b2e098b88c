// The serial-number list file on real files in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "Fixtures.h"
#include "devices/SerialNumList.h"
#include "platform/Os.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;

class SerialNumListTest : public FolderFixture {
protected:
    fs::path List() const { return Logs() / kSerialNumListName; }
    fs::path Temp() const { return Logs() / kSerialNumTempName; }
    void Store(const std::string& serial, const std::string& release = "R1.0",
               const std::string& prom = "R2.0", const std::string& bootstrap = "R3.0") {
        StoreSerialNumRecord(Logs().string(), SerialNumRecord{serial, release, prom, bootstrap});
    }
    bool Problem() const { return m_diagnostics.MonitorHas("encountered problems"); }
};

TEST_F(SerialNumListTest, FirstDeviceCreatesTheListWithItsLine) {
    Store("HX100234", "R4.2.1", "R2.0.3", "R1.4.0");
    EXPECT_EQ(ReadFile(List()), "HX100234,R4.2.1,R2.0.3,R1.4.0\r\n");
    EXPECT_FALSE(fs::exists(Temp()));
    EXPECT_FALSE(Problem());
}

TEST_F(SerialNumListTest, NewDevicesAreAppendedInTheOrderMet) {
    Store("HX1");
    Store("HX2");
    Store("HX3", "", "R9", "");
    EXPECT_EQ(ReadFile(List()), "HX1,R1.0,R2.0,R3.0\r\nHX2,R1.0,R2.0,R3.0\r\nHX3,,R9,\r\n");
}

TEST_F(SerialNumListTest, KnownDeviceIsReplacedInPlaceWithOtherLinesKept) {
    WriteFile(List(), "AA1,R1,R1,R1\r\nHX5,R1,R1,R1\r\nBB2,R1,R1,R1\r\n");
    Store("HX5", "R7", "R8", "R9");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nHX5,R7,R8,R9\r\nBB2,R1,R1,R1\r\n");
    EXPECT_FALSE(fs::exists(Temp()));
    EXPECT_FALSE(Problem());
}

TEST_F(SerialNumListTest, DeviceMetAgainUnchangedLeavesTheListUntouched) {
    WriteFile(List(), "AA1,R1,R1,R1\r\nHX5,R7,R8,R9\r\n");
    WriteFile(Temp(), "stale\r\n");  // would stop any rewrite
    const auto before = fs::last_write_time(List());
    Store("HX5", "R7", "R8", "R9");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nHX5,R7,R8,R9\r\n");
    EXPECT_EQ(fs::last_write_time(List()), before);
    EXPECT_FALSE(Problem());
}

TEST_F(SerialNumListTest, EveryLineHoldingTheSerialAnywhereIsReplaced) {
    // "HX5" is part of the longer serial "HX55" and also stands in a release field.
    WriteFile(List(), "HX55,R1,R1,R1\r\nCC3,R1,R1,R1\r\nDD4,HX5,R1,R1\r\nHX5,R0,R0,R0\r\n");
    Store("HX5", "R2", "R2", "R2");
    EXPECT_EQ(ReadFile(List()), "HX5,R2,R2,R2\r\nCC3,R1,R1,R1\r\nHX5,R2,R2,R2\r\nHX5,R2,R2,R2\r\n");
}

TEST_F(SerialNumListTest, RewriteGivesEveryLineCrLfWhateverItHadBefore) {
    // LF-only lines and a last line without a line end come back with CR LF.
    WriteFile(List(), "AA1,R1,R1,R1\nHX5,R1,R1,R1\r\nBB2,R1,R1,R1");
    Store("HX5", "R3", "R3", "R3");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nHX5,R3,R3,R3\r\nBB2,R1,R1,R1\r\n");
}

TEST_F(SerialNumListTest, AppendAfterALastLineWithoutLineEndContinuesThatLine) {
    WriteFile(List(), "AA1,R1,R1,R1");
    Store("HX7");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1HX7,R1.0,R2.0,R3.0\r\n");
}

TEST_F(SerialNumListTest, EmptySerialNumberIsNeverStored) {
    WriteFile(List(), "AA1,R1,R1,R1\r\nBB2,R1,R1,R1\r\n");
    Store("");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nBB2,R1,R1,R1\r\n");
    EXPECT_TRUE(m_diagnostics.MonitorHas("no serial number"));
}

TEST_F(SerialNumListTest, StaleTemporaryFileStopsARewriteAndLeavesBothFiles) {
    WriteFile(List(), "HX5,R1,R1,R1\r\n");
    WriteFile(Temp(), "left over\r\n");
    Store("HX5", "R2", "R2", "R2");
    EXPECT_EQ(ReadFile(List()), "HX5,R1,R1,R1\r\n");
    EXPECT_EQ(ReadFile(Temp()), "left over\r\n");
    EXPECT_TRUE(m_diagnostics.MonitorHas(
        "CHLXUtils::StoreHLXSerialNumToFile encountered problems: " + std::to_string(EEXIST)));

    // A new device needs no rewrite and is still recorded.
    Store("HX6");
    EXPECT_EQ(ReadFile(List()), "HX5,R1,R1,R1\r\nHX6,R1.0,R2.0,R3.0\r\n");
}

TEST_F(SerialNumListTest, TemporaryFileWithoutAListIsRestoredFirst) {
    // What an interrupted rewrite leaves behind: the new content only under the temporary name.
    WriteFile(Temp(), "AA1,R1,R1,R1\r\nHX5,R1,R1,R1\r\n");
    Store("HX5", "R2", "R2", "R2");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nHX5,R2,R2,R2\r\n");
    EXPECT_FALSE(fs::exists(Temp()));

    WriteFile(Temp(), "AA1,R1,R1,R1\r\n");
    fs::remove(List());
    Store("NEW1");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nNEW1,R1.0,R2.0,R3.0\r\n");
}

TEST_F(SerialNumListTest, ListHeldByAnotherWriterIsLeftAlone) {
    WriteFile(List(), "HX5,R1,R1,R1\r\n");
    os::LockedFile holder;  // another writer's hold, as another process would have it
    ASSERT_EQ(holder.Open(List().string()), 0);
    Store("HX6");
    Store("HX5", "R2", "R2", "R2");
    holder.Close();
    EXPECT_EQ(ReadFile(List()), "HX5,R1,R1,R1\r\n");
    EXPECT_TRUE(Problem());
}

TEST_F(SerialNumListTest, UnusableFolderOrListReportsAndNeverThrows) {
    StoreSerialNumRecord((Logs() / "missing").string(), SerialNumRecord{"HX1", "a", "b", "c"});
    EXPECT_TRUE(Problem());
    EXPECT_FALSE(fs::exists(Logs() / "missing"));

    fs::create_directory(List());  // a folder where the list should be
    EXPECT_NO_THROW(Store("HX1"));
    EXPECT_TRUE(fs::is_directory(List()));
}

TEST(SerialNumListRewrite, AlreadyRecordedExactlyWhenTheRewriteChangesNothing) {
    std::mt19937 random(7);
    const std::string pieces[] = {"HX5", ",R1", "\r\n", "\n", "HX55", ",R2,R2,R2", "\r", "A"};
    const std::string newLine = "HX5,R1\r\n";
    for (int round = 0; round < 2000; ++round) {
        std::string content;
        for (int n = static_cast<int>(random() % 8); n > 0; --n) {
            content += pieces[random() % 8];
        }
        EXPECT_EQ(AlreadyRecorded(content, "HX5", newLine),
                  RewriteSerialNumList(content, "HX5", newLine) == content)
            << content;
    }
}

TEST_F(SerialNumListTest, TemporaryFileThatCannotBeRestoredStaysForTheNextStore) {
    // The temporary file is the only copy of the list: a store must not start a new list
    // beside it when it cannot be put back.
    WriteFile(Temp(), "AA1,R1,R1,R1\r\n");
    {
        struct RestoreHook {
            os::FileOpHook previous;
            ~RestoreHook() { os::SetFileOpHook(std::move(previous)); }
        } restore{os::SetFileOpHook(
            [](os::FileOp op, const std::string&) { return op == os::FileOp::Rename ? EIO : 0; })};
        Store("NEW1");
    }
    EXPECT_TRUE(m_diagnostics.MonitorHas(
        "CHLXUtils::StoreHLXSerialNumToFile encountered problems: " + std::to_string(EIO)));
    EXPECT_FALSE(fs::exists(List()));
    EXPECT_EQ(ReadFile(Temp()), "AA1,R1,R1,R1\r\n");

    Store("NEW1");
    EXPECT_EQ(ReadFile(List()), "AA1,R1,R1,R1\r\nNEW1,R1.0,R2.0,R3.0\r\n");
}

TEST(SerialNumListRewrite, KeepsLinesAndOrderAndReplacesMatches) {
    EXPECT_EQ(RewriteSerialNumList("", "X", "X,1\r\n"), "");
    EXPECT_EQ(RewriteSerialNumList("A\r\n\r\nX9\r\n", "X", "X,1\r\n"), "A\r\n\r\nX,1\r\n");
    // A lone CR inside a line is content, not a line end.
    EXPECT_EQ(RewriteSerialNumList("A\rB\nC", "Q", "Q\r\n"), "A\rB\r\nC\r\n");
}

}  // namespace
}  // namespace gwu::test
