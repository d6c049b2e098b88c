// The fixture of gwctl's end-to-end tests: gwctl run on copies of the sample folders, its
// JSON documents read back, gwemu served on a scenario; and the helpers that read the documents.
#pragma once

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process/EmulatorProcess.h"
#include "tests/endtoend/Programs.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test::cli {

namespace fs = std::filesystem;
using json = nlohmann::json;
using gwu::test::Child;

inline constexpr int kWaitMs = 30000;  // per program run; each takes well under a second
inline constexpr const char* kAllSame = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,";
inline const fs::path kSamples = gwu::test::SampleDir();

inline const auto Scenario = gwu::test::SampleScenarioPath;

// The value at a JSON pointer; null when there is none.
inline json At(const json& document, const std::string& pointer) {
    const json::json_pointer at(pointer);
    return document.contains(at) ? document.at(at) : json();
}

// A JSON value as text: a string's own, anything else dumped.
inline std::string Text(const json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// The verdicts of an object by code type, in the summary's form "LC:Same, ..., MAC:Same,".
inline std::string Verdicts(const json& verdicts) {
    std::string text;
    for (const char* code : {"LC", "PROM", "BS", "CPLD", "MAC"}) {
        text += (text.empty() ? "" : " ") + std::string(code) + ":" +
                Text(At(verdicts, "/" + std::string(code))) + ",";
    }
    return text;
}

// Each update round of a document as one line: code type, verdicts before -> after, the device
// operation's result, the release expected and reported, and whether it took.
inline std::vector<std::string> Rounds(const json& document) {
    std::vector<std::string> lines;
    for (const json& round : At(document, "/rounds")) {
        lines.push_back(Text(At(round, "/code_type")) + " " + Verdicts(At(round, "/before")) +
                        " -> " + Verdicts(At(round, "/after")) + " " + Text(At(round, "/result")) +
                        " " + Text(At(round, "/expected")) + " " + Text(At(round, "/reported")) +
                        (At(round, "/took") == true ? " took" : " did not take"));
    }
    return lines;
}

// Writes the scenario file `base` changed by the JSON merge patch as `file`; the new file's path.
inline std::string WriteScenario(const fs::path& file, const std::string& base, const json& patch) {
    json scenario = json::parse(gwu::test::TestFolders::ReadFile(base));
    scenario.merge_patch(patch);
    gwu::test::TestFolders::WriteFile(file, scenario.dump());
    return file.string();
}

// gwctl runs on copies of the sample firmware and runtime folders and on a log folder, all named by
// options.
class CliTest : public gwu::test::FolderFixture {
protected:
    CliTest() {
        CopySampleFirmware();
        fs::copy(kSamples / "runtime", Runtime(), fs::copy_options::recursive);
    }

    struct Result {
        int code;
        std::string out;
        std::string err;
        json document;  // stdout's JSON object; empty when there is none
    };
    // Runs gwctl with the arguments and the runtime, log and (unless told not) firmware folders.
    Result Run(std::vector<std::string> arguments, bool firmware = true) const {
        arguments.insert(arguments.begin(), m_gwctl.begin(), m_gwctl.end());
        arguments.insert(arguments.end(),
                         {"--runtime", Runtime().string(), "--logs", Logs().string()});
        if (firmware) {
            arguments.insert(arguments.end(), {"--firmware", Firmware().string()});
        }
        const std::string stem = (Root() / "gwctl").string();
        const int code = Child(arguments, stem, m_environment).Wait(kWaitMs);
        const std::string out = ReadFile(stem + ".out");
        const json document = json::parse(out, nullptr, false);
        return {code, out, ReadFile(stem + ".err"),
                document.is_object() ? document : json::object()};
    }
    // gwemu on the scenario and the firmware folder, listening.
    std::unique_ptr<gwu::host::EmulatorProcess> Serve(const std::string& scenario) const {
        auto emulator = std::make_unique<gwu::host::EmulatorProcess>(
            gwu::test::kGwemuProgram, scenario, Firmware().string(), (Root() / "gwemu").string(),
            kWaitMs);
        EXPECT_EQ(emulator->Device().rfind("tcp://127.0.0.1:", 0), 0u) << emulator->Error();
        return emulator;
    }

    std::vector<std::string> m_gwctl = {
        gwu::test::kGwctlProgram};           // the program, after what it runs under
    std::vector<std::string> m_environment;  // of every gwctl run
};

}  // namespace gwu::test::cli
