// gwctl serve over HTTP without a browser, so that every preset runs it, the sanitizers' too:
// the token and the limits, one operation at a time, and a serial-number repair typed into the
// popup through the page's requests. The page itself is tested in a browser (tests/browser).
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "testsupport/Fixtures.h"
#include "testsupport/TestProcesses.h"

namespace {

using json = nlohmann::json;

class ServeTest : public gwu::test::FolderFixture {
protected:
    // The state once the condition holds; fails after 30 s.
    template <typename Condition>
    json StateWhen(httplib::Client& client, Condition condition) {
        for (int i = 0; i < 600; ++i) {
            const auto response = client.Get("/api/state");
            const json state = response ? json::parse(response->body, nullptr, false) : json();
            if (state.is_object() && condition(state)) {
                return state;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the state never came";
        return json();
    }
};

TEST_F(ServeTest, RepairTypedThroughThePageOneOperationAtATime) {
    CopySampleFirmware();
    const std::string stem = (Root() / "serve").string();
    gwu::test::Child server({GWCTL_PATH, "serve", "--device",
                             "emu:" + gwu::test::SampleScenarioPath("lost-serial-typed"),
                             "--firmware", Firmware().string(), "--logs", Logs().string()},
                            stem);
    std::smatch address;
    std::string out;
    for (int i = 0;
         i < 600 && !std::regex_search(out, address, std::regex(R"(http://127\.0\.0\.1:(\d+)/\n)"));
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        out = ReadFile(stem + ".out");
    }
    ASSERT_FALSE(address.empty()) << out << ReadFile(stem + ".err");
    httplib::Client client("127.0.0.1", std::stoi(address[1]));
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    std::smatch token;
    ASSERT_TRUE(std::regex_search(page->body, token,
                                  std::regex(R"re(gwctl-token" content="([0-9a-f]{32})")re")));
    const httplib::Headers headers = {{"X-Gwctl-Token", token[1]}};
    const auto post = [&](const std::string& path, const json& body) {
        const auto response = client.Post(path.c_str(), headers, body.dump(), "application/json");
        return response ? response->status : -1;
    };

    EXPECT_EQ(client.Post("/api/check", "{}", "application/json")->status, 403);
    EXPECT_EQ(post("/api/check", json::object()), 202);
    // The check waits in the repair's popup: a second operation is refused, not queued.
    EXPECT_EQ(post("/api/update", json::object()), 409);
    EXPECT_EQ(post("/api/popup", std::string(5000, 'x')), 413);
    json state = StateWhen(client, [](const json& s) {
        return s["popup"].is_object() && !s["popup"]["keyboard"].is_null();
    });
    const int root = state["popup"]["root"];
    EXPECT_FALSE(state["popup"]["buttons"]["tick"].get<bool>()) << "no tick before a key";
    EXPECT_EQ(post("/api/popup", {{"root", root + 1000}, {"key", 65}}), 409);
    for (const char key : std::string("HX100241")) {
        EXPECT_EQ(post("/api/popup", {{"root", root}, {"key", key}}), 200);
    }
    EXPECT_EQ(post("/api/popup", {{"root", root}, {"button", "tick"}}), 200);
    state = StateWhen(client, [root](const json& s) {
        return s["popup"].is_object() && s["popup"]["root"] != root;
    });
    EXPECT_NE(state["popup"].dump().find("has been restored"), std::string::npos) << state["popup"];
    EXPECT_EQ(post("/api/popup", {{"root", state["popup"]["root"]}, {"button", "tick"}}), 200);
    state = StateWhen(client, [](const json& s) { return s["busy"].is_null(); });
    EXPECT_EQ(state["values"]["HLX_SerialNum"], "HX100241");
    EXPECT_EQ(state["list"]["lines"].size(), 1U);
    EXPECT_EQ(state["list"]["lines"][0].get<std::string>().rfind("HX100241,", 0), 0U);

    server.Stop();
    EXPECT_EQ(server.Wait(30000), 0) << ReadFile(stem + ".err");
}

}  // namespace
