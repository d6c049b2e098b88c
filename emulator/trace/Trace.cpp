#include "emulator/trace/Trace.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "emulator/trace/TraceNames.h"

namespace gwu::emu {

namespace trace {

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

}  // namespace trace

namespace {

using Json = nlohmann::ordered_json;
using namespace trace;

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

namespace {

// Why a trace cannot be created at the path, or empty when nothing speaks against trying. A FIFO
// is refused here: opening one would wait for a reader.
std::string WhyNotCreatable(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status)) {
        return "is a folder, not a file";
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        return "is not a regular file";
    }
    const fs::path folder = fs::path(path).parent_path();
    if (!fs::exists(status) && !folder.empty() && !fs::is_directory(folder, error)) {
        return "the folder " + folder.string() + " does not exist";
    }
    return {};
}

}  // namespace

TraceWriter::TraceWriter(const std::string& path, const TraceHeader& header) : m_path(path) {
    std::string reason = WhyNotCreatable(path);
    if (reason.empty()) {
        errno = 0;
        m_file.open(path, std::ios::binary | std::ios::trunc);
        if (!m_file) {
            reason = errno != 0 ? std::generic_category().message(errno) : "cannot be opened";
        }
    }
    if (reason.empty() && (!(m_file << TraceHeaderLine(header) << '\n') || !m_file.flush())) {
        reason = "the first line cannot be written";
    }
    if (!reason.empty()) {
        throw TraceError(path + ": cannot be written: " + reason);
    }
}

bool TraceWriter::Write(const TraceExchange& exchange) {
    m_file << TraceExchangeLine(exchange) << '\n';
    m_file.flush();
    return static_cast<bool>(m_file);
}

}  // namespace gwu::emu
