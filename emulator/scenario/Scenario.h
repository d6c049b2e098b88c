// The scenario file: the state the emulated devices start in and the faults they inject.
//
// A JSON object with five optional members; unknown members are refused at every level:
//   "communication": {"releases": {"loaded", "prom", "bootstrap", "cable": text},
//                     "cpld": {"revision": 0..4294967295} | {"error": non-zero integer},
//                     "serial", "stored_serial": text of at most 16 bytes,
//                     "ethernet_mac", "usb_mac": text of at most 12 bytes}
//   "measurement":   {"releases": {"loaded", "prom": text}, "serial": text}
//   "faults":        [{"card": text, "request": "0x..." or decimal text or "any",
//                      "builder": "get" | "set" | "reset" | "details" (optional),
//                      "nth": integer >= 1 (default 1), "repeat": bool (default false),
//                      "kind": "throw" | "error" | "timeout" | "short" | "oversize" | "disconnect",
//                      "error": integer (kind "error": required; kind "throw": default 1)}]
//   "latency_ms":    0..600000 (default 0), the time every request of either card takes
//   "request_latency_ms": {"0x..." or decimal request type: 0..600000}, overriding latency_ms
//                    for requests of that type on either card
//   "random_faults": {"probability": number in [0, 1], "seed": integer >= 0}, both required
// A member left out is an item the device does not answer. Texts keep every byte, "\u0000"
// included: a damaged character is a zero byte on the wire.
// The latency applies to requests only, never to connecting or selecting a card. A request
// whose latency is above its timeout times out after the timeout and changes nothing. A faulted
// request keeps its fault's outcome and waits its latency, at most its timeout; a timeout fault
// stays silent at once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "gatewayutils/wire/DeviceMessages.h"

namespace gwu::emu {

// A scenario file that cannot be used: names the file, the field and the reason.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Longest text a scenario may give a release; the devices' replies are far shorter.
constexpr size_t kMaxScenarioText = 1024;
constexpr size_t kMaxSerialBytes = 16;
constexpr size_t kMaxMacBytes = 12;
// Longest latency a scenario may give: far beyond any request's timeout.
constexpr std::uint32_t kMaxLatencyMs = 600000;
// Largest scenario file read.
constexpr size_t kMaxScenarioFileBytes = 1024 * 1024;

struct CpldState {
    enum class Kind : std::uint8_t { Missing, Revision, Error };
    Kind kind = Kind::Missing;
    std::uint32_t revision = 0;
    std::int32_t error = 0;
};

struct CommunicationState {
    std::optional<std::string> loaded;
    std::optional<std::string> prom;
    std::optional<std::string> bootstrap;
    std::optional<std::string> cable;
    CpldState cpld;
    // Each identity item exists in use and as the copy in storage.
    std::optional<std::string> serial;
    std::optional<std::string> storedSerial;
    std::optional<std::string> ethernetMac;
    std::optional<std::string> storedEthernetMac;
    std::optional<std::string> usbMac;
    std::optional<std::string> storedUsbMac;
};

struct MeasurementState {
    std::optional<std::string> loaded;
    std::optional<std::string> prom;
    std::optional<std::string> serial;
};

enum class FaultKind : std::uint8_t { Throw, Error, Timeout, Short, Oversize, Disconnect };

struct FaultRule {
    bool communication = true;             // the card "VCL"; false: the measurement module
    std::optional<std::uint32_t> request;  // matched against the request type; empty: any type
    std::optional<wire::Builder> builder;  // when set, only requests of this builder match
    int nth = 1;                           // 1-based count of matching requests
    bool repeat = false;                   // hit every matching request from the nth on
    FaultKind kind = FaultKind::Error;
    std::int32_t error = 1;  // Error: the error code; Throw: the exception code
};

// Faults at random, for long runs: each request of either card that no listed rule faults is
// faulted with the probability, its kind drawn evenly from the six ("throw" with exception code 1,
// "error" with error code 1). The draws come from a generator seeded with the seed, two for each
// such request, so the same seed and the same requests give the same faults on every platform.
struct RandomFaults {
    double probability = 0;
    std::uint64_t seed = 0;
};

// The scenario's name of a fault kind ("throw", "error", ...).
const char* FaultKindName(FaultKind kind);

struct Scenario {
    CommunicationState communication;
    MeasurementState measurement;
    std::vector<FaultRule> faults;
    std::optional<RandomFaults> randomFaults;
    std::uint32_t latencyMs = 0;                              // every request's
    std::map<std::uint32_t, std::uint32_t> requestLatencyMs;  // by request type, overriding it
};

// Throws ScenarioError "<name>: <field path>: <reason>" for anything it cannot use.
Scenario ParseScenario(std::string_view json, const std::string& name);
// Reads and parses a file; the path is the name in error messages.
Scenario LoadScenarioFile(const std::string& path);

}  // namespace gwu::emu
