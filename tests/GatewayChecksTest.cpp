// CGatewayChecks and the release comparison behind CompareGatewayReleaseID.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "Fixtures.h"
#include "ScriptedComms.h"
#include "ValueStore.h"
#include "devices/CGatewayUtils.h"
#include "gateway/CGatewayChecks.h"
#include "gateway/ReleaseCompare.h"

namespace {

using gwu::test::Reply;
using gwu::test::ScriptedComms;
using Kind = SubRequestKind;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// Release comparison (gwu::CompareReleaseIds)

TEST(CompareReleaseIdsTest, ComponentsCompareNumerically) {
    EXPECT_EQ(gwu::CompareReleaseIds("R12.3.4", "R12.3.5"), DIFF_OLDER);
    EXPECT_EQ(gwu::CompareReleaseIds("R12.4", "R12.3.9"), DIFF_NEWER);
    EXPECT_EQ(gwu::CompareReleaseIds("R12.3.4", "R12.3.4"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R7", "R10"), DIFF_OLDER);
    EXPECT_EQ(gwu::CompareReleaseIds("R10", "R7"), DIFF_NEWER);
    EXPECT_EQ(gwu::CompareReleaseIds("R1.10", "R1.9"), DIFF_NEWER);
}

TEST(CompareReleaseIdsTest, LeadingLettersAreStripped) {
    EXPECT_EQ(gwu::CompareReleaseIds("ER12.3", "R12.3.0"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("EERR3", "3"), DIFF_SAME);
    // R before E: only the R goes, E5 reads as 0.
    EXPECT_EQ(gwu::CompareReleaseIds("RE5", "R0"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("RE5", "R1"), DIFF_OLDER);
    // Case-sensitive: a lower-case r is not stripped and the component reads as 0.
    EXPECT_EQ(gwu::CompareReleaseIds("r5", "R0"), DIFF_SAME);
}

TEST(CompareReleaseIdsTest, MissingAndEmptyComponents) {
    EXPECT_EQ(gwu::CompareReleaseIds("12.3", "12.3.1"), DIFF_OLDER);
    EXPECT_EQ(gwu::CompareReleaseIds("12.3", "12.3.0.0"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("12.3.1", "12.3"), DIFF_NEWER);
    EXPECT_EQ(gwu::CompareReleaseIds("12..3", "12.3"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("12..3", "12.4"), DIFF_OLDER);
    EXPECT_EQ(gwu::CompareReleaseIds(".5", "0.5"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds(".5", "1"), DIFF_OLDER);
    EXPECT_EQ(gwu::CompareReleaseIds("12.3.", "12.3"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("", "R0.0"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("", ""), DIFF_SAME);
}

TEST(CompareReleaseIdsTest, ComponentsReadAsAtoi) {
    EXPECT_EQ(gwu::CompareReleaseIds("R1.x.2", "R1.0.2"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("Rabc", "R0"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R5abc", "R5"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R 5", "R5"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R\t+5", "R5"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R-1", "R0"), DIFF_OLDER);
    EXPECT_EQ(gwu::CompareReleaseIds("R1.-2", "R1.0"), DIFF_OLDER);
}

TEST(CompareReleaseIdsTest, OverflowSaturates) {
    EXPECT_EQ(gwu::CompareReleaseIds("R99999999999", "R2147483647"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R99999999999", "R2147483646"), DIFF_NEWER);
    EXPECT_EQ(gwu::CompareReleaseIds("R1.99999999999999999999", "R1.2147483647"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R-99999999999", "R-2147483648"), DIFF_SAME);
    EXPECT_EQ(gwu::CompareReleaseIds("R-99999999999", "R-2147483647"), DIFF_OLDER);
}

// ---------------------------------------------------------------------------------------------
// A test double of the device interface

// What the two test devices did. It lives outside them: the facade owns and destroys them.
class Journal {
public:
    void Add(std::string line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::move(line));
        m_changed.notify_all();
    }
    Lines All() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // The lines holding the text.
    Lines With(const std::string& text) const {
        Lines found;
        for (const std::string& line : All()) {
            if (line.find(text) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }
    long IndexOf(const std::string& line) const {
        const Lines lines = All();
        const auto at = std::find(lines.begin(), lines.end(), line);
        return at == lines.end() ? -1 : static_cast<long>(at - lines.begin());
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }
    // While held, update operations wait after recording their start.
    void SetHeld(bool held) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = held;
        m_changed.notify_all();
    }
    void WaitWhileHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_held; });
    }
    bool WaitFor(const std::string& line) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] {
            return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end();
        });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Lines m_lines;
    bool m_held = false;
};

// Serves names, versions and trims from tables; records calls as "<tag> <operation> <args>".
class FakeGateway : public CGatewayUtils {
public:
    FakeGateway(std::string tag, Journal& journal, CBaseComms* comms, CTabQuillonFrame* frame)
        : CGatewayUtils(comms, frame), m_tag(std::move(tag)), m_journal(journal) {}
    ~FakeGateway() override { Record("destroyed"); }

    void SendUpdateCommand() override { Record("SendUpdateCommand"); }
    void ResetDevice() override { Record("ResetDevice"); }
    void SendDeviceString(CString text) override { Record("SendDeviceString " + text); }
    bool RenameFile(CODETYPE codeType, bool flag) override {
        Record("RenameFile " + std::to_string(codeType) + " " + std::to_string(flag));
        return true;
    }
    bool FileExists(CString fileName) override {
        Record("FileExists " + fileName);
        return existingFiles.count(fileName) != 0;
    }
    CString GetFilename(CODETYPE codeType, bool flag) override {
        Record("GetFilename " + std::to_string(codeType) + " " + std::to_string(flag));
        CString name;
        Lookup(fileNames, std::make_pair(codeType, flag), name);
        return name;
    }
    bool GetVersionFromFile(CString fileName, CString& version) override {
        Record("GetVersionFromFile " + fileName);
        return Lookup(fileVersions, fileName, version);
    }
    bool SetReleaseIds(bool readDevice) override {
        Record("SetReleaseIds " + std::to_string(readDevice));
        return releaseIdsResult;
    }
    bool TrimReleaseId(CString releaseText, CString& trimmed) override {
        return Lookup(trims, releaseText, trimmed);
    }
    CString GetReleaseValueName(CODETYPE codeType) override {
        return GetUntrimmedReleaseValueName(codeType);
    }
    CString GetUntrimmedReleaseValueName(CODETYPE codeType) override {
        return m_tag + "_" + std::to_string(codeType) + "_Untrimmed";
    }
    bool UpdatePROM() override { return Update("UpdatePROM"); }
    bool UpdateBCF() override { return Update("UpdateBCF"); }
    bool UpdateBootstrap() override { return Update("UpdateBootstrap"); }
    bool UpdateCPLD() override { return Update("UpdateCPLD"); }
    bool UpdateMACFirmware() override { return Update("UpdateMACFirmware"); }
    bool SupportsCodeType(CODETYPE codeType) override { return supported.count(codeType) != 0; }
    CString GetCustomCPLDFileName() override { return customCpld; }
    void SetCustomCPLDFileName(CString fileName) override {
        Record("SetCustomCPLDFileName " + fileName);
        customCpld = fileName;
    }
    bool HasCustomCPLD() override {
        Record("HasCustomCPLD");
        return hasCustomCpld;
    }
    void UpdateActiveCableFirmware() override { Record("UpdateActiveCableFirmware"); }

    std::set<CODETYPE> supported{LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE};
    std::map<std::pair<CODETYPE, bool>, CString> fileNames;
    std::map<CString, CString> fileVersions;
    std::map<CString, CString> trims;
    std::set<CString> existingFiles;
    CString customCpld;
    bool hasCustomCpld = false;
    bool releaseIdsResult = true;
    std::function<void()> onUpdate;  // runs inside every update operation; may throw

private:
    template <typename Table, typename Key>
    static bool Lookup(const Table& table, const Key& key, CString& value) {
        const auto found = table.find(key);
        if (found != table.end()) {
            value = found->second;
        }
        return found != table.end();
    }
    void Record(const std::string& what) { m_journal.Add(m_tag + " " + what); }
    bool Update(const std::string& name) {
        Record("update " + name);
        m_journal.WaitWhileHeld();
        if (onUpdate) {
            onUpdate();
        }
        Record("finished " + name);
        return true;
    }

    std::string m_tag;
    Journal& m_journal;
};

// A record from verdicts in field order: LC, PROM, BS, CPLD, MAC.
CCodeDiffResults Verdicts(DIFFTYPE lc, DIFFTYPE prom, DIFFTYPE bs, DIFFTYPE cpld, DIFFTYPE mac) {
    CCodeDiffResults results;
    results.m_eLC = lc;
    results.m_ePROM = prom;
    results.m_eBS = bs;
    results.m_eCPLD = cpld;
    results.m_eMAC = mac;
    return results;
}
constexpr DIFFTYPE S = DIFF_SAME;
constexpr DIFFTYPE N = DIFF_NEWER;
constexpr DIFFTYPE O = DIFF_OLDER;
constexpr DIFFTYPE F = DIFF_FORCED;

constexpr CODETYPE kAllCodeTypes[] = {LC_CODE, PROM_CODE, BS_CODE, CPLD_CODE, MAC_CODE};

// The facade over two fakes whose devices agree with the disk in every code type: every release
// file and every device value is KLEM_R1.0, trimmed to R1.0; no custom CPLD anywhere.
class GatewayChecksTest : public ::testing::Test {
protected:
    GatewayChecksTest() {
        auto hlxDevice = std::make_unique<FakeGateway>("HLX", journal, &comms, &frame);
        auto qptDevice = std::make_unique<FakeGateway>("QPT", journal, &comms, &frame);
        hlx = hlxDevice.get();
        qpt = qptDevice.get();
        qpt->supported = {LC_CODE, PROM_CODE};
        for (FakeGateway* device : {hlx, qpt}) {
            device->trims = {{"KLEM_R1.0", "R1.0"},
                             {"KLEM_R0.9", "R0.9"},
                             {"KLEM_R1.1", "R1.1"},
                             {"KLEM_R9.0", "R9.0"},
                             {"KLEM_B7", "build-7"}};
            for (const CODETYPE code : kAllCodeTypes) {
                if (code != MAC_CODE) {  // the MAC check uses the (empty) cable firmware name
                    device->fileNames[{code, true}] = "file" + std::to_string(code) + ".rel";
                    device->fileNames[{code, false}] = "file" + std::to_string(code) + ".bin";
                }
                Set(device, code, "KLEM_R1.0", "KLEM_R1.0");
            }
        }
        checks = std::make_unique<CGatewayChecks>(&frame, &comms, std::move(hlxDevice),
                                                  std::move(qptDevice));
    }

    // What the device reports for the code type, and the identifier its release file holds.
    void Set(FakeGateway* device, CODETYPE code, const CString& deviceValue,
             const CString& diskValue) {
        device->fileVersions[DiskFile(device, code)] = diskValue;
        frame.Store().SetValue(device->GetUntrimmedReleaseValueName(code), deviceValue,
                               CTabValueStore::kMaxLength);
    }
    static CString DiskFile(FakeGateway* device, CODETYPE code) {
        return code == MAC_CODE ? CString{} : device->fileNames[{code, true}];
    }
    // The communication module's verdicts with one code type set as given.
    CCodeDiffResults CheckHlx(CODETYPE code, const CString& deviceValue, const CString& disk) {
        Set(hlx, code, deviceValue, disk);
        checks->SetCardName("VCL");
        return checks->PerformAllChecks();
    }
    Lines Updates() const { return journal.With(" update "); }

    gwu::test::Diagnostics diagnostics;
    Journal journal;
    gwu::host::Frame frame;
    ScriptedComms comms;
    FakeGateway* hlx = nullptr;
    FakeGateway* qpt = nullptr;
    std::unique_ptr<CGatewayChecks> checks;
};

// ---------------------------------------------------------------------------------------------
// Device selection and forwarding

// The facade owns its device objects and its worker: no copies.
static_assert(!std::is_copy_constructible_v<CGatewayChecks>);
static_assert(!std::is_copy_assignable_v<CGatewayChecks>);

TEST_F(GatewayChecksTest, CardNameSelectsDevice) {
    const std::pair<const char*, const char*> cases[] = {{"VCL", "HLX"},  {"vcl", "QPT"},
                                                         {"VCL ", "QPT"}, {"", "QPT"},
                                                         {"QPT", "QPT"},  {"VCL", "HLX"}};
    for (const auto& [name, tag] : cases) {
        SCOPED_TRACE(std::string("card name '") + name + "'");
        comms.ClearRecords();
        journal.Clear();
        checks->SetCardName(name);
        EXPECT_EQ(comms.Calls(), (Lines{std::string("SelectCard ") + name, "Disconnect"}));
        EXPECT_TRUE(checks->SetReleaseIds(true));
        EXPECT_EQ(journal.All(), Lines{std::string(tag) + " SetReleaseIds 1"});
    }
}

TEST_F(GatewayChecksTest, ReadingPassesArgumentAndResult) {
    checks->SetCardName("VCL");
    hlx->releaseIdsResult = false;
    EXPECT_FALSE(checks->SetReleaseIds(false));
    EXPECT_EQ(journal.With("SetReleaseIds"), Lines{"HLX SetReleaseIds 0"});

    journal.Clear();
    checks->CheckForUpdates(false);
    EXPECT_TRUE(journal.With("SetReleaseIds").empty());
    EXPECT_FALSE(journal.All().empty());  // the checks ran

    journal.Clear();
    checks->CheckForUpdates(true);
    const Lines lines = journal.All();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "HLX SetReleaseIds 1");
}

TEST_F(GatewayChecksTest, NoActiveDeviceGivesNeutralAnswers) {
    const CCodeDiffResults none = checks->CheckForUpdates(true);
    EXPECT_FALSE(none.DifferencesFound());
    EXPECT_FALSE(checks->PerformAllChecks().DifferencesFound());
    EXPECT_FALSE(checks->SetReleaseIds(true));
    checks->PerformUpdate(Verdicts(O, O, O, O, O));
    EXPECT_FALSE(checks->IsUpdateRunning());
    checks->WaitForUpdate();
    checks->RenameFile(LC_CODE, "x", true);
    EXPECT_FALSE(checks->DeviceFileExists("x", LC_CODE));
    EXPECT_EQ(checks->GetFilename("x", LC_CODE, true), "");
    EXPECT_EQ(checks->GetCustomCPLDFileName(), "");
    checks->SetCustomCPLDFileName("custom.jed");
    EXPECT_FALSE(checks->DeviceHasCustomCPLD());
    checks->UpdateActiveCableFirmware();
    EXPECT_FALSE(checks->IsKRTInstalled());
    EXPECT_EQ(checks->GetKRTVersion(), "");
    EXPECT_TRUE(journal.All().empty());
    EXPECT_TRUE(comms.Calls().empty());
}

TEST_F(GatewayChecksTest, FileAndCpldServicesGoToActiveDevice) {
    checks->SetCardName("");
    qpt->existingFiles = {"file1.bin"};
    EXPECT_TRUE(checks->DeviceFileExists("anything", PROM_CODE));
    EXPECT_TRUE(checks->DeviceFileExists("", PROM_CODE));
    EXPECT_FALSE(checks->DeviceFileExists("anything", LC_CODE));
    EXPECT_EQ(journal.With("FileExists"),
              (Lines{"QPT FileExists file1.bin", "QPT FileExists file1.bin",
                     "QPT FileExists file0.bin"}));
    EXPECT_EQ(checks->GetFilename("a", LC_CODE, true), "file0.rel");
    EXPECT_EQ(checks->GetFilename("b", LC_CODE, false), "file0.bin");
    checks->RenameFile(PROM_CODE, "ignored", true);
    EXPECT_EQ(journal.With("RenameFile"), Lines{"QPT RenameFile 1 1"});

    checks->SetCardName("VCL");
    checks->SetCustomCPLDFileName("custom.jed");
    EXPECT_EQ(checks->GetCustomCPLDFileName(), "custom.jed");
    hlx->hasCustomCpld = true;
    EXPECT_TRUE(checks->DeviceHasCustomCPLD());
    checks->UpdateActiveCableFirmware();
    EXPECT_EQ(journal.With("UpdateActiveCableFirmware"), Lines{"HLX UpdateActiveCableFirmware"});
    EXPECT_EQ(qpt->customCpld, "");
}

// ---------------------------------------------------------------------------------------------
// Check sequence and gates

TEST_F(GatewayChecksTest, AgreeingDeviceRunsAllChecksInOrder) {
    checks->SetCardName("VCL");
    const CCodeDiffResults results = checks->PerformAllChecks();
    EXPECT_FALSE(results.DifferencesFound()) << results.ToString();
    EXPECT_EQ(journal.With("GetVersionFromFile"),
              (Lines{"HLX GetVersionFromFile file2.rel", "HLX GetVersionFromFile file1.rel",
                     "HLX GetVersionFromFile file0.rel", "HLX GetVersionFromFile "}));
    EXPECT_EQ(journal.With("HasCustomCPLD").size(), 1u);
}

TEST_F(GatewayChecksTest, MainDifferenceSkipsMacAndCpld) {
    for (const CODETYPE code : {BS_CODE, PROM_CODE, LC_CODE}) {
        SCOPED_TRACE(code);
        journal.Clear();
        Set(hlx, MAC_CODE, "KLEM_R0.9", "KLEM_R1.0");
        hlx->hasCustomCpld = true;
        const CCodeDiffResults results = CheckHlx(code, "KLEM_R0.9", "KLEM_R1.0");
        EXPECT_EQ(results.m_eMAC, DIFF_SAME);
        EXPECT_EQ(results.m_eCPLD, DIFF_SAME);
        EXPECT_EQ(journal.With("GetVersionFromFile ").size(), 3u);  // not the MAC file
        EXPECT_TRUE(journal.With("HasCustomCPLD").empty());
        Set(hlx, code, "KLEM_R1.0", "KLEM_R1.0");
    }
}

TEST_F(GatewayChecksTest, MacDifferenceSkipsCpld) {
    hlx->hasCustomCpld = true;
    const CCodeDiffResults results = CheckHlx(MAC_CODE, "KLEM_R0.9", "KLEM_R1.0");
    EXPECT_EQ(results.ToString(), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older,");
    EXPECT_TRUE(journal.With("HasCustomCPLD").empty());
}

TEST_F(GatewayChecksTest, CpldMustMatchConfiguration) {
    const std::tuple<const char*, bool, DIFFTYPE> cases[] = {{"", true, DIFF_OLDER},
                                                             {"", false, DIFF_SAME},
                                                             {"custom.jed", true, DIFF_SAME},
                                                             {"custom.jed", false, DIFF_OLDER}};
    checks->SetCardName("VCL");
    for (const auto& [file, hasCustom, expected] : cases) {
        SCOPED_TRACE(std::string(file) + (hasCustom ? " with" : " without") + " custom CPLD");
        hlx->customCpld = file;
        hlx->hasCustomCpld = hasCustom;
        EXPECT_EQ(checks->PerformAllChecks().m_eCPLD, expected);
    }
}

TEST_F(GatewayChecksTest, MeasurementModuleChecksOnlyLoadedCodeAndProm) {
    for (const CODETYPE code : {BS_CODE, CPLD_CODE, MAC_CODE}) {
        Set(qpt, code, "KLEM_R0.9", "KLEM_R1.0");
    }
    qpt->hasCustomCpld = true;
    checks->SetCardName("QPT");
    EXPECT_FALSE(checks->PerformAllChecks().DifferencesFound());
    EXPECT_EQ(journal.With("GetVersionFromFile"),
              (Lines{"QPT GetVersionFromFile file1.rel", "QPT GetVersionFromFile file0.rel"}));

    Set(qpt, PROM_CODE, "KLEM_R1.1", "KLEM_R1.0");
    EXPECT_EQ(checks->PerformAllChecks().ToString(),
              "LC:Same, PROM:Newer, BS:Same, CPLD:Same, MAC:Same,");
}

// ---------------------------------------------------------------------------------------------
// Firmware level check (VerifyFWLevel)

TEST_F(GatewayChecksTest, NumericComparisonOfTrimmedIdentifiers) {
    EXPECT_EQ(CheckHlx(LC_CODE, "KLEM_R0.9", "KLEM_R1.0").m_eLC, DIFF_OLDER);
    EXPECT_EQ(CheckHlx(LC_CODE, "KLEM_R1.1", "KLEM_R1.0").m_eLC, DIFF_NEWER);
    EXPECT_EQ(CheckHlx(PROM_CODE, "KLEM_R1.1", "KLEM_R1.0").m_ePROM, DIFF_NEWER);
    EXPECT_EQ(CheckHlx(PROM_CODE, "KLEM_R1.0", "KLEM_R1.0").m_ePROM, DIFF_SAME);
}

TEST_F(GatewayChecksTest, UnreadableReleaseFileGivesSame) {
    checks->SetCardName("VCL");
    Set(hlx, LC_CODE, "KLEM_MFT_R0.1", "unused");
    hlx->fileVersions.erase("file0.rel");
    EXPECT_EQ(checks->PerformAllChecks().m_eLC, DIFF_SAME);
}

TEST_F(GatewayChecksTest, ManufacturingReleaseIsForcedBeforeComparison) {
    for (const CODETYPE code : {BS_CODE, PROM_CODE, LC_CODE, MAC_CODE}) {
        SCOPED_TRACE(code);
        hlx->trims["KLEM_MFT_R1.0"] = "R1.0";
        const CCodeDiffResults results = CheckHlx(code, "KLEM_MFT_R1.0", "KLEM_MFT_R1.0");
        const DIFFTYPE fields[] = {results.m_eLC, results.m_ePROM, results.m_eBS, results.m_eCPLD,
                                   results.m_eMAC};
        EXPECT_EQ(fields[code], DIFF_FORCED) << results.ToString();
        Set(hlx, code, "KLEM_R1.0", "KLEM_R1.0");
    }
    EXPECT_EQ(CheckHlx(LC_CODE, "xMFT", "KLEM_R1.0").m_eLC, DIFF_FORCED);
    // Case-sensitive: "mft" is no manufacturing mark.
    EXPECT_EQ(CheckHlx(LC_CODE, "mft", "mft").m_eLC, DIFF_SAME);
}

TEST_F(GatewayChecksTest, PlaceholderDeviceValuesGiveSame) {
    for (const char* value : {"Unknown", "UNKNOWN", "uNkNoWn", "NotConnected", "notconnected"}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(CheckHlx(LC_CODE, value, "KLEM_R1.0").m_eLC, DIFF_SAME);
        EXPECT_EQ(CheckHlx(LC_CODE, value, "other").m_eLC, DIFF_SAME);
    }
    Set(hlx, LC_CODE, "KLEM_R1.0", "KLEM_R1.0");
    EXPECT_EQ(CheckHlx(MAC_CODE, "UNKNOWN", "KLEM_R1.0").m_eMAC, DIFF_SAME);
    EXPECT_FALSE(checks->IsKRTInstalled());
}

TEST_F(GatewayChecksTest, UntrimmableDeviceValueComparedAsText) {
    EXPECT_EQ(CheckHlx(LC_CODE, "garbage", "KLEM_R1.0").m_eLC, DIFF_OLDER);
    EXPECT_EQ(CheckHlx(LC_CODE, "r1.0", "KLEM_R1.0").m_eLC, DIFF_SAME);  // R1.0 without case
    EXPECT_EQ(CheckHlx(LC_CODE, "", "KLEM_R1.0").m_eLC, DIFF_OLDER);
    Set(hlx, LC_CODE, "KLEM_R1.0", "KLEM_R1.0");
    // MAC firmware: an untrimmable value never differs.
    EXPECT_EQ(CheckHlx(MAC_CODE, "garbage", "KLEM_R1.0").m_eMAC, DIFF_SAME);
}

TEST_F(GatewayChecksTest, UntrimmableDiskIdentifierComparedAsText) {
    // Device trims to build-7; the disk identifier BUILD-7 cannot be trimmed.
    EXPECT_EQ(CheckHlx(LC_CODE, "KLEM_B7", "BUILD-7").m_eLC, DIFF_SAME);
    // Numerically newer, but only the texts are compared.
    EXPECT_EQ(CheckHlx(LC_CODE, "KLEM_R9.0", "R1.0").m_eLC, DIFF_OLDER);
    EXPECT_EQ(CheckHlx(LC_CODE, "KLEM_R1.0", "r1.0").m_eLC, DIFF_SAME);
}

TEST_F(GatewayChecksTest, LegacySoftwareOnDevice) {
    // " DB" after the first character: legacy software, even when the texts agree.
    EXPECT_EQ(CheckHlx(LC_CODE, "KRT 5.0 DB", "krt 5.0 db").m_eLC, DIFF_OLDER);
    EXPECT_TRUE(checks->IsKRTInstalled());
    EXPECT_EQ(checks->GetKRTVersion(), "KRT 5.0 DB");

    // The flag stays after a later clean check.
    const CCodeDiffResults clean = CheckHlx(LC_CODE, "KLEM_R1.0", "KLEM_R1.0");
    EXPECT_FALSE(clean.DifferencesFound());
    EXPECT_TRUE(checks->IsKRTInstalled());
    EXPECT_EQ(checks->GetKRTVersion(), "KRT 5.0 DB");
    checks->SetCardName("QPT");
    EXPECT_TRUE(checks->IsKRTInstalled());
}

TEST_F(GatewayChecksTest, LegacyMarkOnMacFirmwareIsSameButSetsFlag) {
    const CCodeDiffResults results = CheckHlx(MAC_CODE, "CBL DB2", "KLEM_R1.0");
    EXPECT_EQ(results.m_eMAC, DIFF_SAME);
    EXPECT_TRUE(checks->IsKRTInstalled());
    EXPECT_EQ(checks->GetKRTVersion(), "CBL DB2");
}

TEST_F(GatewayChecksTest, LegacyMarkAtStartDoesNotCount) {
    EXPECT_EQ(CheckHlx(LC_CODE, " DB5", " db5").m_eLC, DIFF_SAME);
    EXPECT_EQ(CheckHlx(LC_CODE, " DB5", "KLEM_R1.0").m_eLC, DIFF_OLDER);
    EXPECT_FALSE(checks->IsKRTInstalled());
    EXPECT_EQ(checks->GetKRTVersion(), "");
}

// ---------------------------------------------------------------------------------------------
// Update request and worker

TEST_F(GatewayChecksTest, UpdateSelectionPriority) {
    const std::pair<CCodeDiffResults, const char*> cases[] = {
        {Verdicts(O, S, F, S, S), "UpdateBootstrap"},
        {Verdicts(S, S, S, O, O), "UpdateCPLD"},
        {Verdicts(S, N, S, S, S), "UpdatePROM"},
        {Verdicts(O, O, S, S, S), "UpdatePROM"},
        {Verdicts(F, S, S, S, O), "UpdateBCF"},
        {Verdicts(S, S, S, S, N), "UpdateMACFirmware"},
        {Verdicts(O, O, O, O, O), "UpdateBootstrap"}};
    checks->SetCardName("VCL");
    for (const auto& [results, update] : cases) {
        SCOPED_TRACE(results.ToString());
        journal.Clear();
        checks->PerformUpdate(results);
        checks->WaitForUpdate();
        EXPECT_FALSE(checks->IsUpdateRunning());
        EXPECT_EQ(Updates(), Lines{std::string("HLX update ") + update});
    }
}

TEST_F(GatewayChecksTest, NoDifferenceRepeatsEarlierRequestOnly) {
    checks->SetCardName("QPT");
    checks->PerformUpdate(CCodeDiffResults{});
    EXPECT_FALSE(checks->IsUpdateRunning());
    checks->WaitForUpdate();
    EXPECT_TRUE(Updates().empty());

    checks->PerformUpdate(Verdicts(S, O, S, S, S));
    checks->WaitForUpdate();
    checks->PerformUpdate(CCodeDiffResults{});
    checks->WaitForUpdate();
    EXPECT_EQ(Updates(), (Lines{"QPT update UpdatePROM", "QPT update UpdatePROM"}));
}

TEST_F(GatewayChecksTest, WorkerIsTrackedAndJoinedBeforeNextUpdate) {
    checks->SetCardName("VCL");
    journal.SetHeld(true);
    checks->PerformUpdate(Verdicts(S, O, S, S, S));
    ASSERT_TRUE(journal.WaitFor("HLX update UpdatePROM"));
    EXPECT_TRUE(checks->IsUpdateRunning());

    // The running worker keeps its device; the next request waits for it.
    checks->SetCardName("QPT");
    auto second =
        std::async(std::launch::async, [&] { checks->PerformUpdate(Verdicts(O, S, S, S, S)); });
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(Updates(), Lines{"HLX update UpdatePROM"});

    journal.SetHeld(false);
    second.get();
    checks->WaitForUpdate();
    EXPECT_FALSE(checks->IsUpdateRunning());
    EXPECT_EQ(Updates(), (Lines{"HLX update UpdatePROM", "QPT update UpdateBCF"}));
    EXPECT_LT(journal.IndexOf("HLX finished UpdatePROM"), journal.IndexOf("QPT update UpdateBCF"));
}

TEST_F(GatewayChecksTest, DestructionWaitsForWorker) {
    checks->SetCardName("");
    journal.SetHeld(true);
    checks->PerformUpdate(Verdicts(O, S, S, S, S));
    ASSERT_TRUE(journal.WaitFor("QPT update UpdateBCF"));

    auto destroyed = std::async(std::launch::async, [&] { checks.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(journal.IndexOf("QPT destroyed"), -1);
    journal.SetHeld(false);
    destroyed.get();
    const long finished = journal.IndexOf("QPT finished UpdateBCF");
    ASSERT_GE(finished, 0);
    EXPECT_LT(finished, journal.IndexOf("HLX destroyed"));
    EXPECT_LT(finished, journal.IndexOf("QPT destroyed"));
}

TEST_F(GatewayChecksTest, ExceptionOnWorkerIsLogged) {
    checks->SetCardName("VCL");
    const std::pair<std::function<void()>, const char*> failures[] = {
        {[] { throw CBaseCommsException(7); }, "comms failure 7"},
        {[] { throw std::runtime_error("disk full"); }, "disk full"},
        {[] { throw 42; }, "unknown failure"}};
    for (const auto& [failure, line] : failures) {
        SCOPED_TRACE(line);
        hlx->onUpdate = failure;
        checks->PerformUpdate(Verdicts(S, S, O, S, S));
        checks->WaitForUpdate();
        EXPECT_FALSE(checks->IsUpdateRunning());
        EXPECT_TRUE(diagnostics.MonitorHas(line));
    }
    EXPECT_EQ(Updates().size(), 3u);
    EXPECT_TRUE(journal.With("finished").empty());
}

// ---------------------------------------------------------------------------------------------
// End to end with the real device classes

class GatewayChecksEndToEndTest : public gwu::test::FolderFixture {
protected:
    bool InFirmware(const std::string& name) const {
        return std::filesystem::exists(Firmware() / name);
    }

    gwu::host::Frame frame;
    ScriptedComms comms;
};

TEST_F(GatewayChecksEndToEndTest, CommunicationModuleOlderPromIsUpdated) {
    WriteRelease("HLX_LC.rel", "KLEM_LC_R5.0");
    WriteRelease("HLX_PROM.rel", "KLEM_PROM_R2.1");
    WriteRelease("HLX_BOOT.rel", "KLEM_BOOT_R1.0");
    comms.Answer(Kind::VsiGetSerialNumber, 0x20000000, Reply::Text("KLEM_LC_R5.0"));
    comms.Answer(Kind::VsiGetSerialNumber, 0x10000000, Reply::Text("KLEM_PROM_R2.0"));
    comms.Answer(Kind::VsiGetSerialNumber, 0x01000000, Reply::Text("KLEM_BOOT_R1.0"));
    comms.Answer(Kind::VsiGetSerialNumber, 0x00000800, Reply::Error(1));  // standard CPLD
    comms.Answer(Kind::VsiGetSerialNumber, 0x00000200, Reply::Text("CBL 1"));
    comms.Answer(Kind::VsiGetSerialNumber, static_cast<int>(0x80000000u), Reply::Text("SN0042"));
    comms.Answer(Kind::VsiGetSerialNumber, 0x00400000, Reply::Text(""));
    comms.Answer(Kind::VsiReset, static_cast<int>(0x80000000u), Reply::Text(""));

    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("VCL");
    const CCodeDiffResults results = checks.CheckForUpdates(true);
    EXPECT_EQ(results.ToString(), "LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same,");

    comms.ClearRecords();
    checks.PerformUpdate(results);
    checks.WaitForUpdate();
    EXPECT_FALSE(checks.IsUpdateRunning());
    EXPECT_FALSE(InFirmware("HLX_PROM.rel"));
    EXPECT_TRUE(InFirmware("HLX_PROM.bin"));
    EXPECT_EQ(ReadFile(Firmware() / "HLX_PROM.bin").rfind("Release-Id: KLEM_PROM_R2.1", 0), 0u);
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].kind, Kind::VsiGetSerialNumber);
    EXPECT_EQ(requests[0].requestType, 0x00400000);
    EXPECT_EQ(requests[0].timeoutMs, 20000);
    EXPECT_EQ(requests[1].kind, Kind::VsiReset);
    EXPECT_EQ(requests[1].requestType, static_cast<int>(0x80000000u));
}

TEST_F(GatewayChecksEndToEndTest, MeasurementModuleOlderLoadedCodeIsUpdated) {
    WriteRelease("QPT_LC.rel", "QPT Loaded Code Release 3.2.1");
    WriteRelease("QPT_PROM.rel", "QPT PROM Release 1.0");
    comms.Answer(Kind::MsiGetCardDetails, 2, Reply::Text("QPT Loaded Code Release 3.2.0"));
    comms.Answer(Kind::MsiGetCardDetails, 3, Reply::Text("QPT PROM Release 1.0"));
    comms.Answer(Kind::MsiGetCardDetails, 1, Reply::Text("S1"));
    comms.Answer(Kind::MsiReset, 0x01000000, Reply::Text(""));

    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("QPT");
    const CCodeDiffResults results = checks.CheckForUpdates(true);
    EXPECT_EQ(results.ToString(), "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");

    comms.ClearRecords();
    checks.PerformUpdate(results);
    checks.WaitForUpdate();
    EXPECT_FALSE(InFirmware("QPT_LC.rel"));
    EXPECT_TRUE(InFirmware("QPT_LC.bin"));
    const auto requests = comms.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, Kind::MsiReset);
    EXPECT_EQ(requests[0].requestType, 0x01000000);
}

}  // namespace
