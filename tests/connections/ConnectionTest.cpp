// The stand-in host's real connections, in process and over TCP on 127.0.0.1: what only a real
// socket shows. (That a device reads alike on both, healthy or faulty, is the fault matrix's.) A
// latency is waited out; refused, garbled or silent peers end as documented.
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "connections/TcpConnection.h"
#include "testsupport/EmulatedDevice.h"
#include "testsupport/Fixtures.h"
#include "testsupport/ScriptedComms.h"
#include "wire/CommsFailures.h"
#include "wire/Socket.h"

namespace gwu::test {
namespace {

using Clock = std::chrono::steady_clock;
namespace net = wire::net;

// Every request's timeout is scaled: the 10 s of a reading request become 200 ms.
class ConnectionTest : public FolderFixture {
protected:
    ScopedEnv m_scale{"GWU_TIMEOUT_SCALE", "0.02"};
};

// A latency delays the answer in process and over TCP alike; one above the request's timeout
// ends as a timeout, no sooner than the scaled timeout.
TEST_F(ConnectionTest, LatencyDelaysTheAnswerOrTimesTheRequestOut) {
    const char* const scenario = R"({"communication": {"releases": {"loaded": "KLEM_1_R1"}},
        "latency_ms": 150, "request_latency_ms": {"0x10000000": 20000}})";
    // Request type, timeout, the comms exception's code (0: answered), the least time taken.
    const std::tuple<int, int, int, int> cases[] = {{0x20000000, 30000, 0, 100},
                                                    {0x10000000, 10000, wire::kCommsTimeout, 190}};
    for (const bool tcp : {false, true}) {
        EmulatedDevice device(scenario, tcp, "");
        device.Comms().SelectCard("VCL");
        for (const auto& [type, timeoutMs, code, least] : cases) {
            SCOPED_TRACE(std::to_string(type) + (tcp ? " over TCP" : " in process"));
            const auto start = Clock::now();
            const ReadResult answer = ReadOne(device.Comms(), type, timeoutMs);
            EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(least));
            EXPECT_EQ(answer.thrown, code);
            EXPECT_EQ(answer.text, code == 0 ? "KLEM_1_R1" : "");
        }
    }
}

// Against a closed port, a peer that never answers and one that garbles its reply, Connect says
// false and a request ends in the matching comms exception, the silent peer's no sooner than the
// scaled timeout.
TEST_F(ConnectionTest, TcpConnectionAgainstFailingPeers) {
    // The port is closed (no answer), or the peer answers each client with some bytes (or none).
    const std::pair<std::optional<std::string>, int> peers[] = {
        {std::nullopt, wire::kCommsRefused},
        {std::string(), wire::kCommsTimeout},
        {std::string("\xFF\xFF\xFF\xF0", 4), wire::kCommsMalformed},  // a huge frame
        {std::string("\0\0\0\1Z", 5), wire::kCommsMalformed}};        // not a reply
    for (const auto& [answer, code] : peers) {
        SCOPED_TRACE(code);
        std::uint16_t port = 0;
        net::Socket listener = net::Listen("127.0.0.1", 0, 2, port);
        if (!answer) {
            listener.Reset();
        }
        // Answers up to two clients in turn, waiting at most 3 s for each to come and to go: the
        // connection drops a socket that failed, so Connect and the request have one each.
        int clients = 0;
        std::thread peer([&listener, &clients, &answer = answer] {
            net::Wait waiting{&listener, net::kReadable};
            for (; clients < 2 && answer && net::Poll(&waiting, 1, 3000) > 0; ++clients) {
                const net::Socket accepted = net::Accept(listener);
                net::Send(accepted, answer->data(), answer->size());
                char chunk[256];
                net::Wait reading{&accepted, net::kReadable};
                for (int i = 0; i < 100 && net::Poll(&reading, 1, 3000) > 0 &&
                                net::Receive(accepted, chunk, sizeof chunk) > 0;
                     ++i) {
                }
            }
        });
        host::TcpConnection connection("127.0.0.1", port);
        EXPECT_FALSE(connection.Connect());
        const auto start = Clock::now();
        EXPECT_EQ(ReadOne(connection, 0x20000000, 10000).thrown, code);
        EXPECT_GE(Clock::now() - start,
                  std::chrono::milliseconds(code == wire::kCommsTimeout ? 190 : 0));
        peer.join();
        EXPECT_EQ(clients, answer ? 2 : 0);
    }
}

}  // namespace
}  // namespace gwu::test
