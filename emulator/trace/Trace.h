// A recorded gateway session: every message a client sent and what came back, in order.
//
// The file is JSON Lines ("\n" line ends), written and flushed one line at a time, so a
// recorder that is killed leaves every exchange it finished. The first line is the header:
//   {"format":"gwemu-trace","version":1,"tool":"gwemu 0.1.0","upstream":"tcp://HOST:PORT",
//    "recorded":"2026-12-07T02:30:00Z"}
// Every further line is one exchange, numbered from 1:
//   {"n":1,"message":"connect","result":"answer","flag":true,"elapsed_ms":0}
//   {"n":2,"message":"select","card":"VCL","result":"answer","flag":true,"elapsed_ms":0}
//   {"n":3,"message":"execute","builder":"vsi_get","type":"0x00000101","flags":0,
//    "capacity":64,"timeout_ms":2000,"data":"","result":"answer","outcome":"reply","error":0,
//    "exception":0,"claimed":null,"bytes":"4B4C454D","elapsed_ms":2}
//   {"n":4,"message":"execute",...,"result":"timeout","elapsed_ms":2000}
// Messages: "connect", "disconnect", "select" (with "card"), "execute" (with the request:
// "builder" one of vsi_reset, msi_reset, vsi_get, msi_details, vsi_set; "type" in hex; "flags",
// "capacity", "timeout_ms"; "data" in hex). Results:
//   "answer"     the reply came: "flag" for connect, disconnect and select; for execute
//                "outcome" (reply, throw, timeout, disconnect), "error", "exception",
//                "claimed" (the length the device claimed, or null) and "bytes" in hex
//   "timeout"    nothing came back within the request's wait
//   "dropped"    the connection closed instead (or the gateway could not be reached)
//   "malformed"  a reply came that does not decode: "reply" holds its payload in hex
// "elapsed_ms" is the time from the message to its result. Bytes are upper-case hex; a card
// name keeps every byte (bytes above 0x7F are written as the characters U+0080 to U+00FF).
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "gatewayutils/wire/Protocol.h"

namespace gwu::emu {

constexpr const char* kTraceFormat = "gwemu-trace";
constexpr int kTraceVersion = 1;
// Largest trace file read; a day of a busy tester's sessions is far smaller.
constexpr size_t kMaxTraceFileBytes = 64 * 1024 * 1024;

// A trace that cannot be used: names the file, the line and the reason.
class TraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TraceResult : std::uint8_t { Answer, Timeout, Dropped, Malformed };

struct TraceExchange {
    std::uint64_t position = 0;  // 1 for the first exchange
    wire::ClientMessage message;
    TraceResult result = TraceResult::Answer;
    bool flag = false;        // Answer to connect, disconnect, select
    wire::Response response;  // Answer to execute (delayMs unused)
    std::string reply;        // Malformed: the payload as received
    std::uint32_t elapsedMs = 0;
};

struct TraceHeader {
    int version = kTraceVersion;
    std::string tool;
    std::string upstream;
    std::string recorded;  // UTC, ISO 8601
};

struct Trace {
    TraceHeader header;
    std::vector<TraceExchange> exchanges;
};

// A time as the header's "recorded" holds it: UTC, "YYYY-MM-DDTHH:MM:SSZ".
std::string TraceTimestamp(std::chrono::system_clock::time_point time);

// The reply payload an exchange's answer was (for Answer and Malformed), as the server sends it.
std::string ReplyPayload(const TraceExchange& exchange);

// One line of the file, without its line end.
std::string TraceHeaderLine(const TraceHeader& header);
std::string TraceExchangeLine(const TraceExchange& exchange);

// Reads a whole trace. The name is used in error messages. A last line cut short (a recorder
// killed in the middle of a write) is left out; any other malformed line throws TraceError
// "<name>: line N: <reason>".
Trace ParseTrace(std::string_view text, const std::string& name);
Trace LoadTraceFile(const std::string& path);

// A message for people: "execute vsi_get 0x00000101 flags 0 capacity 64 timeout 2000 ms, 0
// data bytes", "select card \"VCL\"", "connect".
std::string DescribeMessage(const wire::ClientMessage& message);
// The first field in which two messages differ ("card: \"VCL\" against \"QPT\"", "data byte 3:
// 0x41 against 0x42"); empty when they are the same.
std::string FirstDifference(const wire::ClientMessage& expected,
                            const wire::ClientMessage& received);

// Appends lines to a trace file and flushes each one. Throws TraceError "PATH: cannot be written:
// REASON" when the file cannot be created (its folder missing, a folder or FIFO in its place, no
// permission); Write reports a failed write by its result.
class TraceWriter {
public:
    TraceWriter(const std::string& path, const TraceHeader& header);
    bool Write(const TraceExchange& exchange);

private:
    std::string m_path;
    std::ofstream m_file;
};

}  // namespace gwu::emu
