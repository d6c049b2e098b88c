// gwctl serve against clients as an attacker or a crowd of pages would be (POSIX: raw sockets,
// the server's memory from /proc): open pages and slow clients never starve the others, a stream
// past the cap is refused, stalled headers are cut off in all, a flood of header lines is refused
// early in bounded memory, and the two signals.
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/endtoend/ServeFixture.h"
#include "testsupport/LoopbackClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using Socket = gwu::test::LoopbackClient;

// A value in kB of /proc/PID/status ("VmHWM", the peak resident size, say).
long StatusKb(std::intptr_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return -1;
}

class ServeLimitsTest : public gwu::test::ServeFixture {
protected:
    // An event stream opened on a new connection: its answer's status line.
    std::string OpenStream(Socket& socket) {
        socket.Send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) +
                    "\r\n\r\n");
        const std::string head = socket.ReadUntil("\r\n");
        return head.substr(0, head.find("\r\n"));
    }
};

// Sixteen open pages and thirty clients that send their headers a byte at a time leave the state
// answering at once; the streams are capped, and a page that goes frees its place.
TEST_F(ServeLimitsTest, PagesAndSlowClientsNeverStarveTheState) {
    ASSERT_NO_FATAL_FAILURE(Start("matching"));
    std::vector<std::unique_ptr<Socket>> pages, slow;
    for (int i = 0; i < 16; ++i) {
        pages.push_back(std::make_unique<Socket>(m_port));
        ASSERT_EQ(OpenStream(*pages.back()), "HTTP/1.1 200 OK") << "page " << i;
    }
    EXPECT_NE(pages[0]->ReadUntil("data: {").find("data: {"), std::string::npos)
        << "no state event";
    for (int i = 0; i < 30; ++i) {
        slow.push_back(std::make_unique<Socket>(m_port));
        slow.back()->Send("GET /api/state HTTP/1.1\r\n");
    }
    for (int round = 0; round < 5; ++round) {
        for (auto& client : slow) {
            client->Send("X");
        }
        const auto start = Clock::now();
        const auto state = Send("GET", "/api/state", {}, {}, std::chrono::seconds(1));
        ASSERT_TRUE(state && state->status == 200) << "round " << round << ": " << m_lastError;
        std::printf("state answered in %.1f ms\n",
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    // 32 streams at most: the pages' 16, 16 more, then refusals.
    for (int i = 0; i < 16; ++i) {
        pages.push_back(std::make_unique<Socket>(m_port));
        ASSERT_EQ(OpenStream(*pages.back()), "HTTP/1.1 200 OK") << "stream " << 16 + i;
    }
    Socket refused(m_port);
    EXPECT_EQ(OpenStream(refused), "HTTP/1.1 503 Service Unavailable");
    pages.pop_back();
    std::string again;
    for (int i = 0; i < 50 && again != "HTTP/1.1 200 OK"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Socket next(m_port);
        again = OpenStream(next);
    }
    EXPECT_EQ(again, "HTTP/1.1 200 OK") << "the closed page's place was never freed";
    pages.clear();
    slow.clear();
    Stop();
}

// Headers that trickle in are cut off once the request has taken its few seconds in all, however
// steadily the bytes come; a million header lines are refused after the first few kilobytes, and
// the server's peak memory hardly moves.
TEST_F(ServeLimitsTest, StalledAndFloodedHeadersAreCutOffInBoundedMemory) {
    ASSERT_NO_FATAL_FAILURE(Start("matching"));
    Socket trickle(m_port);
    ASSERT_TRUE(trickle.Send("GET /api/state HTTP/1.1\r\n"));
    int sent = 0;
    for (; sent < 100 && trickle.Send("X") && !trickle.Closed(0); ++sent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_LT(sent, 100) << "a byte every 200 ms kept the request open for 20 s";

    ASSERT_TRUE(Send("GET", "/api/state"));  // the server's usual memory, warmed up
    const long before = StatusKb(m_server->Id(), "VmHWM");
    Socket flood(m_port);
    ASSERT_TRUE(flood.Send("GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    std::string lines;
    for (int i = 0; i < 10000; ++i) {
        lines += "X-Flood: " + std::to_string(i) + "\r\n";
    }
    int chunks = 0;  // of 10,000 lines: a million lines in all
    while (chunks < 100 && flood.Send(lines)) {
        ++chunks;
    }
    EXPECT_LT(chunks, 100) << "a million header lines were all taken";
    // Refused with 431, or (when the refusal was lost to the close of a connection with unread
    // bytes) at least closed.
    const std::string answer = flood.ReadUntil("\r\n");
    EXPECT_TRUE(answer.rfind("HTTP/1.1 431", 0) == 0 || flood.Closed(0)) << answer;
    ASSERT_TRUE(Send("GET", "/api/state")) << m_lastError;
    const long after = StatusKb(m_server->Id(), "VmHWM");
    EXPECT_LE(after - before, 4096) << "peak resident kB before " << before << ", after " << after;
    Stop();
}

// The first SIGTERM lets the running check finish (its device recorded in the list) and then
// ends the server with 0; a second one ends it at once.
TEST_F(ServeLimitsTest, FirstSignalLetsTheOperationFinishASecondEndsAtOnce) {
    json scenario = json::parse(ReadFile(gwu::test::SampleScenarioPath("matching")));
    scenario["latency_ms"] = 150;  // a check takes seconds
    const std::string slowScenario = (Root() / "slow.json").string();
    WriteFile(slowScenario, scenario.dump());
    for (const bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "two signals" : "one signal");
        std::filesystem::remove_all(Logs());
        ASSERT_NO_FATAL_FAILURE(Start(slowScenario));
        ASSERT_EQ(Post("/api/check", json::object()), 202);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m_server->Stop();
        if (twice) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            m_server->Stop();
            EXPECT_EQ(m_server->Wait(5000), 128 + 15);
            EXPECT_NE(ReadFile(m_stem + ".err").find("gwctl: second signal: stopping at once"),
                      std::string::npos);
            EXPECT_EQ(ReadFile(Logs() / "HLX_Serial_Nums.txt"), "") << "the check finished";
        } else {
            // Refused as busy (409) until the signal has been taken, then as stopping.
            int status = 409;
            for (int i = 0; i < 50 && status == 409; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                status = Post("/api/update", json::object());
            }
            EXPECT_EQ(status, 503);
            EXPECT_EQ(m_server->Wait(30000), 0) << ReadFile(m_stem + ".err");
            EXPECT_EQ(ReadFile(Logs() / "HLX_Serial_Nums.txt").rfind("HX100307,", 0), 0U);
        }
    }
}

}  // namespace
