// gwctl serve over HTTP without a browser, so that every preset runs it, the sanitizers' too:
// the token and the limits, one operation at a time, and a serial-number repair typed into the
// popup through the page's requests. The page itself is tested in a browser (tests/browser).
#include <httplib.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace {

using json = nlohmann::json;

class ServeTest : public gwu::test::FolderFixture {
protected:
    // The state once the condition holds; fails after 30 s.
    template <typename Condition>
    json StateWhen(Condition condition) {
        for (int i = 0; i < 600; ++i) {
            const auto response = m_client->Get("/api/state");
            const json state = response ? json::parse(response->body, nullptr, false) : json();
            if (state.is_object() && condition(state)) {
                return state;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the state never came";
        return json();
    }

    // Starts gwctl serve on the scenario with the options and connects to it; the token of its
    // page goes with every POST. A fatal failure when it did not come up.
    void Start(const std::string& scenario, const std::vector<std::string>& options = {}) {
        CopySampleFirmware();
        m_stem = (Root() / "serve").string();
        std::vector<std::string> arguments = {
            GWCTL_PATH,   "serve",
            "--device",   "emu:" + gwu::test::SampleScenarioPath(scenario),
            "--firmware", Firmware().string(),
            "--logs",     Logs().string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_server = std::make_unique<gwu::test::Child>(arguments, m_stem);
        std::smatch address;
        std::string out;
        for (int i = 0; i < 600 && !std::regex_search(
                                       out, address, std::regex(R"(http://127\.0\.0\.1:(\d+)/\n)"));
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            out = ReadFile(m_stem + ".out");
        }
        ASSERT_FALSE(address.empty()) << out << ReadFile(m_stem + ".err");
        m_client = std::make_unique<httplib::Client>("127.0.0.1", std::stoi(address[1]));
        const auto page = m_client->Get("/");
        std::smatch token;
        ASSERT_TRUE(page &&
                    std::regex_search(page->body, token,
                                      std::regex(R"re(gwctl-token" content="([0-9a-f]{32})")re")))
            << "no token in the page";
        m_headers = {{"X-Gwctl-Token", token[1]}};
    }
    // The status of a POST with the token.
    int Post(const std::string& path, const json& body) {
        const auto response =
            m_client->Post(path.c_str(), m_headers, body.dump(), "application/json");
        return response ? response->status : -1;
    }
    // Stops the server, which must end cleanly.
    void Stop() {
        m_server->Stop();
        EXPECT_EQ(m_server->Wait(30000), 0) << ReadFile(m_stem + ".err");
    }

    std::string m_stem;
    std::unique_ptr<gwu::test::Child> m_server;
    std::unique_ptr<httplib::Client> m_client;
    httplib::Headers m_headers;
};

TEST_F(ServeTest, RepairTypedThroughThePageOneOperationAtATime) {
    ASSERT_NO_FATAL_FAILURE(Start("lost-serial-typed"));

    EXPECT_EQ(m_client->Post("/api/check", "{}", "application/json")->status, 403);
    EXPECT_EQ(Post("/api/check", json::object()), 202);
    // The check waits in the repair's popup: a second operation is refused, not queued.
    EXPECT_EQ(Post("/api/update", json::object()), 409);
    EXPECT_EQ(Post("/api/popup", std::string(5000, 'x')), 413);
    json state = StateWhen(
        [](const json& s) { return s["popup"].is_object() && !s["popup"]["keyboard"].is_null(); });
    const int root = state["popup"]["root"];
    EXPECT_FALSE(state["popup"]["buttons"]["tick"].get<bool>()) << "no tick before a key";
    EXPECT_EQ(Post("/api/popup", {{"root", root + 1000}, {"key", 65}}), 409);
    for (const char key : std::string("HX100241")) {
        EXPECT_EQ(Post("/api/popup", {{"root", root}, {"key", key}}), 200);
    }
    EXPECT_EQ(Post("/api/popup", {{"root", root}, {"button", "tick"}}), 200);
    state = StateWhen(
        [root](const json& s) { return s["popup"].is_object() && s["popup"]["root"] != root; });
    EXPECT_NE(state["popup"].dump().find("has been restored"), std::string::npos) << state["popup"];
    EXPECT_EQ(Post("/api/popup", {{"root", state["popup"]["root"]}, {"button", "tick"}}), 200);
    state = StateWhen([](const json& s) { return s["busy"].is_null(); });
    EXPECT_EQ(state["values"]["HLX_SerialNum"], "HX100241");
    EXPECT_EQ(state["list"]["lines"].size(), 1U);
    EXPECT_EQ(state["list"]["lines"][0].get<std::string>().rfind("HX100241,", 0), 0U);

    Stop();
}

// An open popup closes as the cross would only when no page has been seen for --popup-timeout:
// a page that keeps polling keeps it open well past the timeout; once it stops, the popup
// closes and the repair ends without a serial number.
TEST_F(ServeTest, PopupStaysOpenWhileAPageIsSeenAndClosesWhenNoneIs) {
    ASSERT_NO_FATAL_FAILURE(Start("lost-serial-typed", {"--popup-timeout", "1"}));
    ASSERT_EQ(Post("/api/check", json::object()), 202);
    const json open = StateWhen([](const json& s) { return s["popup"].is_object(); });
    for (int i = 0; i < 30; ++i) {  // three seconds of polls
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const json state = StateWhen([](const json&) { return true; });
        ASSERT_TRUE(state["popup"].is_object()) << "closed after " << i << " polls";
        ASSERT_EQ(state["popup"]["root"], open["popup"]["root"]);
    }
    // No page for three times the timeout: every popup of the repair has closed by then.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const json done = StateWhen([](const json& s) { return s["busy"].is_null(); });
    EXPECT_EQ(done["values"]["HLX_SerialNum"], "");
    EXPECT_TRUE(done["popup"].is_null() || done["popup"]["root"] != open["popup"]["root"]);
    Stop();
}

}  // namespace
