#include "emulator/scenario/Scenario.h"

#include <initializer_list>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "emulator/scenario/FileText.h"
#include "wire/Cards.h"

namespace gwu::emu {

namespace {

using Json = nlohmann::json;
using wire::Builder;

constexpr std::pair<const char*, FaultKind> kKinds[] = {
    {"throw", FaultKind::Throw},       {"error", FaultKind::Error},
    {"timeout", FaultKind::Timeout},   {"short", FaultKind::Short},
    {"oversize", FaultKind::Oversize}, {"disconnect", FaultKind::Disconnect}};

std::string Join(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

// Reads one scenario document; every failure names the file and the field.
class ScenarioReader {
public:
    explicit ScenarioReader(const std::string& name) : m_name(name) {}

    [[noreturn]] void Fail(const std::string& path, const std::string& reason) const {
        throw ScenarioError(m_name + ": " + (path.empty() ? "(root)" : path) + ": " + reason);
    }

    void RequireObject(const Json& value, const std::string& path) const {
        if (!value.is_object()) {
            Fail(path, "expected an object");
        }
    }

    void CheckKeys(const Json& object, const std::string& path,
                   std::initializer_list<const char*> allowed) const {
        for (const auto& item : object.items()) {
            bool known = false;
            for (const char* key : allowed) {
                known = known || item.key() == key;
            }
            if (!known) {
                Fail(Join(path, item.key()), "unknown field");
            }
        }
    }

    // The member as text of at most maxBytes bytes; empty optional when it is left out.
    std::optional<std::string> Text(const Json& object, const std::string& path, const char* key,
                                    size_t maxBytes) const {
        const auto found = object.find(key);
        if (found == object.end()) {
            return std::nullopt;
        }
        if (!found->is_string()) {
            Fail(Join(path, key), "expected a string");
        }
        std::string text = found->get<std::string>();
        if (text.size() > maxBytes) {
            Fail(Join(path, key), "longer than " + std::to_string(maxBytes) + " bytes");
        }
        return text;
    }

    // The member as an integer within [low, high]; empty optional when it is left out.
    std::optional<std::int64_t> Integer(const Json& object, const std::string& path,
                                        const char* key, std::int64_t low,
                                        std::int64_t high) const {
        const auto found = object.find(key);
        if (found == object.end()) {
            return std::nullopt;
        }
        const std::string field = Join(path, key);
        if (!found->is_number_integer()) {
            Fail(field, "expected an integer");
        }
        if (found->is_number_unsigned()) {
            const auto value = found->get<std::uint64_t>();
            if (value > static_cast<std::uint64_t>(high) ||
                static_cast<std::int64_t>(value) < low) {
                Fail(field, OutOfRange(low, high));
            }
            return static_cast<std::int64_t>(value);
        }
        const auto value = found->get<std::int64_t>();
        if (value < low || value > high) {
            Fail(field, OutOfRange(low, high));
        }
        return value;
    }

    std::optional<bool> Flag(const Json& object, const std::string& path, const char* key) const {
        const auto found = object.find(key);
        if (found == object.end()) {
            return std::nullopt;
        }
        if (!found->is_boolean()) {
            Fail(Join(path, key), "expected true or false");
        }
        return found->get<bool>();
    }

    CommunicationState Communication(const Json& object, const std::string& path) const {
        RequireObject(object, path);
        CheckKeys(object, path,
                  {"releases", "cpld", "serial", "stored_serial", "ethernet_mac", "usb_mac"});
        CommunicationState state;
        if (const auto releases = object.find("releases"); releases != object.end()) {
            const std::string at = Join(path, "releases");
            RequireObject(*releases, at);
            CheckKeys(*releases, at, {"loaded", "prom", "bootstrap", "cable"});
            state.loaded = Text(*releases, at, "loaded", kMaxScenarioText);
            state.prom = Text(*releases, at, "prom", kMaxScenarioText);
            state.bootstrap = Text(*releases, at, "bootstrap", kMaxScenarioText);
            state.cable = Text(*releases, at, "cable", kMaxScenarioText);
        }
        if (const auto cpld = object.find("cpld"); cpld != object.end()) {
            state.cpld = Cpld(*cpld, Join(path, "cpld"));
        }
        state.serial = Text(object, path, "serial", kMaxSerialBytes);
        state.storedSerial = Text(object, path, "stored_serial", kMaxSerialBytes);
        state.ethernetMac = Text(object, path, "ethernet_mac", kMaxMacBytes);
        state.usbMac = Text(object, path, "usb_mac", kMaxMacBytes);
        // A device fresh from the scenario holds the same addresses in use and in storage.
        state.storedEthernetMac = state.ethernetMac;
        state.storedUsbMac = state.usbMac;
        return state;
    }

    CpldState Cpld(const Json& object, const std::string& path) const {
        RequireObject(object, path);
        CheckKeys(object, path, {"revision", "error"});
        const auto revision =
            Integer(object, path, "revision", 0, std::numeric_limits<std::uint32_t>::max());
        const auto error = Integer(object, path, "error", std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max());
        if (revision.has_value() == error.has_value()) {
            Fail(path, "expected exactly one of \"revision\" and \"error\"");
        }
        CpldState state;
        if (revision) {
            state.kind = CpldState::Kind::Revision;
            state.revision = static_cast<std::uint32_t>(*revision);
        } else {
            if (*error == 0) {
                Fail(Join(path, "error"), "must not be 0 (a device that answers has a revision)");
            }
            state.kind = CpldState::Kind::Error;
            state.error = static_cast<std::int32_t>(*error);
        }
        return state;
    }

    MeasurementState Measurement(const Json& object, const std::string& path) const {
        RequireObject(object, path);
        CheckKeys(object, path, {"releases", "serial"});
        MeasurementState state;
        if (const auto releases = object.find("releases"); releases != object.end()) {
            const std::string at = Join(path, "releases");
            RequireObject(*releases, at);
            CheckKeys(*releases, at, {"loaded", "prom"});
            state.loaded = Text(*releases, at, "loaded", kMaxScenarioText);
            state.prom = Text(*releases, at, "prom", kMaxScenarioText);
        }
        state.serial = Text(object, path, "serial", kMaxScenarioText);
        return state;
    }

    std::vector<FaultRule> Faults(const Json& array, const std::string& path) const {
        if (!array.is_array()) {
            Fail(path, "expected an array");
        }
        std::vector<FaultRule> faults;
        for (size_t i = 0; i < array.size(); ++i) {
            faults.push_back(Fault(array[i], path + "[" + std::to_string(i) + "]"));
        }
        return faults;
    }

    FaultRule Fault(const Json& object, const std::string& path) const {
        RequireObject(object, path);
        CheckKeys(object, path, {"card", "request", "builder", "nth", "repeat", "kind", "error"});
        FaultRule rule;
        const auto card = Text(object, path, "card", kMaxScenarioText);
        if (!card || card->empty()) {
            Fail(Join(path, "card"), std::string("required: a card name (\"") +
                                         wire::kCommunicationCard + "\" or another name)");
        }
        rule.communication = wire::IsCommunicationCard(*card);

        const auto request = Text(object, path, "request", kMaxScenarioText);
        if (!request) {
            Fail(Join(path, "request"), "required: a request type");
        }
        if (*request != "any") {
            rule.request = RequestType(*request, Join(path, "request"), true);
        }

        if (const auto builder = Text(object, path, "builder", kMaxScenarioText)) {
            rule.builder = BuilderOf(*builder, rule.communication, Join(path, "builder"));
        }
        rule.nth = static_cast<int>(
            Integer(object, path, "nth", 1, std::numeric_limits<std::int32_t>::max()).value_or(1));
        rule.repeat = Flag(object, path, "repeat").value_or(false);

        const auto kind = Text(object, path, "kind", kMaxScenarioText);
        if (!kind) {
            Fail(Join(path, "kind"), "required: one of " + std::string(kKindNames));
        }
        rule.kind = KindOf(*kind, Join(path, "kind"));

        const auto error = Integer(object, path, "error", std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max());
        if (error && rule.kind != FaultKind::Throw && rule.kind != FaultKind::Error) {
            Fail(Join(path, "error"), "only kinds \"throw\" and \"error\" take an error code");
        }
        if (!error && rule.kind == FaultKind::Error) {
            Fail(Join(path, "error"), "required for kind \"error\"");
        }
        rule.error = static_cast<std::int32_t>(error.value_or(1));
        return rule;
    }

    RandomFaults Random(const Json& object, const std::string& path) const {
        RequireObject(object, path);
        CheckKeys(object, path, {"probability", "seed"});
        const auto probability = object.find("probability");
        if (probability == object.end() || !probability->is_number() ||
            !(probability->get<double>() >= 0 && probability->get<double>() <= 1)) {
            Fail(Join(path, "probability"), "required: a number from 0 to 1");
        }
        const auto seed =
            Integer(object, path, "seed", 0, std::numeric_limits<std::int64_t>::max());
        if (!seed) {
            Fail(Join(path, "seed"), "required: an integer from 0");
        }
        return {probability->get<double>(), static_cast<std::uint64_t>(*seed)};
    }

    // Latencies by request type; two keys naming one type ("0x10" and "16") are refused.
    std::map<std::uint32_t, std::uint32_t> RequestLatencies(const Json& object,
                                                            const std::string& path) const {
        RequireObject(object, path);
        std::map<std::uint32_t, std::uint32_t> latencies;
        for (const auto& item : object.items()) {
            const std::string key = item.key();
            const std::uint32_t type = RequestType(key, Join(path, key), false);
            const auto latency = Integer(object, path, key.c_str(), 0, kMaxLatencyMs);
            if (!latencies.emplace(type, static_cast<std::uint32_t>(*latency)).second) {
                Fail(Join(path, key), "names the same request type as another key");
            }
        }
        return latencies;
    }

private:
    static constexpr const char* kKindNames =
        "\"throw\", \"error\", \"timeout\", \"short\", \"oversize\", \"disconnect\"";

    static std::string OutOfRange(std::int64_t low, std::int64_t high) {
        return "out of range [" + std::to_string(low) + ", " + std::to_string(high) + "]";
    }

    // A request type in hex ("0x...") or decimal; "any" is the caller's to handle.
    std::uint32_t RequestType(const std::string& text, const std::string& path,
                              bool anyAllowed) const {
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const size_t start = hex ? 2 : 0;
        const unsigned base = hex ? 16 : 10;
        if (text.size() == start || text.size() - start > 10) {
            Fail(path, std::string("expected a hexadecimal (0x...) or decimal request type") +
                           (anyAllowed ? ", or \"any\"" : ""));
        }
        std::uint64_t value = 0;
        for (size_t i = start; i < text.size(); ++i) {
            const char c = text[i];
            unsigned digit = base;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            }
            if (digit >= base) {
                Fail(path,
                     "\"" + text + "\" is not a " + (hex ? "hexadecimal" : "decimal") + " number");
            }
            value = value * base + digit;
        }
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            Fail(path, "\"" + text + "\" does not fit 32 bits");
        }
        return static_cast<std::uint32_t>(value);
    }

    Builder BuilderOf(const std::string& text, bool communication, const std::string& path) const {
        if (text == "reset") {
            return communication ? Builder::VsiReset : Builder::MsiReset;
        }
        if (text == "get" || text == "set") {
            if (!communication) {
                Fail(path, "\"" + text + "\" requests go to the communication module (\"" +
                               wire::kCommunicationCard + "\")");
            }
            return text == "get" ? Builder::VsiGetSerialNumber : Builder::VsiSetSerialNumber;
        }
        if (text == "details") {
            if (communication) {
                Fail(path, "\"details\" requests go to the measurement module");
            }
            return Builder::MsiGetCardDetails;
        }
        Fail(path, "unknown builder \"" + text +
                       "\" (expected \"get\", \"set\", \"reset\" or "
                       "\"details\")");
    }

    FaultKind KindOf(const std::string& text, const std::string& path) const {
        for (const auto& [name, kind] : kKinds) {
            if (text == name) {
                return kind;
            }
        }
        Fail(path, "unknown kind \"" + text + "\" (expected one of " + kKindNames + ")");
    }

    const std::string& m_name;
};

}  // namespace

const char* FaultKindName(FaultKind kind) {
    for (const auto& [name, known] : kKinds) {
        if (known == kind) {
            return name;
        }
    }
    return "?";
}

Scenario ParseScenario(std::string_view json, const std::string& name) {
    const ScenarioReader reader(name);
    Json document;
    try {
        document = Json::parse(json.begin(), json.end());
    } catch (const Json::exception& e) {
        // Syntax errors, and numbers too large for any number type (out_of_range).
        reader.Fail("", std::string("not valid JSON: ") + e.what());
    }
    reader.RequireObject(document, "");
    reader.CheckKeys(document, "",
                     {"communication", "measurement", "faults", "random_faults", "latency_ms",
                      "request_latency_ms"});
    Scenario scenario;
    if (const auto found = document.find("communication"); found != document.end()) {
        scenario.communication = reader.Communication(*found, "communication");
    }
    if (const auto found = document.find("measurement"); found != document.end()) {
        scenario.measurement = reader.Measurement(*found, "measurement");
    }
    if (const auto found = document.find("faults"); found != document.end()) {
        scenario.faults = reader.Faults(*found, "faults");
    }
    if (const auto found = document.find("random_faults"); found != document.end()) {
        scenario.randomFaults = reader.Random(*found, "random_faults");
    }
    scenario.latencyMs = static_cast<std::uint32_t>(
        reader.Integer(document, "", "latency_ms", 0, kMaxLatencyMs).value_or(0));
    if (const auto found = document.find("request_latency_ms"); found != document.end()) {
        scenario.requestLatencyMs = reader.RequestLatencies(*found, "request_latency_ms");
    }
    return scenario;
}

Scenario LoadScenarioFile(const std::string& path) {
    std::string reason;
    const std::optional<std::string> text = ReadFileText(path, kMaxScenarioFileBytes, reason);
    if (!text) {
        throw ScenarioError(path + ": (root): " + reason);
    }
    return ParseScenario(*text, path);
}

}  // namespace gwu::emu
