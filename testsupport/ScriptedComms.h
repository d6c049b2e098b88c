// A connection for unit tests and benchmarks: records every request and answers from a script,
// or passes everything on to another connection.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/Comms.h"

namespace gwu::test {

// How the script answers one request.
struct Reply {
    std::string bytes;             // reply bytes written into the caller's buffer (up to its size)
    int error = 0;                 // the device's error code; 0 is success
    std::optional<int> length;     // reported reply length, when it is to differ from bytes
    std::optional<int> throwCode;  // throw CBaseCommsException with this code instead

    static Reply Text(std::string text) { return Reply{std::move(text), 0, {}, {}}; }
    static Reply Error(int code) { return Reply{{}, code, {}, {}}; }
    static Reply Throw(int code) { return Reply{{}, 0, {}, code}; }
    // Four bytes, least significant first.
    static Reply Value32(std::uint32_t value);
};

// One request as the connection saw it.
struct RecordedRequest {
    SubRequestKind kind = SubRequestKind::VsiReset;
    int requestType = 0;
    int flags = 0;
    int length = 0;    // the length on entry
    std::string data;  // what the caller sent with it
    int timeoutMs = 0;
};

class ScriptedComms : public CBaseComms {
public:
    // The error code of a request the script has no answer for, so that a test notices.
    static constexpr int kUnscriptedError = 99;

    // A standing answer for every request of this kind and type.
    void Answer(SubRequestKind kind, int requestType, Reply reply) {
        Locked([&] { m_answers[{kind, requestType}] = std::move(reply); });
    }
    // The answer for the request at this position (0 is the first request executed); wins over
    // the standing answers.
    void AnswerAt(size_t position, Reply reply) {
        Locked([&] { m_positional[position] = std::move(reply); });
    }
    // Consulted before the standing answers; nothing means "no opinion".
    void SetResponder(std::function<std::optional<Reply>(const RecordedRequest&)> responder) {
        Locked([&] { m_responder = std::move(responder); });
    }
    void SetConnectResult(bool result) {
        Locked([&] { m_connectResult = result; });
    }
    void ThrowOnConnect(int code) {
        Locked([&] { m_connectThrow = code; });
    }
    // Passes every call on to the connection, which outlives this one, instead of answering
    // from the script; the records are kept all the same.
    void ForwardTo(CBaseComms* inner) {
        Locked([&] { m_inner = inner; });
    }

    bool Disconnect() override;
    bool SelectCard(const char* name) override;
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override;
    bool Connect() override;

    std::vector<RecordedRequest> Requests() const {
        return Locked([&] { return m_requests; });
    }
    // Each request as "<builder> 0x<type> 0x<flags> <length> <timeout>", a write's with " " and
    // its data added: "get 0x80000000 0x0 16 10000", "set 0x40000000 0x4000000 8 30000 HX1".
    // Builders: get, set and reset (communication module), details and msi-reset.
    std::vector<std::string> Sent() const;
    // Every call in order: "Connect", "Disconnect", "SelectCard VCL", "Execute".
    std::vector<std::string> Calls() const {
        return Locked([&] { return m_calls; });
    }
    void ClearRecords();

private:
    Reply AnswerFor(const RecordedRequest& request, size_t position) const;
    // Runs the function under the lock; its result.
    template <typename Function>
    std::invoke_result_t<Function> Locked(Function function) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return function();
    }

    mutable std::mutex m_mutex;
    std::map<std::pair<SubRequestKind, int>, Reply> m_answers;
    std::map<size_t, Reply> m_positional;
    std::function<std::optional<Reply>(const RecordedRequest&)> m_responder;
    CBaseComms* m_inner = nullptr;
    bool m_connectResult = true;
    std::optional<int> m_connectThrow;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::string> m_calls;
    size_t m_executed = 0;
};

// One reading request of the type over any connection, with room for 128 bytes: the code of the
// comms exception it ended in (0: none), the device's error and the text answered.
struct ReadResult {
    int thrown = 0;
    int error = -1;
    std::string text;
};
ReadResult ReadOne(CBaseComms& comms, int requestType, int timeoutMs);

}  // namespace gwu::test
