// The deployed-unit list reader and the matching of the repair, on real files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "host/Folders.h"
#include "repair/CDeployedUnitList.h"
#include "repair/CHLXSerialNumRepair.h"
#include "testsupport/Fixtures.h"

namespace gwu::test {
namespace {

using namespace std::string_literals;
using Entries = std::vector<std::pair<std::string, std::string>>;

Entries EntriesOf(const CDeployedUnitList& list) {
    Entries entries;
    for (size_t i = 0; i < list.Count(); ++i) {
        entries.emplace_back(list.SerialNumber(i), list.MACAddress(i));
    }
    return entries;
}

const std::string kSection = "[HLXSerialNumbers]\n";
const std::string kListLf = "; deployed units\n" + kSection +
                            "HX100001,0050C2A10001\nHX100002,0050C2A10002\nHX100017,0050C2B10003\n";
const char kCombined[12] = {'0', '0', '5', '0', 'C', '2', 'B', 0, 0, 0, 0, 0};

TEST(DeployedUnitList, SearchKeyIsTheFirstLongestRunOfSurvivingCharacters) {
    for (const auto& [mac, key] : std::vector<std::pair<std::string, std::string>>{
             {"0050C2A10001", "0050C2A10001"},
             {"0\0"s + "50\0"s + "2A\0"s + "00\0"s + "1", "50"},  // first of the runs of two
             {std::string(8, '\0') + "B100", "B100"},
             {"", ""}}) {
        char combined[12] = {};
        mac.copy(combined, sizeof combined);
        EXPECT_EQ(CDeployedUnitList::SearchKey(combined), key);
    }
}

// The entry lines holding the key, after the section line: the serial number up to the line's
// first comma, the MAC text up to the LF (a CR before it included); none when the copy of the
// content cannot be allocated.
TEST(DeployedUnitList, ParseTakesTheEntryLinesHoldingTheKey) {
    std::string crlf;
    for (const char c : kListLf) {
        crlf += c == '\n' ? "\r\n"s : std::string(1, c);
    }
    const std::string longSerial(300, 'S'), longMac = "0050C2A10001" + std::string(300, 'x');
    const std::string longLines = kSection + "HX1,M1\n" + longSerial + "," + longMac + "\nHX3,M3\n";
    const Entries first2 = {{"HX100001", "0050C2A10001"}, {"HX100002", "0050C2A10002"}};
    const struct {
        std::string content, key;
        bool found;
        Entries entries;
    } cases[] = {
        {kListLf, "A1000", true, first2},
        {crlf, "A1000", true, {{"HX100001", "0050C2A10001\r"}, {"HX100002", "0050C2A10002\r"}}},
        {kListLf, "", true, {first2[0], first2[1], {"HX100017", "0050C2B10003"}}},
        {kListLf, "100017", true, {{"HX100017", "0050C2B10003"}}},  // key in the serial number
        {"HX1,0050C2A10001\n", "", false, {}},
        {"[HLXSerialNumbers]", "", false, {}},  // the section line needs its line end
        {kSection, "", true, {}},
        // A line without a comma ends the scan; a last line without LF runs to the end.
        {kSection + "HX1,M1\nbroken\nHX2,M2\n", "", true, {{"HX1", "M1"}}},
        {kSection + "HX1,M1\nHX2,M2", "M2", true, {{"HX2", "M2"}}},
        {kSection + "HX1,M1,M2\n", "", true, {{"HX1", "M1,M2"}}},  // a second comma is MAC text
        {longLines, "", true, {{"HX1", "M1"}, {longSerial, longMac}, {"HX3", "M3"}}},
        // More than 50 characters before the key: the line is taken to start at the scan
        // position, which never lies before the content.
        {kSection + std::string(80, 'S') + ",KEY\n", "KEY", true, {{std::string(80, 'S'), "KEY"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.content.substr(0, 60)) + " key " + c.key);
        CDeployedUnitList list;
        EXPECT_EQ(list.Parse(c.content, c.key), c.found);
        EXPECT_EQ(EntriesOf(list), c.entries);
    }
    // A failed allocation of the content's copy parses nothing, and leaves nothing of the last.
    CDeployedUnitList list;
    ASSERT_TRUE(list.Parse(kListLf, ""));
    const auto allocator =
        CDeployedUnitList::SetAllocatorForTesting([](size_t) -> void* { return nullptr; });
    EXPECT_FALSE(list.Parse(kListLf, ""));
    EXPECT_EQ(list.Count(), 0u);
    CDeployedUnitList::SetAllocatorForTesting(allocator);
}

class DeployedUnitListFile : public FolderFixture {};

// The runtime folder's list is read unless it is missing or empty, or the host's folder lookup
// fails (having named the folder all the same), or its read hands over a size without a buffer,
// or a size of 4 GiB or more, which the entries' 32-bit offsets cannot reach: then nothing is
// read, and the content is never looked at.
TEST_F(DeployedUnitListFile, ReadsTheRuntimeFoldersFileUnlessTheHostFails) {
    CDeployedUnitList list;
    EXPECT_FALSE(list.Read(kCombined));  // no file
    WriteFile(Runtime() / CDeployedUnitList::kFileName, "");
    EXPECT_FALSE(list.Read(kCombined));  // empty file
    WriteFile(Runtime() / CDeployedUnitList::kFileName, kListLf);
    constexpr std::uint64_t kTooLarge = std::numeric_limits<std::uint32_t>::max();
    // A read that hands over the size, with a buffer or without.
    const auto reading = [](long size, bool buffered) -> host::ReadFileService {
        return [size, buffered](const char*, unsigned char** buffer) {
            *buffer = buffered ? static_cast<unsigned char*>(std::calloc(1, 1)) : nullptr;
            return size;
        };
    };
    const struct {
        host::RuntimePathService lookup;
        host::ReadFileService read;
        const char* monitor;  // the line it leaves, if any
    } hosts[] = {
        {[this](std::string& path) {
             path = Runtime().string();
             return 1;
         },
         nullptr, nullptr},
        {nullptr, reading(64L, false), nullptr},
        {nullptr, reading(static_cast<long>(kTooLarge), true),
         "DeployedHLXs.ini: a list of 4294967295 bytes is more than the reader takes"},
    };
    for (const auto& failing : hosts) {
        if (failing.monitor != nullptr &&
            static_cast<std::uint64_t>(std::numeric_limits<long>::max()) < kTooLarge) {
            continue;  // a host whose read cannot report that size
        }
        SCOPED_TRACE(&failing - hosts);
        ASSERT_TRUE(list.Read(kCombined));  // with the stand-in's own services
        EXPECT_EQ(EntriesOf(list), (Entries{{"HX100017", "0050C2B10003"}}));
        const auto lookup = host::SetRuntimePathServiceForTesting(failing.lookup);
        const auto read = host::SetReadFileServiceForTesting(failing.read);
        EXPECT_FALSE(list.Read(kCombined));
        EXPECT_EQ(list.Count(), 0u);  // nothing of the earlier read is left
        host::SetRuntimePathServiceForTesting(lookup);
        host::SetReadFileServiceForTesting(read);
        EXPECT_TRUE(failing.monitor == nullptr || m_diagnostics.MonitorHas(failing.monitor));
    }
}

// Zero bytes of the pattern are wildcards; positions past the text's end read as zero, so a
// shorter text fails a set position.
TEST(PartialCompare, ZeroBytesOfThePatternAreWildcards) {
    const std::string pattern = "H\0"s + "1\0\0\0"s, longer = "HX12\0\0"s;
    for (const auto& [text, against, match] :
         std::vector<std::tuple<std::string, std::string, bool>>{{"HX1", pattern, true},
                                                                 {"HA1BCD", pattern, true},
                                                                 {"HX2", pattern, false},
                                                                 {"HX1", longer, false}}) {
        EXPECT_EQ(CHLXSerialNumRepair::PartialCompare(text, against.data(), 6), match) << text;
    }
}

}  // namespace
}  // namespace gwu::test
