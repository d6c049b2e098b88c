#include <limits>
#include <nlohmann/json.hpp>

#include "emulator/scenario/FileText.h"
#include "emulator/trace/Trace.h"
#include "emulator/trace/TraceNames.h"

namespace gwu::emu {

namespace {

using Json = nlohmann::ordered_json;
using namespace trace;

class LineReader {
public:
    LineReader(const std::string& name, size_t line, const Json& object)
        : m_where(name + ": line " + std::to_string(line)), m_object(object) {}

    [[noreturn]] void Fail(const std::string& field, const std::string& reason) const {
        throw TraceError(m_where + ": " + (field.empty() ? "" : field + ": ") + reason);
    }

    const Json& Member(const char* key) const {
        const auto found = m_object.find(key);
        if (found == m_object.end()) {
            Fail(key, "missing");
        }
        return *found;
    }

    std::string Text(const char* key) const {
        const Json& value = Member(key);
        if (!value.is_string()) {
            Fail(key, "expected a string");
        }
        return value.get<std::string>();
    }

    bool Flag(const char* key) const {
        const Json& value = Member(key);
        if (!value.is_boolean()) {
            Fail(key, "expected true or false");
        }
        return value.get<bool>();
    }

    std::int64_t Integer(const char* key, std::int64_t low, std::int64_t high) const {
        const Json& value = Member(key);
        if (!value.is_number_integer()) {
            Fail(key, "expected an integer");
        }
        // Read as the type that holds it: a large unsigned value must not wrap into range.
        if (value.is_number_unsigned()) {
            const auto number = value.get<std::uint64_t>();
            if (number > static_cast<std::uint64_t>(high)) {
                Fail(key, "out of range");
            }
            return static_cast<std::int64_t>(number);
        }
        const auto number = value.get<std::int64_t>();
        if (number < low || number > high) {
            Fail(key, "out of range");
        }
        return number;
    }

    std::int32_t Int32(const char* key) const {
        return static_cast<std::int32_t>(Integer(key, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
    }

    std::uint32_t Uint32(const char* key) const {
        return static_cast<std::uint32_t>(
            Integer(key, 0, std::numeric_limits<std::uint32_t>::max()));
    }

    std::string Bytes(const char* key) const {
        const std::string text = Text(key);
        if (text.size() % 2 != 0) {
            Fail(key, "hex text of odd length");
        }
        std::string bytes;
        bytes.reserve(text.size() / 2);
        for (size_t i = 0; i < text.size(); i += 2) {
            const int high = Digit(text[i]);
            const int low = Digit(text[i + 1]);
            if (high < 0 || low < 0) {
                Fail(key, "not hex");
            }
            bytes.push_back(static_cast<char>(high * 16 + low));
        }
        if (bytes.size() > wire::kMaxFramePayload) {
            Fail(key, "more bytes than a frame holds");
        }
        return bytes;
    }

    // A card name: code points up to U+00FF, each one byte.
    std::string Card(const char* key) const {
        const std::string text = Text(key);
        std::string bytes;
        for (size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte < 0x80) {
                bytes.push_back(text[i]);
            } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < text.size()) {
                const auto next = static_cast<unsigned char>(text[++i]);
                bytes.push_back(static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F)));
            } else {
                Fail(key, "a character above U+00FF");
            }
        }
        if (bytes.size() > wire::kMaxFramePayload) {
            Fail(key, "longer than a frame holds");
        }
        return bytes;
    }

    template <typename Enum, size_t N>
    Enum Named(const char* key, const std::pair<Enum, const char*> (&table)[N]) const {
        const std::string text = Text(key);
        for (const auto& entry : table) {
            if (text == entry.second) {
                return entry.first;
            }
        }
        Fail(key, "unknown value \"" + text + "\"");
    }

private:
    static int Digit(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    }

    std::string m_where;
    const Json& m_object;
};

TraceHeader ReadHeader(const LineReader& reader) {
    if (reader.Text("format") != kTraceFormat) {
        reader.Fail("format", std::string("not a trace (expected \"") + kTraceFormat + "\")");
    }
    TraceHeader header;
    header.version = static_cast<int>(reader.Integer("version", 0, 1000000));
    if (header.version != kTraceVersion) {
        reader.Fail("version", "version " + std::to_string(header.version) +
                                   " is not known to this tool (it reads version " +
                                   std::to_string(kTraceVersion) + ")");
    }
    header.tool = reader.Text("tool");
    header.upstream = reader.Text("upstream");
    header.recorded = reader.Text("recorded");
    return header;
}

TraceExchange ReadExchange(const LineReader& reader, std::uint64_t expectedPosition) {
    TraceExchange exchange;
    exchange.position = static_cast<std::uint64_t>(
        reader.Integer("n", 1, std::numeric_limits<std::int64_t>::max()));
    if (exchange.position != expectedPosition) {
        reader.Fail("n", "expected exchange " + std::to_string(expectedPosition));
    }
    wire::ClientMessage& message = exchange.message;
    message.kind = reader.Named("message", kMessages);
    if (message.kind == wire::MessageKind::SelectCard) {
        message.cardName = reader.Card("card");
    } else if (message.kind == wire::MessageKind::Execute) {
        wire::Request& request = message.request;
        request.builder = reader.Named("builder", kBuilders);
        const std::string type = reader.Text("type");
        char* end = nullptr;
        const unsigned long long value = std::strtoull(type.c_str(), &end, 16);
        if (type.size() != 10 || type.compare(0, 2, "0x") != 0 || *end != '\0' ||
            value > 0xFFFFFFFFull) {
            reader.Fail("type", "expected 0x and eight hex digits");
        }
        request.type = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        request.flags = reader.Int32("flags");
        request.capacity = reader.Int32("capacity");
        request.timeoutMs = reader.Uint32("timeout_ms");
        request.data = reader.Bytes("data");
    }
    exchange.result = reader.Named("result", kResults);
    if (exchange.result == TraceResult::Answer) {
        if (message.kind == wire::MessageKind::Execute) {
            wire::Response& response = exchange.response;
            response.outcome = reader.Named("outcome", kOutcomes);
            response.error = reader.Int32("error");
            response.exceptionCode = reader.Int32("exception");
            if (!reader.Member("claimed").is_null()) {
                response.claimedLength = reader.Int32("claimed");
            }
            response.bytes = reader.Bytes("bytes");
        } else {
            exchange.flag = reader.Flag("flag");
        }
    } else if (exchange.result == TraceResult::Malformed) {
        exchange.reply = reader.Bytes("reply");
    }
    exchange.elapsedMs = reader.Uint32("elapsed_ms");
    return exchange;
}

}  // namespace

Trace ParseTrace(std::string_view text, const std::string& name) {
    Trace trace;
    size_t lineNumber = 0;
    bool haveHeader = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const bool lastLine = end == std::string_view::npos;
        std::string_view line = text.substr(0, lastLine ? text.size() : end);
        text.remove_prefix(lastLine ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);  // a trace that went through a text-mode copy
        }
        if (line.empty()) {
            continue;
        }
        Json object;
        try {
            object = Json::parse(line);
        } catch (const Json::exception& e) {
            if (lastLine && haveHeader) {
                break;  // the recorder died while writing its last line
            }
            throw TraceError(name + ": line " + std::to_string(lineNumber) + ": not JSON (" +
                             e.what() + ")");
        }
        if (!object.is_object()) {
            throw TraceError(name + ": line " + std::to_string(lineNumber) +
                             ": expected an object");
        }
        const LineReader reader(name, lineNumber, object);
        if (!haveHeader) {
            trace.header = ReadHeader(reader);
            haveHeader = true;
        } else {
            trace.exchanges.push_back(ReadExchange(reader, trace.exchanges.size() + 1));
        }
    }
    if (!haveHeader) {
        throw TraceError(name + ": empty, not a trace");
    }
    return trace;
}

Trace LoadTraceFile(const std::string& path) {
    std::string reason;
    const std::optional<std::string> text = ReadFileText(path, kMaxTraceFileBytes, reason);
    if (!text) {
        throw TraceError(path + ": " + reason);
    }
    return ParseTrace(*text, path);
}

}  // namespace gwu::emu
