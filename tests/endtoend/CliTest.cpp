// gwctl end to end: the real program on every sample scenario with its folders in a temporary
// folder, its JSON documents and exit codes, verified updates in process and over TCP through a
// real gwemu, the cable update, the serial-number list and the errors it reports.
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "os/Format.h"
#include "tests/endtoend/CliFixture.h"
#include "tests/endtoend/Programs.h"

namespace {

using namespace gwu::test::cli;  // NOLINT(google-build-using-namespace): the fixture's helpers

// check --json on every sample scenario: exit code, verdicts, the serial number published and
// the rest of the document. A scenario added without a case here fails the test.
TEST_F(CliTest, CheckOfEverySampleScenario) {
    const std::string lcOlder = "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same,";
    // Scenario, options, exit code, summary, serial number published.
    using Case = std::tuple<std::string, std::vector<std::string>, int, std::string, std::string>;
    const Case cases[] = {
        {"matching", {}, 0, kAllSame, "HX100307"},
        {"behind", {}, 1, "LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same,", "HX100307"},
        {"manufacturing", {}, 1, "LC:Forced, PROM:Same, BS:Same, CPLD:Same, MAC:Same,", "HX100307"},
        {"legacy", {}, 1, lcOlder, "Unknown"},
        {"custom-cpld", {}, 1, "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same,", "HX100307"},
        {"custom-cpld", {"--custom-cpld", "HLX_CPLD.rel"}, 0, kAllSame, "HX100307"},
        {"lost-serial-silent", {}, 0, kAllSame, "HX100234"},
        {"lost-serial-typed", {"--keys", "HX100241<tick><tick>"}, 0, kAllSame, "HX100241"},
        {"lost-serial-typed", {}, 0, kAllSame, ""},
        {"unknown-serial", {}, 0, kAllSame, "HX100231"},
        {"measurement", {"--card", "QPT"}, 1, lcOlder, "QP200117"}};
    std::set<std::string> covered;
    for (const auto& [scenario, options, exit, summary, serial] : cases) {
        SCOPED_TRACE(scenario + ::testing::PrintToString(options));
        covered.insert(scenario);
        std::vector<std::string> arguments = {"check", "--device", "emu:" + Scenario(scenario),
                                              "--json"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const Result result = Run(arguments);
        const json& document = result.document;
        EXPECT_EQ(result.code, exit) << result.err;
        const bool qpt = scenario == "measurement";
        EXPECT_EQ(At(document, "/card"), qpt ? "QPT" : "VCL");
        EXPECT_EQ(At(document, "/read"), true);
        EXPECT_EQ(At(document, "/summary"), summary);
        EXPECT_EQ(At(document, "/differences"), exit == 1);
        EXPECT_EQ(Verdicts(At(document, "/results")), summary);
        EXPECT_EQ(At(document, "/values").size(), qpt ? 5u : 11u);
        EXPECT_EQ(At(document, qpt ? "/values/QPT_SerialNum" : "/values/HLX_SerialNum"), serial);
        EXPECT_EQ(At(document, "/disk/LC"),
                  qpt ? "QPT Loaded Code Release 3.2.0" : "KLEM_12345_R4.2.1");
        EXPECT_EQ(At(document, "/compared_count"), qpt ? 2 : 3);
        EXPECT_EQ(At(document, "/up_to_date"), exit == 0);
        if (!qpt) {  // rows with no release comparison by design
            EXPECT_EQ(At(document, "/basis/MAC"), "none");
            EXPECT_EQ(At(document, "/compared/CPLD"), false);
            EXPECT_EQ(At(document, "/disk/CPLD"),
                      options.empty() || options[0] != "--custom-cpld" ? json() : json(options[1]));
        }
        EXPECT_EQ(At(document, "/legacy/installed"), scenario == "legacy");
        EXPECT_EQ(At(document, "/legacy/version"), scenario == "legacy" ? "KRT V5.2 DB 0311" : "");
    }
    for (const auto& entry : fs::directory_iterator(kSamples / "scenarios")) {
        EXPECT_EQ(covered.count(entry.path().stem().string()), 1u) << entry.path();
    }
    // The repairs' report went to the log folder, not beside the tool.
    EXPECT_NE(ReadFile(Logs() / "ReportHLXRepair.txt").find("WriteBackToHLX"), std::string::npos);
    // No PROM release on disk: two of three releases compared, still enough to be up to date.
    // Release files that hold no release are named with the reason; a missing one is not.
    fs::remove(Firmware() / "HLX_PROM.rel");
    WriteFile(Firmware() / "HLX_BOOT.rel", "KLEM_BOOT_R1.4.0\r\n");
    const Result partial = Run({"check", "--device", "emu:" + Scenario("matching"), "--json"});
    EXPECT_EQ(At(partial.document, "/compared_count"), 1);
    EXPECT_EQ(At(partial.document, "/up_to_date"), true);
    const std::string bootProblem = Text(At(partial.document, "/problems/BS"));
    EXPECT_NE(bootProblem.find("HLX_BOOT.rel: no \"Release-Id: \" line"), std::string::npos);
    EXPECT_EQ(At(partial.document, "/problems/PROM"), json());
    EXPECT_EQ(At(partial.document, "/problems/LC"), json());
    const Result table = Run({"check", "--device", "emu:" + Scenario("matching")});
    for (const std::string& text : std::vector<std::string>{
             "PROM  KLEM_PROM_R2.0.3 (R2.0.3)            (no release on disk)", bootProblem}) {
        // The table shows the text as a terminal may show it (a Windows path's backslashes
        // doubled).
        EXPECT_NE(table.out.find(gwu::EscapeForTerminal(text)), std::string::npos) << text << "\n"
                                                                                   << table.out;
    }
    WriteFile(Firmware() / "HLX_BOOT.rel", "Release-Id: KLEM_BOOT_R1.4.0\r\n");
    WriteFile(Firmware() / "HLX_LC.rel", "Release-Id: " + std::string(128, 'R') + "\r\n");
    const Result tooLong = Run({"check", "--device", "emu:" + Scenario("matching"), "--json"});
    EXPECT_NE(Text(At(tooLong.document, "/problems/LC"))
                  .find("HLX_LC.rel: its Release-Id is longer than 127 characters"),
              std::string::npos)
        << tooLong.out;
}

// A check that could not record the device in the serial-number list says so, without
// --verbose: a warning on stderr and the list member of the document. The exit code stays the
// check's. A device not read (it exits with 2, every value NotConnected) and the measurement
// module give no warning.
TEST_F(CliTest, ListProblemsAreReportedWithoutVerbose) {
    const std::string listFile = (Logs() / "HLX_Serial_Nums.txt").string();
    // What a case does to the folders first.
    enum Prepare { kNothing, kFolderForList, kNoDeployedList };
    struct Case {
        Prepare prepare;
        int code;
        json member;  // the list member; its problem "?" for any text
        std::vector<std::string> arguments;
    };
    const auto device = [](const char* scenario) { return "emu:" + Scenario(scenario); };
    const json recorded = {{"recorded", true}, {"problem", nullptr}};
    const json refused = {{"recorded", false}, {"problem", "?"}};
    const json noSerial = {{"recorded", false},
                           {"problem", "no serial number, device not recorded"}};
    const json notRead = {{"recorded", false}, {"problem", "the device was not read"}};
    const Case cases[] = {
        {kNothing, 0, recorded, {"check", "--device", device("matching")}},
        {kFolderForList, 0, refused, {"check", "--device", device("matching")}},
        // The same in the final check of an update.
        {kFolderForList, 0, refused, {"update", "--device", device("behind")}},
        // No serial number, and no deployed-unit list for its repair.
        {kNoDeployedList, 0, noSerial, {"check", "--device", device("lost-serial-silent")}},
        {kNothing, 2, notRead, {"check", "--device", "tcp://127.0.0.1:1"}},
        {kNothing, 1, nullptr, {"check", "--card", "QPT", "--device", device("measurement")}}};
    for (const Case& c : cases) {
        for (const bool inJson : {false, true}) {
            SCOPED_TRACE(::testing::PrintToString(c.arguments) + (inJson ? " --json" : ""));
            fs::remove_all(Logs());
            fs::create_directories(Logs());
            FreshFirmware();
            if (c.prepare == kFolderForList) {
                fs::create_directories(listFile);
            } else if (c.prepare == kNoDeployedList) {
                fs::remove(Runtime() / "DeployedHLXs.ini");
            }
            std::vector<std::string> arguments = c.arguments;
            arguments.push_back(inJson ? "--json" : "--quiet");
            const Result result = Run(arguments);
            EXPECT_EQ(result.code, c.code) << result.err;
            const std::string warning =
                "gwctl: warning: the serial-number list " + gwu::EscapeForTerminal(listFile);
            const bool warned = c.member.is_object() && c.member != recorded && c.member != notRead;
            EXPECT_EQ(result.err.find(warning) != std::string::npos, warned) << result.err;
            if (!inJson) {
                continue;
            }
            json member = At(result.document, "/list");
            if (c.member == refused) {
                const json problem = At(member, "/problem");
                EXPECT_TRUE(problem.is_string() && !problem.get<std::string>().empty()) << member;
                EXPECT_NE(result.err.find(warning + " was not updated: " +
                                          gwu::EscapeForTerminal(Text(problem))),
                          std::string::npos)
                    << result.err;
                member["problem"] = "?";
            }
            EXPECT_EQ(member, c.member);
            if (c.member == notRead) {  // nothing listens on port 1 of 127.0.0.1
                EXPECT_EQ(At(result.document, "/read"), false);
                const json values = At(result.document, "/values");
                EXPECT_EQ(values.size(), 11u);
                for (const auto& [name, value] : values.items()) {
                    EXPECT_EQ(value, "NotConnected") << name;
                }
            }
        }
    }
}

// update on a device behind the release level, in process and over TCP through a real gwemu on
// the same firmware folder (which then ends cleanly on SIGTERM). It brings the device up in two
// rounds, bootstrap then PROM, moving their release files. When every update command fails, each
// code type is tried twice and given up, every round reported with the release expected and the
// one the device still reports; the final check still compares with the installed releases and
// the run ends with 1. The serial-number list holds the device once, and list shows every device
// met.
TEST_F(CliTest, UpdatesInProcessAndThroughGwemuThenList) {
    const std::string failing =
        WriteScenario(Root() / "failing.json", Scenario("behind"), json::parse(R"({"faults":
        [{"card": "VCL", "request": "0x00400000", "kind": "throw", "error": 5, "repeat": true}]})"));
    const auto emulator = Serve(Scenario("behind"));
    const auto failingEmulator = Serve(failing);
    const std::string address = emulator->Device();
    ASSERT_FALSE(address.empty() || failingEmulator->Device().empty());
    // Code type, verdicts before and after, the result, the release placed and reported.
    const std::vector<std::string> took = {
        "BS LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same, -> LC:Same, PROM:Older, "
        "BS:Same, CPLD:Same, MAC:Same, succeeded KLEM_BOOT_R1.4.0 KLEM_BOOT_R1.4.0 took",
        "PROM LC:Same, PROM:Older, BS:Same, CPLD:Same, MAC:Same, -> LC:Same, PROM:Same, "
        "BS:Same, CPLD:Same, MAC:Same, succeeded KLEM_PROM_R2.0.3 KLEM_PROM_R2.0.3 took"};
    const std::string bs =
        "BS LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same, -> LC:Same, PROM:Older, "
        "BS:Older, CPLD:Same, MAC:Same, failed KLEM_BOOT_R1.4.0 KLEM_BOOT_R1.2.0 did not take";
    const std::string prom =
        "PROM LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same, -> LC:Same, PROM:Older, "
        "BS:Older, CPLD:Same, MAC:Same, failed KLEM_PROM_R2.0.3 KLEM_PROM_R1.9.8 did not take";
    const std::vector<std::string> failed = {bs, bs, prom, prom};
    for (const std::string& device :
         {"emu:" + Scenario("behind"), address, "emu:" + failing, failingEmulator->Device()}) {
        SCOPED_TRACE(device);
        const bool fails = device == "emu:" + failing || device == failingEmulator->Device();
        FreshFirmware();
        const Result update = Run({"update", "--device", device, "--json"});
        EXPECT_EQ(update.code, fails ? 1 : 0) << update.err;
        EXPECT_EQ(Rounds(update.document), fails ? failed : took);
        EXPECT_EQ(At(update.document, "/up_to_date"), !fails);
        EXPECT_EQ(At(update.document, "/values/HLX_PROM_Release_Untrimmed"),
                  fails ? "KLEM_PROM_R1.9.8" : "KLEM_PROM_R2.0.3");
        EXPECT_EQ(At(update.document, "/disk/PROM"), "KLEM_PROM_R2.0.3");
        EXPECT_EQ(At(update.document, "/disk/BS"), "KLEM_BOOT_R1.4.0");
        // The releases are placed, and stay installed, whether the update takes or not.
        for (const char* name : {"HLX_LC", "HLX_PROM", "HLX_BOOT", "HLX_CPLD", "HLX_MAC"}) {
            EXPECT_TRUE(fs::exists(Firmware() / (std::string(name) + ".rel"))) << name;
        }
        EXPECT_EQ(ReadFile(Firmware() / "HLX_BOOT.bin"), ReadFile(Firmware() / "HLX_BOOT.rel"));
        EXPECT_EQ(ReadFile(Firmware() / "HLX_PROM.bin"), ReadFile(Firmware() / "HLX_PROM.rel"));
    }
    const Result text = Run({"update", "--device", "emu:" + failing});
    EXPECT_EQ(text.code, 1);
    EXPECT_NE(text.out.find("FAILED: PROM did not take: expected KLEM_PROM_R2.0.3, the device "
                            "reports KLEM_PROM_R1.9.8"),
              std::string::npos)
        << text.out;
    // gwemu's device keeps what it took: the next check compares it with the installed releases.
    const Result next = Run({"check", "--device", address, "--json"});
    EXPECT_EQ(next.code, 0) << next.err;
    EXPECT_EQ(At(next.document, "/disk/BS"), "KLEM_BOOT_R1.4.0");
    EXPECT_EQ(At(next.document, "/compared_count"), 3);
#ifdef _WIN32
    EXPECT_EQ(emulator->Stop(kWaitMs), 128 + 15);  // terminated: Windows has no signal to send it
#else
    EXPECT_EQ(emulator->Stop(kWaitMs), 0);  // stopped cleanly by SIGTERM
#endif
    EXPECT_EQ(ReadFile(Logs() / "HLX_Serial_Nums.txt"), "HX100307,R4.2.1,R2.0.3,R1.4.0\r\n");

    EXPECT_EQ(Run({"check", "--device", "emu:" + Scenario("unknown-serial")}).code, 0);
    // list opens no device and needs no firmware folder.
    const Result list = Run({"list", "--json", "--device", "emu:" + (Root() / "none.json").string(),
                             "--firmware", (Root() / "nowhere").string()},
                            false);
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_EQ(At(list.document, "/lines"),
              json::array({"HX100307,R4.2.1,R2.0.3,R1.4.0", "HX100231,R4.2.1,R2.0.3,R1.4.0"}));
}

// Trouble exits with 2: in JSON mode with one error document naming the culprit, else with a
// message on stderr (an unreachable device, reported as not read, is among the list problems).
// --help ends with 0, and --version names the program's and the library's version.
TEST_F(CliTest, TroubleExitsWith2HelpAndVersionWith0) {
    const std::string bad = (Root() / "bad.json").string();
    std::ofstream(bad)
        << R"({"faults": [{"card": "VCL", "request": "0x20000000", "kind": "melt"}]})";
    const std::string missing = (Root() / "missing.json").string();
    const std::string nowhere = (Root() / "nowhere").string();
    const std::string empty = (Root() / "empty").string();
    const std::string runtime = Runtime().string();
    fs::create_directories(empty);
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> named;
        bool firmware = true;
    };
    const Case cases[] = {
        {{"check", "--device", "emu:" + bad}, {bad, "faults[0].kind"}},
        {{"update", "--device", "emu:" + missing}, {missing}},
        {{"check", "--device", "serial:/dev/ttyS0"}, {"serial:/dev/ttyS0"}},
        {{"check", "--device", "tcp://127.0.0.1"}, {"tcp://127.0.0.1"}},
        {{"check", "--device", "emu:" + Scenario("matching"), "--keys", "<tick"}, {"--keys"}},
        {{"frobnicate"}, {"frobnicate"}},
        // Without a firmware folder an update over TCP refuses instead of guessing gwemu's.
        {{"update", "--device", "tcp://127.0.0.1:1"}, {"firmware folder", "--firmware"}, false},
        // No verdict without a release on disk: a missing folder, a file, a folder without
        // releases of the family.
        {{"check", "--firmware", nowhere}, {nowhere, "does not exist"}, false},
        {{"update", "--firmware", bad}, {bad, "cannot be read"}, false},
        {{"cable", "--firmware", empty}, {empty, "HLX_LC.rel", "HLX_BOOT.rel"}, false},
        {{"check", "--card", "QPT", "--firmware", runtime},
         {runtime, "QPT_LC.rel", "QPT_PROM.rel"},
         false}};
    for (const Case& c : cases) {
        for (const bool inJson : {false, true}) {
            SCOPED_TRACE(::testing::PrintToString(c.arguments) + (inJson ? " --json" : ""));
            std::vector<std::string> arguments = c.arguments;
            if (inJson) {
                arguments.push_back("--json");
            }
            const Result result = Run(arguments, c.firmware);
            EXPECT_EQ(result.code, 2);
            EXPECT_EQ(inJson ? result.document.size() : result.out.size(), inJson ? 1u : 0u)
                << result.out;
            const std::string message =
                inJson ? Text(At(result.document, "/error/message")) : result.err;
            for (const std::string& part : c.named) {
                EXPECT_NE(message.find(inJson ? part : gwu::EscapeForTerminal(part)),
                          std::string::npos)
                    << message;
            }
        }
    }

    // gwemu refuses the same bad scenario with exit 2, which its fixture reports with the reason.
    gwu::host::EmulatorProcess refused(gwu::test::kGwemuProgram, bad, "",
                                       (Root() / "gwemu-refused").string(), kWaitMs);
    EXPECT_FALSE(refused.Listening());
    EXPECT_EQ(refused.Error().rfind("gwemu ended with status 2: ", 0), 0u) << refused.Error();
    EXPECT_GT(refused.Error().size(), std::string("gwemu ended with status 2: ").size());
    EXPECT_EQ(refused.Stop(), 2);

    EXPECT_EQ(Run({"--help"}).code, 0);
    for (const char* tool : {gwu::test::kGwctlProgram, gwu::test::kGwemuProgram}) {
        const std::string stem = (Root() / "version").string();
        EXPECT_EQ(Child({tool, "--version"}, stem).Wait(kWaitMs), 0) << tool;
        const std::string name = fs::path(tool).stem().string();
        const std::string out = ReadFile(stem + ".out");  // one line, CR LF on Windows
        EXPECT_EQ(out.substr(0, out.find_first_of("\r\n")),
                  name + " " + GWU_VERSION + ", gatewayutils library " + GWU_VERSION);
    }
}

// The cable firmware from its hex image: a device that takes it ends with 0 and reports the
// image's release; one that cannot be read ends with 2.
TEST_F(CliTest, CableUpdateIsVerifiedAgainstTheHexImage) {
    const std::string older =
        WriteScenario(Root() / "old-cable.json", Scenario("behind"),
                      {{"communication", {{"releases", {{"cable", "KLEM_MAC_R2.9"}}}}}});
    const std::string unreadable = WriteScenario(
        Root() / "unreadable.json", older,
        json::parse(
            R"({"faults": [{"card": "VCL", "request": "any", "repeat": true, "kind": "throw"}]})"));
    const Result good = Run({"cable", "--device", "emu:" + older, "--json"});
    EXPECT_EQ(good.code, 0) << good.err;
    EXPECT_EQ(At(good.document, "/cable/before"), "KLEM_MAC_R2.9");
    EXPECT_EQ(At(good.document, "/cable/after"), "KLEM_MAC_R3.1");
    EXPECT_EQ(At(good.document, "/cable/result"), "Firmware update result: 0");
    EXPECT_EQ(At(good.document, "/cable/took"), true);
    const Result bad = Run({"cable", "--device", "emu:" + unreadable, "--json"});
    EXPECT_EQ(bad.code, 2) << bad.err;
    EXPECT_EQ(At(bad.document, "/cable/before"), "Unknown");
    EXPECT_EQ(At(bad.document, "/cable/after"), "Unknown");
    EXPECT_EQ(At(bad.document, "/cable/took"), false);
    // Releases on disk but none in the hex image: nothing to tell whether the update took.
    fs::remove(Firmware() / "HLX_MAC.hex");
    const Result noImage = Run({"cable", "--device", "emu:" + older});
    EXPECT_EQ(noImage.code, 2) << noImage.err;
    EXPECT_NE(noImage.out.find("No release in the hex image"), std::string::npos) << noImage.out;
}

}  // namespace
