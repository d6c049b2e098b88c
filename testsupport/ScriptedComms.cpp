#include "testsupport/ScriptedComms.h"

#include "host/Replies.h"

namespace gwu::test {

Reply Reply::Value32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
    }
    return Text(bytes);
}

void ScriptedComms::Answer(SubRequestKind kind, int requestType, Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers[{kind, requestType}] = std::move(reply);
}

void ScriptedComms::AnswerAt(size_t position, Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_positional[position] = std::move(reply);
}

void ScriptedComms::SetResponder(
    std::function<std::optional<Reply>(const RecordedRequest&)> responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

void ScriptedComms::SetConnectResult(bool result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectResult = result;
}

void ScriptedComms::ThrowOnConnect(int code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectThrow = code;
}

bool ScriptedComms::Disconnect() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.emplace_back("Disconnect");
    return true;
}

bool ScriptedComms::SelectCard(const char* name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(std::string("SelectCard ") + (name != nullptr ? name : ""));
    return true;
}

bool ScriptedComms::Connect() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.emplace_back("Connect");
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

int ScriptedComms::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
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
        const Reply reply = AnswerFor(recorded, m_executed++);
        if (reply.throwCode) {
            throw CBaseCommsException(*reply.throwCode);
        }
        host::FillReply(request, reply.bytes, reply.error, reply.length);
    }
    return 0;
}

std::vector<RecordedRequest> ScriptedComms::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<std::string> ScriptedComms::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void ScriptedComms::ClearRecords() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_calls.clear();
    m_executed = 0;
}

}  // namespace gwu::test
