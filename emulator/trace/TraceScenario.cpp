#include "emulator/trace/TraceScenario.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>

#include "emulator/model/CommunicationModule.h"
#include "emulator/model/DeviceReplies.h"
#include "emulator/model/FaultInjector.h"
#include "emulator/model/MeasurementModule.h"
#include "emulator/scenario/Scenario.h"
#include "platform/DeviceRequests.h"
#include "wire/Cards.h"
#include "wire/CommsFailures.h"

namespace gwu::emu {

namespace {

using Json = nlohmann::ordered_json;  // the members in the order the scenario file documents

// The name a fault of the measurement module gets when the session selected it by no usable
// name (or not at all): any name but the communication module's selects that module.
constexpr const char* kMeasurementCard = "QPT";
constexpr size_t kCpldBytes = 4;
constexpr char kOversizePad = '#';  // what an oversize fault pads the device's reply with

constexpr int kStorage = VSI_READ_FROM_STORAGE;
constexpr int kEthernet = VSI_ETHERNET_MAC;
constexpr int kUsb = VSI_USB_MAC;

// An item a read answers, and where the scenario holds it: the requests of its card's reading
// builder with its type and, of the flags in the mask, exactly its flags. A MAC address read
// from storage is the one in use: a scenario starts both alike.
struct ItemRead {
    bool communication;
    int type;
    int flags;
    int mask;
    const char* group;  // "releases", or null for a member of the card's own object
    const char* key;
    size_t maxBytes;
};
constexpr ItemRead kItems[] = {
    {true, VSI_GET_LOADED_CODE_RELEASE, 0, 0, "releases", "loaded", kMaxScenarioText},
    {true, VSI_GET_PROM_RELEASE, 0, 0, "releases", "prom", kMaxScenarioText},
    {true, VSI_GET_BOOTSTRAP_RELEASE, 0, 0, "releases", "bootstrap", kMaxScenarioText},
    {true, VSI_GET_CABLE_FIRMWARE_RELEASE, 0, 0, "releases", "cable", kMaxScenarioText},
    {true, VSI_GET_CPLD_REVISION, 0, 0, nullptr, "cpld", kCpldBytes},
    {true, VSI_GET_CARD_SERIAL_NUM, 0, kStorage, nullptr, "serial", kMaxSerialBytes},
    {true, VSI_GET_CARD_SERIAL_NUM, kStorage, kStorage, nullptr, "stored_serial", kMaxSerialBytes},
    {true, VSI_GET_MAC_ADDRESS, kEthernet, kEthernet | kUsb, nullptr, "ethernet_mac", kMaxMacBytes},
    {true, VSI_GET_MAC_ADDRESS, kUsb, kEthernet | kUsb, nullptr, "usb_mac", kMaxMacBytes},
    {false, MSI_DETAIL_LOADED_CODE_RELEASE, 0, 0, "releases", "loaded", kMaxScenarioText},
    {false, MSI_DETAIL_PROM_RELEASE, 0, 0, "releases", "prom", kMaxScenarioText},
    {false, MSI_DETAIL_SERIAL_NUM, 0, 0, nullptr, "serial", kMaxScenarioText},
};
constexpr size_t kItemCount = sizeof kItems / sizeof kItems[0];
constexpr size_t kCpld = 4;  // the CPLD revision: four bytes, not a text
static_assert(kItems[kCpld].type == VSI_GET_CPLD_REVISION);

// The index in kItems of the item a request reads from the card it goes to, if it reads one.
std::optional<size_t> ItemOf(const Request& request, bool communication) {
    const Builder reading =
        communication ? Builder::VsiGetSerialNumber : Builder::MsiGetCardDetails;
    for (size_t i = 0; i < kItemCount && request.builder == reading; ++i) {
        const ItemRead& item = kItems[i];
        if (item.communication == communication && item.type == request.type &&
            (request.flags & item.mask) == item.flags) {
            return i;
        }
    }
    return std::nullopt;
}

// How a request changes a device, whichever card it goes to; null for one that only reads.
const char* ChangeOf(const Request& request) {
    switch (request.builder) {
        case Builder::VsiSetSerialNumber:
            return "a write";
        case Builder::VsiReset:
        case Builder::MsiReset:
            return "a reset";
        case Builder::VsiGetSerialNumber:
            return request.type == VSI_UPDATE_FIRMWARE || request.type == VSI_UPDATE_CABLE_FIRMWARE
                       ? "an update"
                       : nullptr;
        case Builder::MsiGetCardDetails:
            return request.type == MSI_DETAIL_UPDATE_PROM ? "an update" : nullptr;
    }
    return nullptr;
}

// The answer as the emulator would give it: the trace's results other than an answer are the
// outcomes the emulator ends a request with.
Response Recorded(const TraceExchange& exchange) {
    Response response = exchange.result == TraceResult::Answer ? exchange.response : Response{};
    response.delayMs = 0;
    if (exchange.result == TraceResult::Timeout) {
        response.outcome = Outcome::Timeout;
    } else if (exchange.result == TraceResult::Dropped) {
        response.outcome = Outcome::Disconnect;
    } else if (exchange.result == TraceResult::Malformed) {
        response.outcome = Outcome::Throw;
        response.exceptionCode = wire::kCommsMalformed;  // what a host's connection reports
    }
    return response;
}

// Whether two answers reach the host alike: a timeout and a drop carry nothing more.
bool Same(const Response& a, const Response& b) {
    if (a.outcome != b.outcome) {
        return false;
    }
    if (a.outcome == Outcome::Timeout || a.outcome == Outcome::Disconnect) {
        return true;
    }
    return a.error == b.error && a.bytes == b.bytes && a.claimedLength == b.claimedLength &&
           a.exceptionCode == b.exceptionCode;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && text.compare(0, start.size(), start) == 0;
}

// A scenario's texts are JSON strings: UTF-8.
bool IsUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

// The card a fault names: the name the session selected it by, when a scenario can hold it.
std::string CardName(const std::string& selected, bool communication) {
    if (communication) {
        return wire::kCommunicationCard;
    }
    const bool usable =
        !selected.empty() && selected.size() <= kMaxScenarioText && IsUtf8(selected);
    return usable ? selected : kMeasurementCard;
}

std::string Hex(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// What the reads showed of an item.
struct Known {
    std::optional<std::string> bytes;  // its start, or all of it when whole
    bool whole = false;
    std::uint64_t from = 0;  // the exchange that showed the most
    bool empty = false;  // an empty reply: the item, unless a read shows more (then a short one)
    // What an oversize reply showed: used only when no other read answered the item.
    std::optional<std::string> padded;
    std::optional<std::int32_t> cpldError;  // the CPLD's first error other than 5
};

// Adds bytes a read showed; false when they contradict what earlier reads showed.
bool Merge(std::optional<std::string>& bytes, bool& whole, std::uint64_t& from,
           const std::string& shown, bool shownWhole, std::uint64_t position) {
    bool agree = true;
    bool take = !bytes;
    if (bytes && whole && shownWhole) {
        agree = *bytes == shown;
    } else if (bytes && whole) {
        agree = StartsWith(*bytes, shown);
    } else if (bytes && shownWhole) {
        agree = take = StartsWith(shown, *bytes);
    } else if (bytes) {
        agree = StartsWith(*bytes, shown) || StartsWith(shown, *bytes);
        take = shown.size() > bytes->size();
    }
    if (agree && take) {
        bytes = shown;
        whole = shownWhole;
        from = position;
    }
    return agree;
}

class Converter {
public:
    explicit Converter(const Trace& trace) : m_trace(trace) {}

    std::string Run() {
        std::optional<std::string> refusal;
        const size_t end = Learn(refusal);
        Json document = Devices();
        // The devices as the emulator loads them: their answers are the ones to compare with.
        const Scenario devices = ParseScenario(document.dump(), "the devices read");
        const Json faults = Faults(end, devices);  // throws for an exchange before the end
        if (refusal) {
            throw TraceError(*refusal);
        }
        if (!faults.empty()) {
            document["faults"] = faults;
        }
        return document.dump(2) + "\n";
    }

private:
    static std::string Refuse(const TraceExchange& exchange, const std::string& why) {
        return Named(exchange) + " cannot be expressed in a scenario (" + why + ")";
    }
    static std::string Named(const TraceExchange& exchange) {
        return "exchange " + std::to_string(exchange.position) + ": " +
               DescribeMessage(exchange.message);
    }

    // Reads the items the session's replies show, up to the first exchange that cannot be
    // expressed (whose refusal is set). Returns the number of exchanges read.
    size_t Learn(std::optional<std::string>& refusal) {
        bool communication = false;
        for (size_t i = 0; i < m_trace.exchanges.size(); ++i) {
            const TraceExchange& exchange = m_trace.exchanges[i];
            const wire::ClientMessage& message = exchange.message;
            // Every selection counts, whatever its result: the emulator takes each one it gets.
            if (message.kind == wire::MessageKind::SelectCard) {
                communication = wire::IsCommunicationCard(message.cardName);
            }
            if (message.kind != wire::MessageKind::Execute) {
                continue;
            }
            if (const char* change = ChangeOf(message.request)) {
                refusal = Named(exchange) + " (" + change +
                          ") cannot be expressed in a scenario; --scenario-from is for a session "
                          "that only read the device";
                return i;
            }
            const auto item = ItemOf(message.request, communication);
            if (!item || exchange.result != TraceResult::Answer) {
                continue;
            }
            const std::string why = Show(*item, message.request, exchange);
            if (!why.empty()) {
                refusal = Refuse(exchange, why);
                return i;
            }
        }
        return m_trace.exchanges.size();
    }

    // What one answered read shows of its item; the reason it cannot be expressed, or empty.
    std::string Show(size_t index, const Request& request, const TraceExchange& exchange) {
        const Response& response = exchange.response;
        Known& known = m_known[index];
        const size_t maxBytes = kItems[index].maxBytes;
        const bool cpld = index == kCpld;
        const size_t room = cpld ? std::min(kCpldBytes, Room(request)) : Room(request);
        if (response.outcome != Outcome::Reply) {
            return {};
        }
        if (response.error != 0) {
            const bool silent = response.bytes.empty() && !response.claimedLength;
            if (cpld && silent && response.error != kErrorNotAvailable && !known.cpldError) {
                known.cpldError = response.error;
            }
            return {};
        }
        if (response.claimedLength) {
            // An oversize reply: the item's start, then the padding.
            if (response.bytes.size() > room && !known.padded) {
                std::string shown = response.bytes.substr(0, room);
                shown.erase(shown.find_last_not_of(kOversizePad) + 1);
                const bool fits = cpld ? shown.size() == room : shown.size() <= maxBytes;
                if (!shown.empty() && fits && IsUtf8(shown)) {
                    known.padded = shown;
                }
            }
            return {};
        }
        const std::string& shown = response.bytes;
        // Fewer bytes than the room is the whole item; as many, its start. A CPLD answers its
        // four bytes, cut to the room. Any other answer is left to the faults.
        if (cpld ? shown.size() != room : shown.size() > room) {
            return {};
        }
        if (shown.empty()) {
            known.empty = true;
            return {};
        }
        if (shown.size() > maxBytes) {
            return "it answered " + std::to_string(shown.size()) + " bytes, more than the " +
                   std::to_string(maxBytes) + " a scenario holds for the item";
        }
        if (!IsUtf8(shown)) {
            return "it answered bytes that are not UTF-8 text, and a scenario's texts are";
        }
        const std::uint64_t before = known.from;
        const bool whole = cpld ? shown.size() == kCpldBytes : shown.size() < room;
        if (!Merge(known.bytes, known.whole, known.from, shown, whole, exchange.position)) {
            const bool mac = (kItems[index].mask & kEthernet) != 0;
            return "it answered other bytes than exchange " + std::to_string(before) +
                   " to a read of the same item, and " +
                   (mac ? "a scenario starts a MAC address alike in use and in storage"
                        : "nothing changed the item in between");
        }
        return {};
    }

    // The scenario's devices as the reads showed them.
    Json Devices() const {
        Json document = Json::object();
        for (size_t i = 0; i < kItemCount; ++i) {
            const Known& known = m_known[i];
            std::optional<std::string> bytes = known.bytes ? known.bytes : known.padded;
            if (!bytes && known.empty) {
                bytes = std::string();
            }
            Json value;
            if (i == kCpld && bytes) {
                std::uint32_t revision = 0;  // little-endian, the bytes not shown zero
                for (size_t b = 0; b < bytes->size(); ++b) {
                    revision |= std::uint32_t{static_cast<unsigned char>((*bytes)[b])} << (8 * b);
                }
                value = {{"revision", revision}};
            } else if (i == kCpld && known.cpldError) {
                value = {{"error", *known.cpldError}};
            } else if (i != kCpld && bytes) {
                value = *bytes;
            } else {
                continue;
            }
            const ItemRead& item = kItems[i];
            Json& card = document[item.communication ? "communication" : "measurement"];
            (item.group ? card[item.group] : card)[item.key] = std::move(value);
        }
        return document;
    }

    // The faults that turn the devices' answers into the recorded ones, for the exchanges
    // before the end; throws TraceError for an answer that no fault gives.
    Json Faults(size_t end, const Scenario& devices) const {
        CommunicationModule communicationModule(devices.communication, {});
        MeasurementModule measurementModule(devices.measurement, {});
        std::map<std::pair<bool, std::int32_t>, int> counts;  // requests by card and type
        Json faults = Json::array();
        std::string card;
        for (size_t i = 0; i < end; ++i) {
            const TraceExchange& exchange = m_trace.exchanges[i];
            const wire::ClientMessage& message = exchange.message;
            if (message.kind == wire::MessageKind::SelectCard) {
                card = message.cardName;
            }
            if (message.kind != wire::MessageKind::Execute) {
                continue;
            }
            const Request& request = message.request;
            const bool communication = wire::IsCommunicationCard(card);
            const int nth = ++counts[{communication, request.type}];
            // Reads change nothing but the device string last sent, which no answer shows.
            const Response normal = communication ? communicationModule.Execute(request)
                                                  : measurementModule.Execute(request);
            const Response recorded = Recorded(exchange);
            if (Same(normal, recorded)) {
                continue;
            }
            const auto fault = FaultFor(request, normal, recorded);
            if (!fault) {
                throw TraceError(Refuse(exchange,
                                        "neither the device nor any fault of the emulator gives "
                                        "its answer"));
            }
            Json entry;
            entry["card"] = CardName(card, communication);
            entry["request"] = Hex(static_cast<std::uint32_t>(request.type));
            entry["nth"] = nth;
            entry["kind"] = FaultKindName(fault->kind);
            if (fault->kind == FaultKind::Error || fault->kind == FaultKind::Throw) {
                entry["error"] = fault->error;
            }
            faults.push_back(std::move(entry));
        }
        return faults;
    }

    // The fault whose answer to the request is the recorded one, computed as the emulator does.
    static std::optional<FaultRule> FaultFor(const Request& request, const Response& normal,
                                             const Response& recorded) {
        FaultRule rule;
        for (const FaultKind kind : {FaultKind::Short, FaultKind::Error, FaultKind::Oversize,
                                     FaultKind::Throw, FaultKind::Timeout, FaultKind::Disconnect}) {
            rule.kind = kind;
            rule.error = kind == FaultKind::Throw ? recorded.exceptionCode : recorded.error;
            if (Same(FaultInjector::Answer(rule, request, [&] { return normal; }), recorded)) {
                return rule;
            }
        }
        return std::nullopt;
    }

    const Trace& m_trace;
    std::array<Known, kItemCount> m_known;
};

}  // namespace

std::string ScenarioFromTrace(const Trace& trace) {
    return Converter(trace).Run();
}

}  // namespace gwu::emu
