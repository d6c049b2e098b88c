#include "emulator/Trace.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace gwu::emu {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::pair<wire::Builder, const char*> kBuilders[] = {
    {wire::Builder::VsiReset, "vsi_reset"},
    {wire::Builder::MsiReset, "msi_reset"},
    {wire::Builder::VsiGetSerialNumber, "vsi_get"},
    {wire::Builder::MsiGetCardDetails, "msi_details"},
    {wire::Builder::VsiSetSerialNumber, "vsi_set"}};

constexpr std::pair<wire::Outcome, const char*> kOutcomes[] = {
    {wire::Outcome::Reply, "reply"},
    {wire::Outcome::Throw, "throw"},
    {wire::Outcome::Timeout, "timeout"},
    {wire::Outcome::Disconnect, "disconnect"}};

constexpr std::pair<TraceResult, const char*> kResults[] = {{TraceResult::Answer, "answer"},
                                                            {TraceResult::Timeout, "timeout"},
                                                            {TraceResult::Dropped, "dropped"},
                                                            {TraceResult::Malformed, "malformed"}};

constexpr std::pair<wire::MessageKind, const char*> kMessages[] = {
    {wire::MessageKind::Connect, "connect"},
    {wire::MessageKind::Disconnect, "disconnect"},
    {wire::MessageKind::SelectCard, "select"},
    {wire::MessageKind::Execute, "execute"}};

template <typename Enum, size_t N>
const char* NameOf(const std::pair<Enum, const char*> (&table)[N], Enum value) {
    for (const auto& entry : table) {
        if (entry.first == value) {
            return entry.second;
        }
    }
    return "?";
}

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::string HexWord(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Every byte as the code point of the same value, so that any card name survives JSON's UTF-8.
std::string BytesAsText(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

std::string Quoted(std::string_view bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        } else {
            text.push_back(c);
        }
    }
    return text + "\"";
}

// Reads one line's object; every failure names the line and the field.
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

std::string TraceTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto seconds = duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar), free of the C
    // library's calls that are not thread-safe.
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];  // room for any value the arithmetic can give, as the compiler checks
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                  rest / 3600, rest / 60 % 60, rest % 60);
    return text;
}

std::string ReplyPayload(const TraceExchange& exchange) {
    if (exchange.result == TraceResult::Malformed) {
        return exchange.reply;
    }
    const std::string frame = exchange.message.kind == wire::MessageKind::Execute
                                  ? wire::EncodeResponse(exchange.response)
                                  : wire::EncodeFlag(exchange.flag);
    return frame.substr(4);
}

std::string TraceHeaderLine(const TraceHeader& header) {
    Json line;
    line["format"] = kTraceFormat;
    line["version"] = header.version;
    line["tool"] = BytesAsText(header.tool);
    line["upstream"] = BytesAsText(header.upstream);
    line["recorded"] = BytesAsText(header.recorded);
    return line.dump();
}

std::string TraceExchangeLine(const TraceExchange& exchange) {
    Json line;
    line["n"] = exchange.position;
    const wire::ClientMessage& message = exchange.message;
    line["message"] = NameOf(kMessages, message.kind);
    if (message.kind == wire::MessageKind::SelectCard) {
        line["card"] = BytesAsText(message.cardName);
    } else if (message.kind == wire::MessageKind::Execute) {
        const wire::Request& request = message.request;
        line["builder"] = NameOf(kBuilders, request.builder);
        line["type"] = HexWord(request.type);
        line["flags"] = request.flags;
        line["capacity"] = request.capacity;
        line["timeout_ms"] = request.timeoutMs;
        line["data"] = Hex(request.data);
    }
    line["result"] = NameOf(kResults, exchange.result);
    if (exchange.result == TraceResult::Answer) {
        if (message.kind == wire::MessageKind::Execute) {
            const wire::Response& response = exchange.response;
            line["outcome"] = NameOf(kOutcomes, response.outcome);
            line["error"] = response.error;
            line["exception"] = response.exceptionCode;
            line["claimed"] = response.claimedLength ? Json(*response.claimedLength) : Json();
            line["bytes"] = Hex(response.bytes);
        } else {
            line["flag"] = exchange.flag;
        }
    } else if (exchange.result == TraceResult::Malformed) {
        line["reply"] = Hex(exchange.reply);
    }
    line["elapsed_ms"] = exchange.elapsedMs;
    return line.dump();
}

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
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw TraceError(path + ": cannot be opened");
    }
    std::string text;
    char chunk[65536];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(file.gcount()));
        if (text.size() > kMaxTraceFileBytes) {
            throw TraceError(path + ": larger than " + std::to_string(kMaxTraceFileBytes) +
                             " bytes");
        }
    }
    if (file.bad()) {
        throw TraceError(path + ": read failed");
    }
    return ParseTrace(text, path);
}

std::string DescribeMessage(const wire::ClientMessage& message) {
    switch (message.kind) {
        case wire::MessageKind::Connect:
        case wire::MessageKind::Disconnect:
            return NameOf(kMessages, message.kind);
        case wire::MessageKind::SelectCard:
            return "select card " + Quoted(message.cardName);
        case wire::MessageKind::Execute:
            break;
    }
    const wire::Request& request = message.request;
    std::ostringstream text;
    text << "execute " << NameOf(kBuilders, request.builder) << " " << HexWord(request.type)
         << " flags " << request.flags << " capacity " << request.capacity << " timeout "
         << request.timeoutMs << " ms, " << request.data.size() << " data bytes";
    return text.str();
}

std::string FirstDifference(const wire::ClientMessage& expected,
                            const wire::ClientMessage& received) {
    if (expected.kind != received.kind) {
        return std::string("message: ") + NameOf(kMessages, expected.kind) + " against " +
               NameOf(kMessages, received.kind);
    }
    if (expected.kind == wire::MessageKind::SelectCard) {
        return expected.cardName == received.cardName
                   ? std::string()
                   : "card: " + Quoted(expected.cardName) + " against " + Quoted(received.cardName);
    }
    if (expected.kind != wire::MessageKind::Execute) {
        return {};
    }
    const wire::Request& a = expected.request;
    const wire::Request& b = received.request;
    if (a.builder != b.builder) {
        return std::string("builder: ") + NameOf(kBuilders, a.builder) + " against " +
               NameOf(kBuilders, b.builder);
    }
    if (a.type != b.type) {
        return "type: " + HexWord(a.type) + " against " + HexWord(b.type);
    }
    if (a.flags != b.flags) {
        return "flags: " + std::to_string(a.flags) + " against " + std::to_string(b.flags);
    }
    if (a.capacity != b.capacity) {
        return "capacity: " + std::to_string(a.capacity) + " against " + std::to_string(b.capacity);
    }
    if (a.timeoutMs != b.timeoutMs) {
        return "timeout: " + std::to_string(a.timeoutMs) + " ms against " +
               std::to_string(b.timeoutMs) + " ms";
    }
    for (size_t i = 0; i < a.data.size() && i < b.data.size(); ++i) {
        if (a.data[i] != b.data[i]) {
            char text[64];
            std::snprintf(text, sizeof text, "data byte %zu: 0x%02X against 0x%02X", i,
                          static_cast<unsigned char>(a.data[i]),
                          static_cast<unsigned char>(b.data[i]));
            return text;
        }
    }
    if (a.data.size() != b.data.size()) {
        return "data: " + std::to_string(a.data.size()) + " bytes against " +
               std::to_string(b.data.size());
    }
    return {};
}

TraceWriter::TraceWriter(const std::string& path, const TraceHeader& header)
    : m_path(path), m_file(path, std::ios::binary | std::ios::trunc) {
    if (!m_file || !(m_file << TraceHeaderLine(header) << '\n') || !m_file.flush()) {
        throw TraceError(path + ": cannot be written");
    }
}

bool TraceWriter::Write(const TraceExchange& exchange) {
    m_file << TraceExchangeLine(exchange) << '\n';
    m_file.flush();
    return static_cast<bool>(m_file);
}

}  // namespace gwu::emu
