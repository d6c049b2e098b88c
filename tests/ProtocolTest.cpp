// Tests of gwemu's wire protocol and its TCP server: message round trips, frames split at every
// byte boundary, oversized and truncated input, the server over loopback with a raw socket, and
// the gwemu program itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Fixtures.h"
#include "Gateway.h"
#include "Protocol.h"
#include "TcpServer.h"

extern char** environ;

namespace {

using gwu::emu::Builder;
using gwu::emu::ClientMessage;
using gwu::emu::FrameDecoder;
using gwu::emu::kMaxFramePayload;
using gwu::emu::MessageKind;
using gwu::emu::Outcome;
using gwu::emu::ProtocolError;
using gwu::emu::Request;
using gwu::emu::Response;
using gwu::emu::UniqueFd;

constexpr int kIoTimeoutMs = 5000;

ClientMessage Execute(std::int32_t type, std::int32_t capacity, std::string data = {}) {
    ClientMessage message;
    message.kind = MessageKind::Execute;
    message.request.builder = Builder::VsiGetSerialNumber;
    message.request.type = type;
    message.request.flags = static_cast<std::int32_t>(0x88000000u);
    message.request.capacity = capacity;
    message.request.timeoutMs = 10000;
    message.request.data = std::move(data);
    return message;
}

ClientMessage Select(const std::string& card) {
    ClientMessage message;
    message.kind = MessageKind::SelectCard;
    message.cardName = card;
    return message;
}

ClientMessage Simple(MessageKind kind) {
    ClientMessage message;
    message.kind = kind;
    return message;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string PayloadOf(const std::string& frame) {
    return frame.substr(4);
}

std::string BigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

// ---------------------------------------------------------------------------------------------
// Encoding and decoding

TEST(ProtocolMessages, ClientMessagesRoundTrip) {
    const std::string data("HX\0\x80\xff", 5);
    const ClientMessage execute = Execute(static_cast<std::int32_t>(0x80000000u), -1, data);
    const ClientMessage decoded =
        gwu::emu::DecodeClientMessage(PayloadOf(gwu::emu::EncodeClientMessage(execute)));
    EXPECT_EQ(decoded.kind, MessageKind::Execute);
    EXPECT_EQ(decoded.request.builder, Builder::VsiGetSerialNumber);
    EXPECT_EQ(decoded.request.type, static_cast<std::int32_t>(0x80000000u));
    EXPECT_EQ(decoded.request.flags, static_cast<std::int32_t>(0x88000000u));
    EXPECT_EQ(decoded.request.capacity, -1);
    EXPECT_EQ(decoded.request.timeoutMs, 10000u);
    EXPECT_EQ(decoded.request.data, data);

    const std::string frame = gwu::emu::EncodeClientMessage(Select("VCL"));
    EXPECT_EQ(frame, BigEndian(8) + "S" + BigEndian(3) + "VCL");
    EXPECT_EQ(gwu::emu::DecodeClientMessage(PayloadOf(frame)).cardName, "VCL");
    for (MessageKind kind : {MessageKind::Connect, MessageKind::Disconnect}) {
        EXPECT_EQ(
            gwu::emu::DecodeClientMessage(PayloadOf(gwu::emu::EncodeClientMessage(Simple(kind))))
                .kind,
            kind);
    }
}

TEST(ProtocolMessages, ResponsesAndFlagsRoundTrip) {
    Response response;
    response.outcome = Outcome::Throw;
    response.error = -5;
    response.exceptionCode = 1003;
    response.claimedLength = 144;
    response.bytes = std::string("\0ab", 3);
    Response decoded = gwu::emu::DecodeResponse(PayloadOf(gwu::emu::EncodeResponse(response)));
    EXPECT_EQ(decoded.outcome, Outcome::Throw);
    EXPECT_EQ(decoded.error, -5);
    EXPECT_EQ(decoded.exceptionCode, 1003);
    EXPECT_EQ(decoded.claimedLength, 144);
    EXPECT_EQ(decoded.bytes, response.bytes);

    response.claimedLength.reset();
    decoded = gwu::emu::DecodeResponse(PayloadOf(gwu::emu::EncodeResponse(response)));
    EXPECT_FALSE(decoded.claimedLength.has_value());
    EXPECT_TRUE(gwu::emu::DecodeFlag(PayloadOf(gwu::emu::EncodeFlag(true))));
    EXPECT_FALSE(gwu::emu::DecodeFlag(PayloadOf(gwu::emu::EncodeFlag(false))));
}

TEST(ProtocolMessages, MalformedPayloadsAreRefused) {
    const std::string execute = PayloadOf(gwu::emu::EncodeClientMessage(Execute(1, 128, "abc")));
    const std::string response = PayloadOf(gwu::emu::EncodeResponse(Response{}));
    // Every truncation of a valid payload, and one byte too many.
    for (size_t length = 0; length < execute.size(); ++length) {
        EXPECT_THROW(gwu::emu::DecodeClientMessage(execute.substr(0, length)), ProtocolError)
            << length;
    }
    for (size_t length = 0; length < response.size(); ++length) {
        EXPECT_THROW(gwu::emu::DecodeResponse(response.substr(0, length)), ProtocolError) << length;
    }
    EXPECT_THROW(gwu::emu::DecodeClientMessage(execute + "x"), ProtocolError);
    EXPECT_THROW(gwu::emu::DecodeResponse(response + "x"), ProtocolError);
    EXPECT_THROW(gwu::emu::DecodeFlag(std::string("\x02", 1)), ProtocolError);
    EXPECT_THROW(gwu::emu::DecodeFlag(""), ProtocolError);
    // Unknown message kind, builder and outcome; a has-claimed byte that is not 0 or 1.
    EXPECT_THROW(gwu::emu::DecodeClientMessage("Q"), ProtocolError);
    std::string badBuilder = execute;
    badBuilder[1] = 6;
    EXPECT_THROW(gwu::emu::DecodeClientMessage(badBuilder), ProtocolError);
    std::string badOutcome = response;
    badOutcome[0] = 0;
    EXPECT_THROW(gwu::emu::DecodeResponse(badOutcome), ProtocolError);
    std::string badClaimed = response;
    badClaimed[9] = 2;
    EXPECT_THROW(gwu::emu::DecodeResponse(badClaimed), ProtocolError);
    // A byte string that announces more than the payload holds.
    EXPECT_THROW(gwu::emu::DecodeClientMessage("S" + BigEndian(0xFFFFFFFFu) + "VCL"),
                 ProtocolError);
    // Nothing larger than a frame can be encoded.
    EXPECT_THROW(gwu::emu::EncodeClientMessage(Execute(1, 1, std::string(kMaxFramePayload, 'x'))),
                 ProtocolError);
}

// ---------------------------------------------------------------------------------------------
// Framing

TEST(ProtocolFrames, FramesSplitAtEveryByteBoundaryDecodeAlike) {
    const std::vector<std::string> frames = {
        gwu::emu::EncodeClientMessage(Simple(MessageKind::Connect)),
        gwu::emu::EncodeClientMessage(Select("VCL")),
        gwu::emu::EncodeClientMessage(Execute(0x20000000, 128, std::string(128, '\0'))),
        BigEndian(0)};  // an empty payload is a frame too
    std::string stream;
    for (const std::string& frame : frames) {
        stream += frame;
    }
    // Two pieces split at every boundary, then the whole stream one byte at a time.
    for (size_t split = 0; split <= stream.size() + 1; ++split) {
        FrameDecoder decoder;
        if (split <= stream.size()) {
            decoder.Feed(std::string_view(stream).substr(0, split));
            decoder.Feed(std::string_view(stream).substr(split));
        } else {
            for (char c : stream) {
                decoder.Feed(std::string_view(&c, 1));
            }
        }
        for (const std::string& frame : frames) {
            const auto payload = decoder.Next();
            ASSERT_TRUE(payload.has_value()) << "split " << split;
            EXPECT_EQ(*payload, PayloadOf(frame)) << "split " << split;
        }
        EXPECT_FALSE(decoder.Next().has_value());
        EXPECT_EQ(decoder.Pending(), 0u);
    }
}

TEST(ProtocolFrames, TruncatedFramesStayPending) {
    const std::string frame = gwu::emu::EncodeClientMessage(Select("MEASURE"));
    for (size_t length = 0; length < frame.size(); ++length) {
        FrameDecoder decoder;
        decoder.Feed(frame.substr(0, length));
        EXPECT_FALSE(decoder.Next().has_value()) << length;
        EXPECT_EQ(decoder.Pending(), length);
    }
}

TEST(ProtocolFrames, OversizedFramesAreRefusedAsSoonAsAnnounced) {
    FrameDecoder atLimit;
    atLimit.Feed(BigEndian(kMaxFramePayload));
    atLimit.Feed(std::string(kMaxFramePayload, 'x'));
    EXPECT_EQ(atLimit.Next()->size(), kMaxFramePayload);

    FrameDecoder decoder;
    decoder.Feed(gwu::emu::EncodeFlag(true));
    EXPECT_THROW(decoder.Feed(BigEndian(kMaxFramePayload + 1)), ProtocolError);
    EXPECT_TRUE(decoder.Next().has_value());  // the frame before it is still delivered
    FrameDecoder huge;
    EXPECT_THROW(huge.Feed(BigEndian(0xFFFFFFFFu)), ProtocolError);
}

// ---------------------------------------------------------------------------------------------
// The server over loopback

UniqueFd ConnectTo(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{kIoTimeoutMs / 1000, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot connect to 127.0.0.1:" << port;
    }
    return fd;
}

void SendBytes(const UniqueFd& fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// The next reply payload; empty when the server closed the connection or sent nothing within
// the wait.
std::optional<std::string> Receive(const UniqueFd& fd, FrameDecoder& decoder,
                                   int waitMs = kIoTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (true) {
        if (auto payload = decoder.Next()) {
            return payload;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd.Get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char chunk[512];
        const ssize_t count = ::recv(fd.Get(), chunk, sizeof chunk, 0);
        if (count <= 0) {
            return std::nullopt;
        }
        decoder.Feed(std::string_view(chunk, static_cast<size_t>(count)));
    }
}

// True when the peer has closed the connection (within the wait).
bool ClosedByPeer(const UniqueFd& fd) {
    pollfd pfd{fd.Get(), POLLIN, 0};
    if (::poll(&pfd, 1, kIoTimeoutMs) <= 0) {
        return false;
    }
    char byte = 0;
    return ::recv(fd.Get(), &byte, 1, 0) == 0;
}

const char* const kServedScenario = R"({
  "communication": {"releases": {"loaded": "KLEM_12345_R4.2.1"}},
  "faults": [{"card": "VCL", "request": "0x10000000", "nth": 1, "kind": "timeout"},
             {"card": "VCL", "request": "0x10000000", "nth": 2, "kind": "disconnect"}]
})";

TEST(ProtocolServer, ServesClientsOneAfterAnotherOverLoopback) {
    auto gateway = gwu::emu::Gateway::FromScenarioText(kServedScenario, "served.json", "");
    gwu::emu::TcpServer server(*gateway);
    ASSERT_NE(server.Port(), 0);
    EXPECT_EQ(server.Host(), "127.0.0.1");

    {
        UniqueFd client = ConnectTo(server.Port());
        FrameDecoder decoder;
        SendBytes(client, gwu::emu::EncodeClientMessage(Simple(MessageKind::Connect)) +
                              gwu::emu::EncodeClientMessage(Select("VCL")));
        for (int i = 0; i < 2; ++i) {
            const auto flag = Receive(client, decoder);
            ASSERT_TRUE(flag.has_value());
            EXPECT_TRUE(gwu::emu::DecodeFlag(*flag));
        }
        EXPECT_EQ(gateway->SelectedCard(), "VCL");

        // A reply sent a byte at a time arrives whole.
        const std::string frame = gwu::emu::EncodeClientMessage(Execute(0x20000000, 5));
        for (char c : frame) {
            SendBytes(client, std::string(1, c));
        }
        auto payload = Receive(client, decoder);
        ASSERT_TRUE(payload.has_value());
        Response response = gwu::emu::DecodeResponse(*payload);
        EXPECT_EQ(response.outcome, Outcome::Reply);
        EXPECT_EQ(response.bytes, "KLEM_");

        // A timeout is silence: the next request is answered as usual.
        SendBytes(client, gwu::emu::EncodeClientMessage(Execute(0x10000000, 128)));
        EXPECT_FALSE(Receive(client, decoder, 200).has_value());
        SendBytes(client, gwu::emu::EncodeClientMessage(Execute(0x20000000, 128)));
        payload = Receive(client, decoder);
        ASSERT_TRUE(payload.has_value());
        EXPECT_EQ(gwu::emu::DecodeResponse(*payload).bytes, "KLEM_12345_R4.2.1");

        // A disconnect fault drops the connection.
        SendBytes(client, gwu::emu::EncodeClientMessage(Execute(0x10000000, 128)));
        EXPECT_TRUE(ClosedByPeer(client));
    }
    {
        // An oversized frame closes the connection as soon as its length arrives.
        UniqueFd client = ConnectTo(server.Port());
        SendBytes(client, BigEndian(kMaxFramePayload + 1));
        EXPECT_TRUE(ClosedByPeer(client));
    }
    {
        // So does a well-framed message that does not decode.
        UniqueFd client = ConnectTo(server.Port());
        SendBytes(client, BigEndian(1) + "Z");
        EXPECT_TRUE(ClosedByPeer(client));
    }
    // The server still serves the next client, and Stop() ends it while a client waits.
    UniqueFd client = ConnectTo(server.Port());
    FrameDecoder decoder;
    SendBytes(client, gwu::emu::EncodeClientMessage(Simple(MessageKind::Disconnect)));
    const auto flag = Receive(client, decoder);
    ASSERT_TRUE(flag.has_value());
    EXPECT_TRUE(gwu::emu::DecodeFlag(*flag));
    EXPECT_EQ(gateway->RequestCount(), 4);
    server.Stop();
    EXPECT_TRUE(ClosedByPeer(client));
    server.Stop();
}

TEST(ProtocolServer, RefusesAddressesItCannotUse) {
    auto gateway = gwu::emu::Gateway::FromScenarioText("{}", "empty.json", "");
    EXPECT_THROW(gwu::emu::TcpServer(*gateway, "not-an-address", 0), std::system_error);
    gwu::emu::TcpServer first(*gateway);
    EXPECT_THROW(gwu::emu::TcpServer(*gateway, "127.0.0.1", first.Port()), std::system_error);
}

// ---------------------------------------------------------------------------------------------
// The gwemu program

// A child process whose stdout and stderr come through one pipe; killed and reaped if the test
// ends early.
class Child {
public:
    explicit Child(std::vector<std::string> arguments) {
        int out[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        m_out = UniqueFd(out[0]);
        const UniqueFd write(out[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, write.Get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, write.Get(), STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
            ADD_FAILURE() << "cannot start " << argv[0];
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    // The next line of output; what arrived when the output ends or the wait runs out.
    std::string ReadLine() const {
        std::string line;
        char c = 0;
        pollfd pfd{m_out.Get(), POLLIN, 0};
        while (line.size() < 4096 && ::poll(&pfd, 1, kIoTimeoutMs) > 0 &&
               ::read(m_out.Get(), &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // The exit status, waiting at most the I/O timeout; -1 when it has not ended.
    int Wait() {
        for (int i = 0; i < kIoTimeoutMs / 10; ++i) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    UniqueFd m_out;
};

TEST(ProtocolProgram, GwemuServesAScenarioUntilTerminated) {
    const std::string scenario = std::string(GWU_SAMPLE_DIR) + "/scenarios/matching.json";
    Child child({GWEMU_PATH, "--scenario", scenario, "--listen", "127.0.0.1:0"});
    const std::string line = child.ReadLine();
    const std::string prefix = "gwemu listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const auto port = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));

    UniqueFd client = ConnectTo(port);
    FrameDecoder decoder;
    SendBytes(client, gwu::emu::EncodeClientMessage(Select("VCL")) +
                          gwu::emu::EncodeClientMessage(Execute(0x00000200, 128)));
    ASSERT_TRUE(Receive(client, decoder).has_value());
    const auto payload = Receive(client, decoder);
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(gwu::emu::DecodeResponse(*payload).bytes, "KLEM_MAC_R3.1");

    ::kill(child.Pid(), SIGTERM);
    EXPECT_EQ(child.Wait(), 0);
}

TEST(ProtocolProgram, GwemuRefusesABadScenarioWithStatus2) {
    gwu::test::TempDir dir;
    const std::string path = (dir.Path() / "broken.json").string();
    WriteText(path, R"({"faults": [{"card": "VCL"}]})");
    Child child({GWEMU_PATH, "--scenario", path});
    const std::string message = child.ReadLine();
    EXPECT_NE(message.find(path + ": faults[0].request: required"), std::string::npos) << message;
    EXPECT_EQ(child.Wait(), 2);
}

}  // namespace
