#include "testsupport/ScriptedComms.h"

#include <algorithm>
#include <cstdio>

#include "host/Replies.h"

namespace gwu::test {

Reply Reply::Value32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    return Text(bytes);
}

bool ScriptedComms::Disconnect() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.emplace_back("Disconnect");
    return m_inner == nullptr || m_inner->Disconnect();
}

bool ScriptedComms::SelectCard(const char* name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(std::string("SelectCard ") + (name != nullptr ? name : ""));
    return m_inner == nullptr || m_inner->SelectCard(name);
}

bool ScriptedComms::Connect() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.emplace_back("Connect");
    if (m_inner != nullptr) {
        return m_inner->Connect();
    }
    if (m_connectThrow) {
        throw CBaseCommsException(*m_connectThrow);
    }
    return m_connectResult;
}

Reply ScriptedComms::AnswerFor(const RecordedRequest& request, size_t position) const {
    if (const auto found = m_positional.find(position); found != m_positional.end()) {
        return found->second;
    }
    if (m_responder) {
        if (auto reply = m_responder(request)) {
            return *reply;
        }
    }
    if (const auto found = m_answers.find({request.kind, request.requestType});
        found != m_answers.end()) {
        return found->second;
    }
    return Reply::Error(kUnscriptedError);
}

int ScriptedComms::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.emplace_back("Execute");
    for (const SubRequest& request : subStream.Requests()) {
        RecordedRequest recorded;
        recorded.kind = request.kind;
        recorded.requestType = request.requestType;
        recorded.flags = request.flags;
        recorded.length = request.capacity;
        recorded.data = host::SentData(request);
        recorded.timeoutMs = timeoutMs;
        m_requests.push_back(recorded);
        if (m_inner != nullptr) {
            continue;
        }
        const Reply reply = AnswerFor(recorded, m_executed++);
        if (reply.throwCode) {
            throw CBaseCommsException(*reply.throwCode);
        }
        host::FillReply(request, reply.bytes, reply.error, reply.length);
    }
    return m_inner != nullptr ? m_inner->ExecuteSubCommand(subStream, timeoutMs, reserved) : 0;
}

std::vector<std::string> ScriptedComms::Sent() const {
    static const char* const kBuilders[] = {"reset", "msi-reset", "get", "details", "set"};
    std::vector<std::string> sent;
    for (const RecordedRequest& r : Requests()) {
        char head[96];
        std::snprintf(head, sizeof head, "%s 0x%x 0x%x %d %d", kBuilders[static_cast<int>(r.kind)],
                      static_cast<unsigned>(r.requestType), static_cast<unsigned>(r.flags),
                      r.length, r.timeoutMs);
        const bool write = r.kind == SubRequestKind::VsiSetSerialNumber;
        sent.push_back(write ? head + (" " + r.data) : std::string(head));
    }
    return sent;
}

void ScriptedComms::ClearRecords() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_calls.clear();
    m_executed = 0;
}

ReadResult ReadOne(CBaseComms& comms, int requestType, int timeoutMs) {
    char buffer[128] = {};
    int length = sizeof buffer;
    ReadResult result;
    CSubStream command;
    VSI_GetSerialNumber(command, requestType, &length, buffer, 0, &result.error);
    try {
        comms.ExecuteSubCommand(command, timeoutMs, 0);
    } catch (const CBaseCommsException& e) {
        result.thrown = e.Code();
        return result;
    }
    result.text.assign(buffer, static_cast<size_t>(std::clamp(length, 0, 128)));
    return result;
}

}  // namespace gwu::test
