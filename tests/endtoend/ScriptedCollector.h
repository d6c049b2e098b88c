// A collector scripted request by request on loopback, for gwctl sync's end-to-end tests.
#pragma once

#include <algorithm>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "history/Event.h"
#include "http/Server.h"
#include "tests/endtoend/CliFixture.h"

namespace gwu::test::cli {

using Answer = std::function<http::Response(const http::Request&)>;

inline http::Response Status(int status, const std::string& error, http::Headers headers = {}) {
    return {status, "application/json", std::move(headers), json{{"error", error}}.dump()};
}

// The collector's 200 for a batch, as the fleet named: every event stored; and its 204 for a
// tester whose group has no release set.
inline Answer Acknowledge(const std::string& fleet) {
    return [fleet](const http::Request& request) {
        if (request.method == "GET") {
            return http::Response{204, "", {}, ""};
        }
        json answer = {{"fleet", fleet}, {"stored", 0}, {"duplicates", 0}, {"conflicts", 0}};
        std::istringstream lines(request.body);
        for (std::string line; std::getline(lines, line);
             answer["stored"] = answer["stored"].get<int>() + 1) {
            answer["acknowledged"] = history::ParseJsonLine(line).event.value().sequence;
        }
        return http::Response{200, "application/json", {}, answer.dump()};
    };
}

// Answers the requests with the script's answers in turn, then with `then`; keeps each request.
class Collector {
public:
    explicit Collector(std::vector<Answer> script = {}, Answer then = Acknowledge("fleet-a"))
        : m_script(std::move(script)), m_then(std::move(then)) {
        std::string error;
        m_url = "http://127.0.0.1:" + std::to_string(m_server.Listen("127.0.0.1", 0, error));
        EXPECT_TRUE(error.empty()) << error;
        m_thread = std::thread([this] { m_server.Run(); });
    }
    ~Collector() {
        m_server.Stop();
        m_thread.join();
    }
    // The requests of the method received so far (the batches of events by default).
    std::vector<http::Request> Requests(const std::string& method = "POST") {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<http::Request> requests;
        std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(requests),
                     [&method](const http::Request& request) { return request.method == method; });
        return requests;
    }
    const std::string& Url() const { return m_url; }

private:
    http::Response Reply(const http::Request& request) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
        const std::size_t n = m_requests.size() - 1;
        const auto answer = n < m_script.size() ? m_script[n] : m_then;
        lock.unlock();
        return answer(request);
    }

    std::vector<Answer> m_script;
    Answer m_then;
    std::mutex m_mutex;
    std::vector<http::Request> m_requests;
    http::Server m_server{[this] {
        http::ServerOptions options;
        options.limits.bodyBytes = 4 << 20;
        options.handler = [this](const http::Request& request) { return Reply(request); };
        return options;
    }()};
    std::thread m_thread;
    std::string m_url;
};

}  // namespace gwu::test::cli
