// The deployed-unit list reader and the matching of the repair, on real files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>

#include "Fixtures.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"

namespace gwu::test {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries EntriesOf(const CDeployedUnitList& list) {
    Entries entries;
    for (size_t i = 0; i < list.Count(); ++i) {
        entries.emplace_back(list.SerialNumber(i), list.MACAddress(i));
    }
    return entries;
}

Entries Parse(const std::string& content, std::string_view key) {
    CDeployedUnitList list;
    list.Parse(content, key);
    return EntriesOf(list);
}

const char kListLf[] =
    "; deployed units\n"
    "[HLXSerialNumbers]\n"
    "HX100001,0050C2A10001\n"
    "HX100002,0050C2A10002\n"
    "HX100017,0050C2B10003\n";

TEST(DeployedUnitListKey, IsTheFirstLongestRunOfSurvivingCharacters) {
    const char all[12] = {'0', '0', '5', '0', 'C', '2', 'A', '1', '0', '0', '0', '1'};
    EXPECT_EQ(CDeployedUnitList::SearchKey(all), "0050C2A10001");
    const char gaps[12] = {'0', 0, '5', '0', 0, '2', 'A', 0, '0', '0', 0, '1'};
    EXPECT_EQ(CDeployedUnitList::SearchKey(gaps), "50");  // first of the runs of two
    const char tail[12] = {0, 0, 0, 0, 0, 0, 0, 0, 'B', '1', '0', '0'};
    EXPECT_EQ(CDeployedUnitList::SearchKey(tail), "B100");
    const char none[12] = {};
    EXPECT_EQ(CDeployedUnitList::SearchKey(none), "");
}

TEST(DeployedUnitList, FindsEntryLinesHoldingTheKeyWithLfOrCrLf) {
    const Entries lf = Parse(kListLf, "A1000");
    EXPECT_EQ(lf, (Entries{{"HX100001", "0050C2A10001"}, {"HX100002", "0050C2A10002"}}));

    std::string crlf;
    for (char c : std::string(kListLf)) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const Entries withCr = Parse(crlf, "A1000");
    ASSERT_EQ(withCr.size(), 2u);
    EXPECT_EQ(withCr[0].first, "HX100001");
    EXPECT_EQ(withCr[0].second, "0050C2A10001\r");  // the CR belongs to the MAC text
    EXPECT_EQ(withCr[1].first, "HX100002");
}

TEST(DeployedUnitList, EmptyKeyTakesEveryEntryLine) {
    EXPECT_EQ(Parse(kListLf, "").size(), 3u);
}

TEST(DeployedUnitList, KeyInsideTheSerialNumberStillFindsItsLine) {
    EXPECT_EQ(Parse(kListLf, "100017"), (Entries{{"HX100017", "0050C2B10003"}}));
}

TEST(DeployedUnitList, NeedsTheSectionLineAndItsLineEnd) {
    CDeployedUnitList list;
    EXPECT_FALSE(list.Parse("HX1,0050C2A10001\n", ""));
    EXPECT_FALSE(list.Parse("[HLXSerialNumbers]", ""));
    EXPECT_TRUE(list.Parse("[HLXSerialNumbers]\n", ""));
    EXPECT_EQ(list.Count(), 0u);
}

TEST(DeployedUnitList, FailedAllocationOfTheCopyParsesNothing) {
    CDeployedUnitList list;
    ASSERT_TRUE(list.Parse(kListLf, ""));
    const auto allocator =
        CDeployedUnitList::SetAllocatorForTesting([](size_t) -> void* { return nullptr; });
    EXPECT_FALSE(list.Parse(kListLf, ""));
    EXPECT_EQ(list.Count(), 0u);  // nothing of the earlier parse is left
    CDeployedUnitList::SetAllocatorForTesting(allocator);
}

TEST(DeployedUnitList, LineWithoutCommaEndsTheScanButKeepsEarlierEntries) {
    const std::string content =
        "[HLXSerialNumbers]\nHX1,0050C2A10001\nbroken line\nHX2,0050C2A10002\n";
    EXPECT_EQ(Parse(content, ""), (Entries{{"HX1", "0050C2A10001"}}));
}

TEST(DeployedUnitList, LastLineWithoutLineEndRunsToTheEndOfTheContent) {
    EXPECT_EQ(Parse("[HLXSerialNumbers]\nHX1,0050C2A10001\nHX2,0050C2A10002", "A10002"),
              (Entries{{"HX2", "0050C2A10002"}}));
}

TEST(DeployedUnitList, LongLinesAreReadWhole) {
    const std::string serial(300, 'S');
    const std::string mac = "0050C2A10001" + std::string(300, 'x');
    const Entries entries = Parse(
        "[HLXSerialNumbers]\nHX1,0050C2A10009\n" + serial + "," + mac + "\nHX3,0050C2A10003\n", "");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1], std::make_pair(serial, mac));
}

TEST(DeployedUnitList, KeyFarIntoALongLineTakesTheLineFromTheScanPosition) {
    // More than 50 characters before the key: the line is taken to start at the scan position,
    // which never lies before the content.
    const std::string content = "[HLXSerialNumbers]\n" + std::string(80, 'S') + ",KEY\n";
    const Entries entries = Parse(content, "KEY");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, std::string(80, 'S'));
}

TEST(DeployedUnitList, RandomBytesNeverCrash) {
    std::mt19937 random(20261206);
    for (int round = 0; round < 300; ++round) {
        std::string content(static_cast<size_t>(random() % 400), '\0');
        for (char& c : content) {
            c = static_cast<char>(random() % 8 == 0 ? "\n\r,"[random() % 3] : random());
        }
        if (round % 2 == 0) {
            content.insert(random() % (content.size() + 1), "HLXSerialNumbers\n");
        }
        CDeployedUnitList list;
        const bool found =
            list.Parse(content, round % 3 == 0 ? "" : std::string(1, static_cast<char>(random())));
        // Every entry lies inside the content, its comma inside its line.
        for (size_t i = 0; i < list.Count(); ++i) {
            EXPECT_EQ(list.SerialNumber(i).find('\n'), std::string_view::npos);
            EXPECT_LE(list.SerialNumber(i).size() + list.MACAddress(i).size(), content.size());
        }
        EXPECT_TRUE(found || list.Count() == 0);
    }
}

class DeployedUnitListFile : public FolderFixture {};

TEST_F(DeployedUnitListFile, ReadsTheRuntimeFoldersFile) {
    const char combined[12] = {'0', '0', '5', '0', 'C', '2', 'B', 0, 0, 0, 0, 0};
    CDeployedUnitList list;
    EXPECT_FALSE(list.Read(combined));  // no file
    WriteFile(Runtime() / CDeployedUnitList::kFileName, "");
    EXPECT_FALSE(list.Read(combined));  // empty file
    WriteFile(Runtime() / CDeployedUnitList::kFileName, kListLf);
    ASSERT_TRUE(list.Read(combined));
    EXPECT_EQ(EntriesOf(list), (Entries{{"HX100017", "0050C2B10003"}}));
}

// The list file is there, but the host's folder lookup fails (having named the folder all the
// same), or its read hands over a size without a buffer, or a size of 4 GiB or more, which the
// entries' 32-bit offsets cannot reach: nothing is read, and the content is never looked at.
TEST_F(DeployedUnitListFile, HostFailuresAndListsTooLargeReadNothing) {
    WriteFile(Runtime() / CDeployedUnitList::kFileName, kListLf);
    const char combined[12] = {'0', '0', '5', '0', 'C', '2', 'B', 0, 0, 0, 0, 0};
    constexpr std::uint64_t kTooLarge = std::numeric_limits<std::uint32_t>::max();
    const struct {
        const char* what;
        host::RuntimePathService lookup;
        host::ReadFileService read;
        const char* monitor;  // the line it leaves, if any
    } hosts[] = {
        {"lookup fails",
         [this](std::string& path) {
             path = Runtime().string();
             return 1;
         },
         nullptr, nullptr},
        {"size without a buffer", nullptr,
         [](const char*, unsigned char** buffer) {
             *buffer = nullptr;
             return 64L;
         },
         nullptr},
        {"too large", nullptr,
         [](const char*, unsigned char** buffer) {
             *buffer = static_cast<unsigned char*>(std::calloc(1, 1));
             return static_cast<long>(kTooLarge);
         },
         "DeployedHLXs.ini: a list of 4294967295 bytes is more than the reader takes"},
    };
    for (const auto& failing : hosts) {
        if (failing.monitor != nullptr &&
            static_cast<std::uint64_t>(std::numeric_limits<long>::max()) < kTooLarge) {
            continue;  // a host whose read cannot report that size
        }
        SCOPED_TRACE(failing.what);
        CDeployedUnitList list;
        ASSERT_TRUE(list.Read(combined));  // with the stand-in's own services
        const auto lookup = host::SetRuntimePathServiceForTesting(failing.lookup);
        const auto read = host::SetReadFileServiceForTesting(failing.read);
        EXPECT_FALSE(list.Read(combined));
        EXPECT_EQ(list.Count(), 0u);  // nothing of the earlier read is left
        host::SetRuntimePathServiceForTesting(lookup);
        host::SetReadFileServiceForTesting(read);
        if (failing.monitor != nullptr) {
            EXPECT_TRUE(m_diagnostics.MonitorHas(failing.monitor));
        }
    }
}

TEST(PartialCompare, ZeroBytesOfThePatternAreWildcards) {
    const char pattern[6] = {'H', 0, '1', 0, 0, 0};
    EXPECT_TRUE(CHLXSerialNumRepair::PartialCompare("HX1", pattern, 6));
    EXPECT_TRUE(CHLXSerialNumRepair::PartialCompare("HA1BCD", pattern, 6));
    EXPECT_FALSE(CHLXSerialNumRepair::PartialCompare("HX2", pattern, 6));
    // Positions past the text's end read as zero: a shorter text fails a set position.
    const char longer[6] = {'H', 'X', '1', '2', 0, 0};
    EXPECT_FALSE(CHLXSerialNumRepair::PartialCompare("HX1", longer, 6));
}

}  // namespace
}  // namespace gwu::test
