// gwctl serve over HTTP without a browser, so that every preset runs it, the sanitizers' and
// Windows' too: the token and the limits, one operation at a time, an update, and a serial-number
// repair typed into the popup through the page's requests. The page itself is tested in a browser
// (tests/browser); the server under hostile clients in ServeLimitsTest.
#include <chrono>
#include <string>
#include <thread>

#include "tests/endtoend/ServeFixture.h"

namespace {

using json = nlohmann::json;
using ServeTest = gwu::test::ServeFixture;

TEST_F(ServeTest, RepairTypedThroughThePageOneOperationAtATime) {
    ASSERT_NO_FATAL_FAILURE(Start("lost-serial-typed"));

    EXPECT_EQ(Send("POST", "/api/check", "{}")->status, 403);
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

// An update run from the page brings the device to the disk's releases, its rounds in the state;
// requests the server does not serve get their refusal as JSON.
TEST_F(ServeTest, UpdateThroughThePageAndRequestsRefused) {
    ASSERT_NO_FATAL_FAILURE(Start("behind"));
    EXPECT_EQ(Post("/api/update", json::object()), 202);
    const json state = StateWhen([](const json& s) { return s["busy"].is_null(); });
    EXPECT_EQ(state["check"]["summary"], "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,");
    EXPECT_EQ(state["rounds"].size(), 2U) << state["rounds"];
    EXPECT_EQ(state["message"]["level"], "ok") << state["message"];
    EXPECT_EQ(state["values"]["HLX_PROM_Release_Untrimmed"], "KLEM_PROM_R2.0.3");

    const auto refused = [this](const std::string& method, const std::string& path,
                                gwu::http::Headers headers) {
        const auto response = Send(method, path, {}, std::move(headers));
        if (!response) {
            return std::string("no answer: ") + m_lastError;
        }
        const json body = json::parse(response->body, nullptr, false);
        return std::to_string(response->status) + " " +
               (body.is_object() ? body["message"].dump() : response->body);
    };
    EXPECT_EQ(refused("GET", "/api/state", {{"Host", "attacker.example:80"}}),
              "403 \"unexpected Host header\"");
    EXPECT_EQ(refused("GET", "/nothing", {}), "404 \"no such page\"");
    EXPECT_EQ(refused("PUT", "/api/check", {}), "405 \"only GET and POST are served\"");
    EXPECT_EQ(refused("POST", "/api/cable", {{"X-Gwctl-Token", std::string(32, '0')}}),
              "403 \"missing or wrong token: reload the page\"");
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
    // Each poll counts as seen, so the polls now come 2.5 timeouts apart: a slow machine gets
    // more rounds, and a popup that never closes fails the test after them.
    json done;
    for (int i = 0; i < 10 && !(done.is_object() && done["busy"].is_null()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        done = StateWhen([](const json&) { return true; });
    }
    ASSERT_TRUE(done["busy"].is_null()) << done;
    EXPECT_EQ(done["values"]["HLX_SerialNum"], "");
    EXPECT_TRUE(done["popup"].is_null() || done["popup"]["root"] != open["popup"]["root"]);
    Stop();
}

}  // namespace
