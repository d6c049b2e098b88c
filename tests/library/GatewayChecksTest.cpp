// CGatewayChecks, the five verdicts of one check (CCodeDiffResults) and the release comparison
// behind CompareGatewayReleaseID.
#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "gateway/CCodeDiffResults.h"
#include "gateway/CGatewayChecks.h"
#include "gateway/ReleaseCompare.h"
#include "testsupport/FacadeFixture.h"

namespace gwu::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// Each code type's verdict is its own field, reached by code type too and named in the text in
// field order (a verdict outside the enumeration with no word); any verdict but Same in any field
// is a difference; a value outside CODETYPE reaches no field.
TEST(CodeDiffResultsTest, EachCodeTypeHasItsOwnVerdictAndWord) {
    const std::pair<CODETYPE, DIFFTYPE CCodeDiffResults::*> fields[] = {
        {LC_CODE, &CCodeDiffResults::m_eLC},
        {PROM_CODE, &CCodeDiffResults::m_ePROM},
        {BS_CODE, &CCodeDiffResults::m_eBS},
        {CPLD_CODE, &CCodeDiffResults::m_eCPLD},
        {MAC_CODE, &CCodeDiffResults::m_eMAC}};
    const std::pair<DIFFTYPE, const char*> verdicts[] = {
        {DIFF_SAME, "Same"},     {DIFF_NEWER, "Newer"},          {DIFF_OLDER, "Older"},
        {DIFF_FORCED, "Forced"}, {static_cast<DIFFTYPE>(7), ""}, {static_cast<DIFFTYPE>(-1), ""}};
    const char* const names[] = {"LC", "PROM", "BS", "CPLD", "MAC"};
    for (const auto& [codeType, field] : fields) {
        for (const auto& [verdict, word] : verdicts) {
            CCodeDiffResults results;  // Same everywhere else
            results.SetDiff(codeType, verdict);
            EXPECT_EQ(results.*field, verdict) << codeType;
            EXPECT_EQ(results.GetDiff(codeType), verdict);
            EXPECT_EQ(results.DifferencesFound(), verdict != DIFF_SAME) << results.ToString();
            std::string text;
            for (int code = LC_CODE; code <= MAC_CODE; ++code) {
                text += std::string(code == LC_CODE ? "" : " ") + names[code] + ":" +
                        (code == codeType ? word : "Same") + ",";
            }
            EXPECT_EQ(results.ToString(), text);
        }
    }
    CCodeDiffResults results;
    results.SetDiff(static_cast<CODETYPE>(5), DIFF_OLDER);
    EXPECT_FALSE(results.DifferencesFound());
    results.m_eMAC = DIFF_OLDER;
    EXPECT_EQ(results.GetDiff(static_cast<CODETYPE>(5)), DIFF_SAME);
}

// Leading E letters go, then leading R letters; components are separated by one or more dots,
// read the way atoi reads them (saturating at the int range) and compared as numbers; missing
// components count as 0.
TEST(CompareReleaseIdsTest, ComponentsCompareAsNumbersAfterTheLeadingLetters) {
    const std::tuple<const char*, const char*, DIFFTYPE> cases[] = {
        {"R12.3.4", "R12.3.5", O},
        {"R12.4", "R12.3.9", N},
        {"R1.10", "R1.9", N},
        {"R12.3.4", "R12.3.4", S},
        {"ER12.3", "R12.3.0", S},
        {"EERR3", "3", S},
        {"RE5", "R1", O},
        {"r5", "R0", S},
        {"12.3", "12.3.1", O},
        {"12.3.1", "12.3", N},
        {"12..3", "12.3", S},
        {".5", "1", O},
        {"R1.x.2", "R1.0.2", S},
        {"R\t+5abc", "R5", S},
        {"R1.-2", "R1.0", O},
        // Components saturate at the int range.
        {"R99999999999", "R2147483647", S},
        {"R99999999999", "R2147483646", N},
        {"R1.18446744073709551617", "R1.2147483647", S},
        {"R-99999999999", "R-2147483648", S},
        {"R-99999999999", "R-2147483647", O},
    };
    for (const auto& [device, disk, expected] : cases) {
        EXPECT_EQ(CompareReleaseIds(device, disk), expected) << device << " against " << disk;
    }
}

// Device selection and forwarding

// "VCL" selects the communication module, any other name the measurement module; a name ends
// at its first NUL for the facade as for the connection. Reading comes before the checks when
// asked for.
TEST_F(GatewayChecksTest, CardNameSelectsTheDeviceThatReads) {
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {"VCL", "VCL", "HLX"},       {"vcl", "vcl", "QPT"},
        {"VCL ", "VCL ", "QPT"},     {"", "", "QPT"},
        {"QPT\0VCL"s, "QPT", "QPT"}, {"\0VCL"s, "", "QPT"},
        {"VCL\0XYZ"s, "VCL", "HLX"}};
    for (const auto& [name, selected, tag] : cases) {
        SCOPED_TRACE(selected);
        comms.ClearRecords();
        Clear();
        checks->SetCardName(name);
        EXPECT_EQ(comms.Calls(), (Lines{std::string("SelectCard ") + selected, "Disconnect"}));
        checks->CheckForUpdates(true);
        EXPECT_EQ(IndexOf(std::string(tag) + " SetReleaseIds 1"), 0) << name;
        EXPECT_EQ(With("SetReleaseIds").size(), 1u) << name;
    }
    Clear();
    hlx->releaseIdsResult = false;
    EXPECT_FALSE(checks->SetReleaseIds(false));
    EXPECT_EQ(With(""), Lines{"HLX SetReleaseIds 0"});
    Set(hlx, LC_CODE, "KLEM_R0.9", "KLEM_R1.0");
    EXPECT_EQ(checks->CheckForUpdates(false).m_eLC, DIFF_OLDER);
    EXPECT_EQ(With("SetReleaseIds").size(), 1u);
}

// Before any card name there is no device: neutral answers, nothing reaches a device or the
// connection, and each check says why it read nothing. Then the file and CPLD services go to
// the active device.
TEST_F(GatewayChecksTest, ServicesGoToTheActiveDeviceAndAreNeutralWithoutOne) {
    EXPECT_FALSE(checks->CheckForUpdates(true).DifferencesFound());
    EXPECT_FALSE(checks->PerformAllChecks().DifferencesFound());
    EXPECT_FALSE(checks->SetReleaseIds(true));
    const std::string unread = ": nothing read or checked: no card named yet (SetCardName)";
    EXPECT_EQ(With(""), (Lines{"CGatewayChecks::CheckForUpdates" + unread,
                               "CGatewayChecks::PerformAllChecks" + unread,
                               "CGatewayChecks::SetReleaseIds" + unread}));
    Clear();
    checks->PerformUpdate(Verdicts(O, O, O, O, O));
    EXPECT_FALSE(checks->IsUpdateRunning());
    checks->RenameFile(LC_CODE, "x", true);
    EXPECT_FALSE(checks->DeviceFileExists("x", LC_CODE));
    EXPECT_EQ(checks->GetFilename("x", LC_CODE, true), "");
    checks->SetCustomCPLDFileName("custom.jed");
    EXPECT_EQ(checks->GetCustomCPLDFileName(), "");
    EXPECT_FALSE(checks->DeviceHasCustomCPLD());
    checks->UpdateActiveCableFirmware();
    EXPECT_TRUE(With("").empty());
    EXPECT_TRUE(comms.Calls().empty());
    checks->SetCardName("QPT");
    qpt->existingFile = "f1.bin";
    EXPECT_TRUE(checks->DeviceFileExists("ignored", PROM_CODE));  // the device-load file
    EXPECT_FALSE(checks->DeviceFileExists("ignored", LC_CODE));
    EXPECT_EQ(checks->GetFilename("ignored", LC_CODE, false), "f0.bin");
    checks->RenameFile(PROM_CODE, "ignored", true);
    EXPECT_EQ(With("RenameFile"), Lines{"QPT RenameFile 1 1"});
    checks->SetCardName("VCL");
    checks->SetCustomCPLDFileName("custom.jed");
    EXPECT_EQ(hlx->customCpld, "custom.jed");
    hlx->customCpld = "other.jed";
    EXPECT_EQ(checks->GetCustomCPLDFileName(), "other.jed");
    hlx->hasCustomCpld = true;
    EXPECT_TRUE(checks->DeviceHasCustomCPLD());
}

// Check sequence and gates

// Bootstrap, PROM and loaded code come first; the MAC firmware counts only when they agree, the
// CPLD only when the MAC firmware agrees too.
TEST_F(GatewayChecksTest, MacAndCpldAreCheckedOnlyBehindTheirGates) {
    EXPECT_EQ(ChecksOf("VCL"), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");
    EXPECT_EQ(With("GetVersionFromFile"),
              (Lines{"HLX GetVersionFromFile f2.rel", "HLX GetVersionFromFile f1.rel",
                     "HLX GetVersionFromFile f0.rel", "HLX GetVersionFromFile "}));
    // The CPLD must match the configuration: a custom one configured, or none.
    const std::tuple<const char*, bool, DIFFTYPE> cpld[] = {
        {"custom.jed", true, S}, {"custom.jed", false, O}, {"", false, S}, {"", true, O}};
    for (const auto& [file, hasCustom, expected] : cpld) {
        hlx->customCpld = file;
        hlx->hasCustomCpld = hasCustom;
        EXPECT_EQ(checks->PerformAllChecks().m_eCPLD, expected) << file << " " << hasCustom;
    }
    // The last case stays: the CPLD is older whenever it is checked.
    EXPECT_EQ(ChecksOf("VCL"), "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same,");
    Set(hlx, MAC_CODE, "KLEM_R0.9", "KLEM_R1.0");
    EXPECT_EQ(ChecksOf("VCL"), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Older,");
    const std::pair<CODETYPE, const char*> mains[] = {
        {BS_CODE, "LC:Same, PROM:Same, BS:Older, CPLD:Same, MAC:Same,"},
        {PROM_CODE, "LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same,"},
        {LC_CODE, "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same,"}};
    for (const auto& [code, text] : mains) {
        Set(hlx, code, "KLEM_R0.9", "KLEM_R1.0");
        EXPECT_EQ(ChecksOf("VCL"), text);
        Set(hlx, code, "KLEM_R1.0", "KLEM_R1.0");
    }
    // The measurement module has loaded code and PROM only.
    for (const CODETYPE code : {BS_CODE, MAC_CODE}) {
        Set(qpt, code, "KLEM_R0.9", "KLEM_R1.0");
    }
    qpt->hasCustomCpld = true;
    EXPECT_EQ(ChecksOf("QPT"), "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");
    Set(qpt, PROM_CODE, "KLEM_R1.1", "KLEM_R1.0");
    EXPECT_EQ(ChecksOf("QPT"), "LC:Same, PROM:Newer, BS:Same, CPLD:Same, MAC:Same,");
}

// Firmware level check

// Code type, device value, release file identifier (null: no readable file), verdict, and the
// legacy tester's software remembered then ("" while none has been met). Both trimmed: compared
// as release numbers. Without a release file: nothing to compare. A manufacturing release
// (upper-case mark) is forced before any comparison. The placeholders of an unread device, in any
// case: nothing to compare. Otherwise compared as text without case, except that an untrimmable
// device value never differs as MAC firmware. The legacy tester's software (" DB" after the
// first character) is older whatever the release file holds, except as MAC firmware; the facade
// remembers the last such text it met.
TEST_F(GatewayChecksTest, VerdictFromDeviceValueAndReleaseFile) {
    const char* const krt = "KRT 5.0 DB";
    const std::tuple<CODETYPE, const char*, const char*, DIFFTYPE, const char*> cases[] = {
        {LC_CODE, "KLEM_R0.9", "KLEM_R1.0", O, ""},
        {MAC_CODE, "KLEM_R0.9", "KLEM_R1.0", O, ""},
        {LC_CODE, "KLEM_MFT_R0.1", nullptr, S, ""},
        {LC_CODE, "KLEM_MFT_R1.0", "KLEM_MFT_R1.0", F, ""},
        {MAC_CODE, "xMFT", "KLEM_R1.0", F, ""},
        {PROM_CODE, "mft", "mft", S, ""},
        {LC_CODE, "uNkNoWn", "other", S, ""},
        {PROM_CODE, "NotConnected", "other", S, ""},
        {LC_CODE, "notconnected", "KLEM_R1.0", S, ""},
        {LC_CODE, "garbage", "KLEM_R1.0", O, ""},
        {BS_CODE, "r1.0", "KLEM_R1.0", S, ""},
        {MAC_CODE, "garbage", "KLEM_R1.0", S, ""},
        {LC_CODE, "KLEM_b7", "B7", S, ""},
        {LC_CODE, "KLEM_R9.0", "R1.0", O, ""},
        {LC_CODE, " DB5", " db5", S, ""},
        {LC_CODE, krt, "krt 5.0 db", O, krt},
        {LC_CODE, "KLEM_R1.0", "KLEM_R1.0", S, krt},
        {MAC_CODE, "CBL DB2", "KLEM_R1.0", S, "CBL DB2"},
    };
    checks->SetCardName("VCL");
    for (const auto& [code, device, disk, expected, legacy] : cases) {
        SCOPED_TRACE(std::to_string(code) + " '" + device + "' against " +
                     (disk != nullptr ? disk : "no file"));
        Set(hlx, code, device, disk);
        EXPECT_EQ(checks->PerformAllChecks().GetDiff(code), expected);
        EXPECT_EQ(checks->IsKRTInstalled(), *legacy != '\0');
        EXPECT_EQ(checks->GetKRTVersion(), legacy);
        Set(hlx, code, "KLEM_R1.0", "KLEM_R1.0");
    }
}

// Update request and worker: the tests that start the facade's worker thread.

using GatewayUpdateTest = GatewayChecksTest;

// The first differing of bootstrap, PROM, loaded code, CPLD and MAC firmware is updated; with
// no difference, only an earlier request's code type is, and the result is that repeat's own.
TEST_F(GatewayUpdateTest, UpdateTakesTheFirstDifferenceInPriorityOrder) {
    checks->SetCardName("VCL");
    checks->PerformUpdate(CCodeDiffResults{});
    EXPECT_FALSE(checks->IsUpdateRunning());
    EXPECT_EQ(checks->WaitForUpdate(), UPDATE_NOT_RUN);
    EXPECT_TRUE(Updates().empty());
    const std::tuple<CCodeDiffResults, const char*, bool> cases[] = {
        {Verdicts(O, O, F, O, O), "UpdateBootstrap", true},
        {Verdicts(O, N, S, O, O), "UpdatePROM", true},
        {Verdicts(F, S, S, O, O), "UpdateBCF", true},
        {Verdicts(S, S, S, O, O), "UpdateCPLD", true},
        {Verdicts(S, S, S, S, N), "UpdateMACFirmware", false},
        {CCodeDiffResults{}, "UpdateMACFirmware", true},
        {CCodeDiffResults{}, "UpdateMACFirmware", false},
    };
    for (const auto& [results, update, succeeds] : cases) {
        SCOPED_TRACE(results.ToString());
        Clear();
        hlx->updateResult = succeeds;
        checks->PerformUpdate(results);
        EXPECT_EQ(checks->WaitForUpdate(), succeeds ? UPDATE_SUCCEEDED : UPDATE_FAILED);
        EXPECT_FALSE(checks->IsUpdateRunning());
        EXPECT_EQ(Updates(), Lines{std::string("HLX update ") + update});
    }
}

// While an update runs, a card named, a check, a device service or a second request waits for
// it: the update's requests cannot go to another card, and nothing shares the device with it.
// Another thread waiting meanwhile gets the update's result. In a child process: concurrent
// waits once hung.
TEST_F(GatewayUpdateTest, HostCallsAndWaitersWaitForTheRunningUpdate) {
    RunIsolated([&] {
        const std::pair<std::function<void(CGatewayChecks&)>, const char*> calls[] = {
            {[](CGatewayChecks& c) { c.SetCardName("QPT"); }, "SelectCard QPT"},
            {[](CGatewayChecks& c) { c.SetReleaseIds(true); }, "HLX SetReleaseIds"},
            {[](CGatewayChecks& c) { c.CheckForUpdates(true); }, "HLX SetReleaseIds"},
            {[](CGatewayChecks& c) { c.PerformAllChecks(); }, "HLX GetVersionFromFile"},
            {[](CGatewayChecks& c) { c.RenameFile(LC_CODE, "", true); }, "HLX RenameFile"},
            {[](CGatewayChecks& c) { c.UpdateActiveCableFirmware(); }, "HLX UpdateActiveCable"},
            {[](CGatewayChecks& c) { c.PerformUpdate(Verdicts(O, S, S, S, S)); },
             "HLX update UpdateBCF"}};
        const auto seen = [&](const std::string& what) {
            const Lines sent = comms.Calls();
            return !With(what).empty() || std::find(sent.begin(), sent.end(), what) != sent.end();
        };
        bool succeeds = false;
        for (const auto& [call, effect] : calls) {
            SCOPED_TRACE(effect);
            checks->SetCardName("VCL");
            Clear();
            hlx->updateResult = succeeds = !succeeds;
            std::promise<void> release;
            gate = release.get_future().share();
            checks->PerformUpdate(Verdicts(S, O, S, S, S));
            ASSERT_TRUE(WaitFor("HLX update UpdatePROM"));
            auto during = std::async(std::launch::async, [&, &call = call] { call(*checks); });
            auto waiter = std::async(std::launch::async, [&] { return checks->WaitForUpdate(); });
            EXPECT_EQ(during.wait_for(100ms), std::future_status::timeout);
            EXPECT_FALSE(seen(effect));
            release.set_value();
            during.get();
            const UPDATERESULT result = succeeds ? UPDATE_SUCCEEDED : UPDATE_FAILED;
            EXPECT_EQ(waiter.get(), result);
            EXPECT_EQ(checks->WaitForUpdate(), result);
            EXPECT_TRUE(seen(effect));
        }
    });
}

// An update operation that calls back into the facade on the worker is never made to wait for
// itself: the card name and a second request are refused, a wait returns at once, checks run.
TEST_F(GatewayUpdateTest, TheWorkerCallingBackNeverWaitsForItself) {
    RunIsolated([&] {
        checks->SetCardName("VCL");
        comms.ClearRecords();
        std::optional<UPDATERESULT> waited;
        bool running = false;
        hlx->onUpdate = [&] {
            checks->SetCardName("QPT");
            checks->PerformUpdate(Verdicts(O, S, S, S, S));
            waited = checks->WaitForUpdate();
            running = checks->IsUpdateRunning();
            checks->CheckForUpdates(true);
        };
        checks->PerformUpdate(Verdicts(S, O, S, S, S));
        EXPECT_EQ(checks->WaitForUpdate(), UPDATE_SUCCEEDED);
        EXPECT_EQ(waited, UPDATE_NOT_RUN);
        EXPECT_TRUE(running);
        EXPECT_TRUE(comms.Calls().empty());  // the card stayed selected
        EXPECT_EQ(Updates(), Lines{"HLX update UpdatePROM"});
        EXPECT_LT(IndexOf("HLX SetReleaseIds 1"), IndexOf("HLX finished UpdatePROM"));
        EXPECT_EQ(With("refused on the update worker"),
                  (Lines{"CGatewayChecks::SetCardName(QPT): refused on the update worker",
                         "CGatewayChecks::PerformUpdate: refused on the update worker"}));
    });
}

// The destruction waits for the running worker, which keeps its device.
TEST_F(GatewayUpdateTest, DestructionWaitsForTheRunningWorker) {
    std::promise<void> release;
    gate = release.get_future().share();
    checks->SetCardName("QPT");
    checks->PerformUpdate(Verdicts(O, S, S, S, S));
    ASSERT_TRUE(WaitFor("QPT update UpdateBCF"));
    auto destroyed = std::async(std::launch::async, [&] { checks.reset(); });
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    destroyed.get();
    const long finished = IndexOf("QPT finished UpdateBCF");
    ASSERT_GE(finished, 0);
    EXPECT_LT(finished, IndexOf("HLX destroyed"));
    EXPECT_LT(finished, IndexOf("QPT destroyed"));
}

// An exception on the worker ends the update as failed, and is logged.
TEST_F(GatewayUpdateTest, FailureOnTheWorkerIsReportedAndLogged) {
    checks->SetCardName("VCL");
    const std::pair<std::function<void()>, const char*> failures[] = {
        {[] { throw CBaseCommsException(7); }, "comms failure 7"},
        {[] { throw std::runtime_error("disk full"); }, "disk full"},
        {[] { throw 42; }, "unknown failure"}};
    for (const auto& [failure, line] : failures) {
        hlx->onUpdate = failure;
        checks->PerformUpdate(Verdicts(S, S, O, S, S));
        EXPECT_EQ(checks->WaitForUpdate(), UPDATE_FAILED);
        EXPECT_FALSE(checks->IsUpdateRunning());
        EXPECT_TRUE(diagnostics.MonitorHas(line)) << line;
    }
    EXPECT_EQ(Updates().size(), 3u);
    EXPECT_TRUE(With("finished").empty());
}

}  // namespace
}  // namespace gwu::test
