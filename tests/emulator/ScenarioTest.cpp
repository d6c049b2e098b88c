// The emulated gateway's scenario files: what is refused, and how the refusal names the file,
// the field and the reason. Then scenarios made from recorded sessions: played to the same
// requests they answer each read as recorded, and a session they cannot express is refused at
// its first such exchange.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"
#include "emulator/trace/TraceScenario.h"
#include "platform/DeviceRequests.h"
#include "testsupport/TestFolders.h"
#include "wire/CommsFailures.h"

namespace {

using namespace gwu::emu;
using gwu::wire::MessageKind;

// The message a load is refused with, as the error thrown; empty when it is accepted.
template <typename Error, typename Load>
std::string RefusalOf(Load load) {
    try {
        load();
    } catch (const Error& e) {
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
        const std::string message = RefusalOf<ScenarioError>(
            [&json = json] { Gateway::FromScenarioText(json, "bad.json", ""); });
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
            RefusalOf<ScenarioError>([path = path] { Gateway::FromScenarioFile(path, ""); });
        EXPECT_EQ(message.rfind(path + ": (root): ", 0), 0u) << message;
        EXPECT_NE(message.find(reason), std::string::npos) << message;
    }
}

// ---------------------------------------------------------------------------------------------
// Scenarios made from recorded sessions

Request Get(int type, int capacity, int flags = 0, Builder builder = Builder::VsiGetSerialNumber) {
    return {builder, type, flags, capacity, {}, 10000};
}
auto Of(const Response& r) {
    return std::make_tuple(r.outcome, r.error, r.bytes, r.claimedLength, r.exceptionCode);
}
Request Detail(int type) {
    return Get(type, 128, 0, Builder::MsiGetCardDetails);
}

// A card selection when `card` is set, else a request; the request's answer.
struct Step {
    const char* card;
    Request request;
    Response answer;
};

// The trace a recorder writes of the steps, each answered by the gateway when there is one;
// `answered` is the result of a request answered.
Trace Record(std::vector<Step> steps, Gateway* gateway,
             TraceResult answered = TraceResult::Answer) {
    Trace trace;
    for (Step& step : steps) {
        if (gateway && step.card) {
            gateway->SelectCard(step.card);
        } else if (gateway) {
            step.answer = gateway->Execute(step.request);
        }
        TraceExchange& exchange = trace.exchanges.emplace_back();
        exchange.position = trace.exchanges.size();
        exchange.message = {step.card ? MessageKind::SelectCard : MessageKind::Execute,
                            step.card ? step.card : "", step.request};
        const Outcome outcome = step.answer.outcome;
        exchange.result = outcome == Outcome::Timeout      ? TraceResult::Timeout
                          : outcome == Outcome::Disconnect ? TraceResult::Dropped
                                                           : answered;
        exchange.response = step.answer;
    }
    return trace;
}

// The library's reads of both cards, twice, the measurement module's serial only before any
// selection, a release cut to a smaller room before it is read whole.
std::vector<Step> Session() {
    const std::vector<Request> measurement{Detail(MSI_DETAIL_LOADED_CODE_RELEASE),
                                           Detail(MSI_DETAIL_PROM_RELEASE)};
    const std::vector<Request> communication{
        Get(VSI_GET_LOADED_CODE_RELEASE, 5),
        Get(VSI_GET_LOADED_CODE_RELEASE, 128),
        Get(VSI_GET_PROM_RELEASE, 128),
        Get(VSI_GET_BOOTSTRAP_RELEASE, 128),
        Get(VSI_GET_CPLD_REVISION, 4),
        Get(VSI_GET_CABLE_FIRMWARE_RELEASE, 128),
        Get(VSI_GET_CARD_SERIAL_NUM, 128),
        Get(VSI_GET_CARD_SERIAL_NUM, 16, VSI_READ_FROM_STORAGE),
        Get(VSI_GET_MAC_ADDRESS, 12, VSI_ETHERNET_MAC | VSI_READ_FROM_STORAGE),
        Get(VSI_GET_MAC_ADDRESS, 12, VSI_USB_MAC),
        Get(VSI_SEND_DEVICE_STRING, 128)};
    std::vector<Step> steps{{nullptr, Detail(MSI_DETAIL_SERIAL_NUM), {}}};
    for (const char* card : {"QPT", "VCL", "QPT", "VCL"}) {
        steps.push_back({card, {}, {}});
        for (const Request& request : *card == 'V' ? communication : measurement) {
            steps.push_back({nullptr, request, {}});
        }
    }
    return steps;
}

TEST(TraceScenario, ThePlayedScenarioAnswersEveryRecordedReadAsRecorded) {
    // Sample files by name and scenarios written here; the faults the converted one needs.
    const std::pair<const char*, size_t> cases[] = {
        {"behind.json", 0},
        {"measurement.json", 0},
        {"unknown-serial.json", 1},
        {R"({"faults": [{"card": "x", "request": "any", "kind": "short", "repeat": true}]})", 0},
        {R"({"communication": {"releases": {"loaded": "KLEM_1_R1"}, "cpld": {"revision": 258},
                               "serial": "HX1", "usb_mac": "0050C2A1B235"},
             "measurement": {"releases": {"loaded": "QPT LC 3.1", "prom": "QPT PROM"}},
             "faults": [
      {"card": "VCL", "request": "0x20000000", "nth": 3, "kind": "error", "error": 9},
      {"card": "VCL", "request": "0x00000800", "kind": "throw", "error": 3},
      {"card": "VCL", "request": "0x80000000", "nth": 2, "kind": "short"},
      {"card": "VCL", "request": "0x00020000", "nth": 3, "kind": "timeout"},
      {"card": "VCL", "request": "0x00008000", "kind": "disconnect"},
      {"card": "QPT", "request": "3", "kind": "oversize"},
      {"card": "QPT", "request": "2", "repeat": true, "kind": "oversize"}]})",
         8}};
    for (const auto& [source, faults] : cases) {
        const auto gateway =
            *source == '{' ? Gateway::FromScenarioText(source, "written.json", "")
                           : Gateway::FromScenarioFile(
                                 (gwu::test::SampleDir() / "scenarios" / source).string(), "");
        const Trace trace = Record(Session(), gateway.get());
        const std::string scenario = ScenarioFromTrace(trace);
        SCOPED_TRACE(scenario);
        EXPECT_EQ(nlohmann::json::parse(scenario).value("faults", nlohmann::json::array()).size(),
                  faults);
        const auto replay = Gateway::FromScenarioText(scenario, "out.json", "");
        for (const TraceExchange& exchange : trace.exchanges) {
            if (exchange.message.kind == MessageKind::SelectCard) {
                replay->SelectCard(exchange.message.cardName);
            } else {
                EXPECT_EQ(Of(replay->Execute(exchange.message.request)), Of(exchange.response))
                    << "exchange " << exchange.position;
            }
        }
    }
    // A reply that did not decode is the connection's exception to the library.
    const Trace malformed = Record({{nullptr, Detail(1), {}}}, nullptr, TraceResult::Malformed);
    const Response thrown =
        Gateway::FromScenarioText(ScenarioFromTrace(malformed), "m", "")->Execute(Detail(1));
    EXPECT_EQ(Of(thrown), Of({Outcome::Throw, 0, "", {}, gwu::wire::kCommsMalformed, 0}));
}

// Each refusal names the first exchange that cannot be expressed (after the one selecting
// "VCL"), its message and the reason.
TEST(TraceScenario, ASessionThatChangesTheDeviceOrContradictsItselfIsRefused) {
    const auto read = [](Request request, std::int32_t error, std::string bytes = {}) {
        return Step{
            nullptr, std::move(request), {Outcome::Reply, error, std::move(bytes), {}, 0, 0}};
    };
    const Step write =
        read({Builder::VsiSetSerialNumber, VSI_SET_CARD_SERIAL_NUM, 0, 3, "HX2", 10000}, 0);
    const Request loaded = Get(VSI_GET_LOADED_CODE_RELEASE, 128);
    const Request loadedCut = Get(VSI_GET_LOADED_CODE_RELEASE, 2);
    const std::string otherBytes = "(it answered other bytes than exchange 2 ";
    const std::tuple<int, std::string, std::vector<Step>> cases[] = {
        {3,
         "execute vsi_set 0x40000000 flags 0 capacity 3 timeout 10000 ms, 3 data bytes (a write) "
         "cannot be expressed in a scenario; --scenario-from is for a session that only read "
         "the device",
         {read(loaded, 0, "KLEM"), write}},
        {2, " (an update) cannot be", {read(Get(VSI_UPDATE_FIRMWARE, 1), 0)}},
        {2, " (a reset) cannot be", {read(Get(VSI_RESET_CARD, 0, 0, Builder::VsiReset), 0)}},
        {4,
         otherBytes + "to a read of the same item, and nothing",
         {read(loaded, 0, "KLEM_1"), read(loaded, 5), read(loaded, 0, "KLEM_2")}},
        {3, otherBytes, {read(loadedCut, 0, "KL"), read(loadedCut, 0, "KX")}},
        {3, otherBytes, {read(loaded, 0, "KLEM"), read(loadedCut, 0, "KX")}},
        {2,
         "(it answered 17 bytes, more than the 16 a scenario holds for the item)",
         {read(Get(VSI_GET_CARD_SERIAL_NUM, 32), 0, std::string(17, 'H'))}},
        {2,
         "(neither the device nor any fault of the emulator gives its answer)",
         {read(Get(VSI_SEND_DEVICE_STRING, 128), 0, "OK"), write}},
    };
    for (auto [position, reason, session] : cases) {
        session.insert(session.begin(), Step{"VCL", {}, {}});
        const std::string refusal = RefusalOf<TraceError>(
            [&session = session] { ScenarioFromTrace(Record(session, nullptr)); });
        EXPECT_EQ(refusal.rfind("exchange " + std::to_string(position) + ": execute ", 0), 0u);
        EXPECT_NE(refusal.find(reason), std::string::npos) << refusal;
    }
}

}  // namespace
