// The fixture of gwctl serve's tests: gwctl serve started on a scenario with its folders in a
// temporary folder, its address read from its output, and requests sent to it with the programs'
// own HTTP client, the page's token with every POST.
#pragma once

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "http/Client.h"
#include "tests/endtoend/Programs.h"
#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

class ServeFixture : public FolderFixture {
protected:
    using json = nlohmann::json;

    // Starts gwctl serve on the scenario (a sample's name, or a path) with the options and reads
    // the page's token. A fatal failure when it did not come up.
    void Start(const std::string& scenario, const std::vector<std::string>& options = {}) {
        CopySampleFirmware();
        m_stem = (Root() / "serve").string();
        std::vector<std::string> arguments = {
            gwu::test::kGwctlProgram,
            "serve",
            "--device",
            "emu:" +
                (scenario.find('.') == std::string::npos ? SampleScenarioPath(scenario) : scenario),
            "--firmware",
            Firmware().string(),
            "--logs",
            Logs().string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_server = std::make_unique<Child>(arguments, m_stem);
        std::smatch address;
        std::string out;
        const std::regex serving(R"(http://127\.0\.0\.1:(\d+)/\r?\n)");
        for (int i = 0; i < 600 && !std::regex_search(out, address, serving); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            out = ReadFile(m_stem + ".out");
        }
        ASSERT_FALSE(address.empty()) << out << ReadFile(m_stem + ".err");
        m_port = std::stoi(address[1]);
        const auto page = Send("GET", "/");
        std::smatch token;
        ASSERT_TRUE(page &&
                    std::regex_search(page->body, token,
                                      std::regex(R"re(gwctl-token" content="([0-9a-f]{32})")re")))
            << "no token in the page";
        m_token = token[1];
    }

    // A request to the server, within the timeout; nothing when it got no answer.
    std::optional<http::Response> Send(
        const std::string& method, const std::string& path, const std::string& body = {},
        http::Headers headers = {}, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        http::Request request{method, path, std::move(headers), body};
        std::string error;
        http::ClientOptions options;
        options.timeout = timeout;
        auto response = http::Fetch("127.0.0.1", m_port, request, error, options);
        if (!response) {
            m_lastError = error;
        }
        return response;
    }

    // The status of a POST with the token; -1 without an answer.
    int Post(const std::string& path, const json& body) {
        const auto response =
            Send("POST", path, body.dump(),
                 {{"X-Gwctl-Token", m_token}, {"Content-Type", "application/json"}});
        return response ? response->status : -1;
    }

    // The state once the condition holds; fails after 30 s.
    template <typename Condition>
    json StateWhen(Condition condition) {
        for (int i = 0; i < 600; ++i) {
            const auto response = Send("GET", "/api/state");
            const json state = response ? json::parse(response->body, nullptr, false) : json();
            if (state.is_object() && condition(state)) {
                return state;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the state never came";
        return json();
    }

    // Stops the server with a signal (on Windows: terminates it); it must end as a stopped server
    // does.
    void Stop() {
        m_server->Stop();
#ifdef _WIN32
        constexpr int kStopped = 128 + 15;  // Windows terminates; it cannot signal
#else
        constexpr int kStopped = 0;
#endif
        EXPECT_EQ(m_server->Wait(30000), kStopped) << ReadFile(m_stem + ".err");
    }

    std::string m_stem;
    std::unique_ptr<Child> m_server;
    int m_port = 0;
    std::string m_token;
    std::string m_lastError;  // why the last Send got no answer
};

}  // namespace gwu::test
