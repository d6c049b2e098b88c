// The emulated gateway's scenario files: what is refused, and how the refusal names the file,
// the field and the reason.
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"
#include "testsupport/Fixtures.h"

namespace {

using namespace gwu::emu;

// The message a scenario is refused with; empty when it is accepted.
template <typename Load>
std::string RefusalOf(Load load) {
    try {
        load();
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return {};
}

// Each refusal names the file, the field and the reason ("<file>: <field>: <reason>").
TEST(ScenarioLoading, RefusedScenariosAndFilesNameTheFileTheFieldAndTheReason) {
    const auto comms = [](const char* members) {
        return std::string(R"({"communication": {)") + members + "}}";
    };
    // A scenario with a valid fault rule and the rule changed by a JSON merge patch.
    const auto fault = [](const char* patch) {
        const auto rule =
            nlohmann::json::parse(R"({"card": "VCL", "request": "1", "kind": "short"})");
        nlohmann::json changed = rule;
        changed.merge_patch(nlohmann::json::parse(patch));
        return nlohmann::json{{"faults", {rule, changed}}}.dump();
    };
    const std::pair<std::string, const char*> cases[] = {
        {"[1, 2]", "(root): expected an object"},
        {"{\"communication\": ", "(root): not valid JSON"},
        {R"({"comms": {}})", "comms: unknown field"},
        {R"({"measurement": []})", "measurement: expected an object"},
        {R"({"faults": {}})", "faults: expected an array"},
        {R"({"random_faults": {"probability": 1.5, "seed": 1}})",
         "random_faults.probability: required: a number from 0 to 1"},
        {R"({"random_faults": {"probability": 0.5}})", "random_faults.seed: required"},
        {comms(R"("releases": {"loaded": 5})"), "communication.releases.loaded: expected a string"},
        {comms(R"("serial": "HX10030712345678X")"), "communication.serial: longer than 16 bytes"},
        {comms(R"("cpld": {"revision": 4294967296})"), "communication.cpld.revision: out of range"},
        {comms(R"("cpld": {"revision": 1.5})"), "communication.cpld.revision: expected an integer"},
        {comms(R"("cpld": {})"), "communication.cpld: expected exactly one"},
        {comms(R"("cpld": {"error": 0})"), "communication.cpld.error: must not be 0"},
        {fault(R"({"request": "0x2000000G"})"), "faults[1].request: \"0x2000000G\" is not a hex"},
        {fault(R"({"request": "4294967296"})"), "faults[1].request: \"4294967296\" does not fit"},
        {fault(R"({"kind": "explode"})"), "faults[1].kind: unknown kind \"explode\""},
        {fault(R"({"kind": "error"})"), "faults[1].error: required for kind \"error\""},
        {fault(R"({"error": 2})"), "faults[1].error: only kinds \"throw\" and \"error\""},
        {fault(R"({"nth": 0})"), "faults[1].nth: out of range"},
        {fault(R"({"builder": "details"})"), "faults[1].builder: \"details\" requests go to"},
        {fault(R"({"card": "QPT", "builder": "get"})"), "faults[1].builder: \"get\" requests go"},
        {fault(R"({"card": null})"), "faults[1].card: required"},
        {fault(R"({"request": null})"), "faults[1].request: required"},
        {fault(R"({"kind": null})"), "faults[1].kind: required"},
        {fault(R"({"builder": "poke"})"), "faults[1].builder: unknown builder \"poke\""},
        {fault(R"({"repeat": 1})"), "faults[1].repeat: expected true or false"},
        {R"({"latency_ms": 600001})", "latency_ms: out of range [0, 600000]"},
        {R"({"request_latency_ms": [1]})", "request_latency_ms: expected an object"},
        {R"({"request_latency_ms": {"any": 5}})", "request_latency_ms.any: \"any\" is not a"},
        {R"({"request_latency_ms": {"1": 600001}})", "request_latency_ms.1: out of range"},
        {R"({"request_latency_ms": {"0x10": 1, "16": 2}})", "request_latency_ms.16: names the"},
    };
    for (const auto& [json, expected] : cases) {
        const std::string message =
            RefusalOf([&json = json] { Gateway::FromScenarioText(json, "bad.json", ""); });
        EXPECT_EQ(message.rfind(std::string("bad.json: ") + expected, 0), 0u) << message;
    }

    // Files that cannot be read are refused with their name.
    gwu::test::TempDir dir;
    const std::string big = (dir.Path() / "big.json").string();
    std::ofstream(big) << "{}" << std::string(gwu::emu::kMaxScenarioFileBytes - 1, ' ');
    const std::pair<std::string, const char*> files[] = {
        {(dir.Path() / "missing.json").string(), "cannot be read"},
        {dir.Path().string(), ""},  // a folder
        {big, "larger than"},
    };
    for (const auto& [path, reason] : files) {
        const std::string message =
            RefusalOf([path = path] { Gateway::FromScenarioFile(path, ""); });
        EXPECT_EQ(message.rfind(path + ": (root): ", 0), 0u) << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
    }
}

}  // namespace
