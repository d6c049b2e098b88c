// Tests of gwemu's wire protocol and its TCP server: each message's bytes on the wire and its
// round trip, frames split at every byte boundary, oversized and truncated input, and the server
// over loopback with a raw socket. Then HOST:PORT as the programs read it: the last colon splits,
// the port is one to five digits within the syntax's range, and a scheme and bracketed hosts are
// taken as each program's syntax says.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "emulator/model/Gateway.h"
#include "emulator/serving/TcpServer.h"
#include "testsupport/LoopbackClient.h"
#include "wire/Address.h"
#include "wire/Protocol.h"

namespace {

using namespace gwu::wire;

ClientMessage Message(MessageKind kind, const std::string& card = {}) {
    return {kind, card, {}};
}
ClientMessage Execute(std::uint32_t type, std::int32_t capacity, std::string data = {}) {
    return {MessageKind::Execute,
            {},
            {Builder::VsiGetSerialNumber, static_cast<std::int32_t>(type),
             static_cast<std::int32_t>(0x88000000u), capacity, std::move(data), 10000}};
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

TEST(ProtocolMessages, EachMessageHasItsWireBytesAndDecodesBack) {
    const std::string data("HX\0\x80\xff", 5);
    const Response thrown{Outcome::Throw, -5, std::string("\0ab", 3), 144, 1003};
    const Response replied{Outcome::Reply, 0, "x", std::nullopt, 0};
    using Reencode = std::function<std::string(std::string_view)>;
    const Reencode client = [](auto p) { return EncodeClientMessage(DecodeClientMessage(p)); };
    const Reencode response = [](auto p) { return EncodeResponse(DecodeResponse(p)); };
    const Reencode flag = [](auto p) { return EncodeFlag(DecodeFlag(p)); };
    const std::tuple<std::string, std::string, Reencode> cases[] = {
        {EncodeClientMessage(Message(MessageKind::Connect)), BigEndian(1) + "C", client},
        {EncodeClientMessage(Message(MessageKind::Disconnect)), BigEndian(1) + "D", client},
        {EncodeClientMessage(Message(MessageKind::SelectCard, "VCL")),
         BigEndian(8) + "S" + BigEndian(3) + "VCL", client},
        {EncodeClientMessage(Execute(0x80000000u, -1, data)),
         BigEndian(27) + "X\x03" + BigEndian(0x80000000u) + BigEndian(0x88000000u) +
             BigEndian(0xFFFFFFFFu) + BigEndian(10000) + BigEndian(5) + data,
         client},
        {EncodeResponse(thrown),
         BigEndian(21) + "\x02" + BigEndian(0xFFFFFFFBu) + BigEndian(1003) + "\x01" +
             BigEndian(144) + BigEndian(3) + thrown.bytes,
         response},
        {EncodeResponse(replied),
         BigEndian(19) + "\x01" + BigEndian(0) + BigEndian(0) + '\0' + BigEndian(0) + BigEndian(1) +
             "x",
         response},
        {EncodeFlag(true), BigEndian(1) + "\x01", flag},
        {EncodeFlag(false), BigEndian(1) + '\0', flag},
    };
    for (const auto& [frame, wire, reencode] : cases) {
        SCOPED_TRACE(::testing::PrintToString(wire));
        EXPECT_EQ(frame, wire);
        EXPECT_EQ(reencode(PayloadOf(frame)), frame);
    }
}

TEST(ProtocolMessages, MalformedPayloadsAreRefused) {
    const std::string execute = PayloadOf(EncodeClientMessage(Execute(1, 128, "abc")));
    const std::string response = PayloadOf(EncodeResponse(Response{}));
    const auto with = [](std::string payload, size_t at, char byte) {
        payload[at] = byte;
        return payload;
    };
    // Each decoder with a whole payload, every truncation of which it refuses, and more it
    // refuses: one byte too many; an unknown kind, builder or outcome; a has-claimed byte that is
    // not 0 or 1; a byte string that announces more than the payload holds.
    using Decoder = std::function<void(std::string_view)>;
    const std::tuple<Decoder, std::string, std::vector<std::string>> decoders[] = {
        {DecodeClientMessage,
         execute,
         {execute + "x", "Q", with(execute, 1, 0), with(execute, 1, 6),
          "S" + BigEndian(0xFFFFFFFFu) + "VCL"}},
        {DecodeResponse,
         response,
         {response + "x", with(response, 0, 0), with(response, 0, 5), with(response, 9, 2)}},
        {DecodeFlag, "\x01", {"\x02", "\x01\x01"}}};
    for (auto [decode, whole, refused] : decoders) {
        for (size_t length = 0; length < whole.size(); ++length) {
            refused.push_back(whole.substr(0, length));
        }
        for (const std::string& payload : refused) {
            EXPECT_THROW(decode(payload), ProtocolError) << ::testing::PrintToString(payload);
        }
    }
    // A payload of exactly the frame limit is encoded; nothing larger is.
    EXPECT_EQ(EncodeClientMessage(Execute(1, 1, std::string(kMaxFramePayload - 22, 'x'))).size(),
              kMaxFramePayload + 4);
    EXPECT_THROW(EncodeClientMessage(Execute(1, 1, std::string(kMaxFramePayload - 21, 'x'))),
                 ProtocolError);
}

// ---------------------------------------------------------------------------------------------
// Framing

// A stream of frames fed in pieces of every size, down to a byte at a time: each frame comes out
// as soon as it is whole and not before, and what is left of the stream stays pending. Oversized
// frames are refused.
TEST(ProtocolFrames, FramesSplitAtEveryByteBoundaryDecodeAlikeAndOversizedOnesAreRefused) {
    const std::vector<std::string> frames = {
        EncodeClientMessage(Message(MessageKind::Connect)),
        EncodeClientMessage(Message(MessageKind::SelectCard, "MEASURE")),
        EncodeClientMessage(Execute(0x20000000, 128, std::string(128, '\0'))),
        BigEndian(0)};  // an empty payload is a frame too
    std::string stream;
    std::vector<std::string> payloads;
    for (const std::string& frame : frames) {
        stream += frame;
        payloads.push_back(PayloadOf(frame));
    }
    for (size_t step = 1; step <= stream.size(); ++step) {
        SCOPED_TRACE("pieces of " + std::to_string(step));
        FrameDecoder decoder;
        std::vector<std::string> received;
        size_t whole = 0;  // bytes of the frames received
        for (size_t fed = 0; fed < stream.size();) {
            decoder.Feed(std::string_view(stream).substr(fed, step));
            fed = std::min(fed + step, stream.size());
            for (auto payload = decoder.Next(); payload; payload = decoder.Next()) {
                whole += 4 + payload->size();
                received.push_back(*payload);
            }
            EXPECT_EQ(decoder.Pending(), fed - whole);
            if (received.size() < frames.size()) {
                EXPECT_LT(fed, whole + frames[received.size()].size());
            }
        }
        EXPECT_EQ(received, payloads);
    }
    // A frame of the largest payload is taken; a larger one is refused as soon as its length
    // is announced.
    FrameDecoder atLimit;
    atLimit.Feed(BigEndian(kMaxFramePayload));
    atLimit.Feed(std::string(kMaxFramePayload, 'x'));
    EXPECT_EQ(atLimit.Next()->size(), kMaxFramePayload);

    FrameDecoder decoder;
    decoder.Feed(EncodeFlag(true));
    EXPECT_THROW(decoder.Feed(BigEndian(kMaxFramePayload + 1)), ProtocolError);
    EXPECT_TRUE(decoder.Next().has_value());  // the frame before it is still delivered
    FrameDecoder huge;
    EXPECT_THROW(huge.Feed(BigEndian(0xFFFFFFFFu)), ProtocolError);
}

// ---------------------------------------------------------------------------------------------
// The server over loopback

// A raw client on 127.0.0.1 that reads the server's frames.
class Client : public gwu::test::LoopbackClient {
public:
    explicit Client(std::uint16_t port) : LoopbackClient(port) { EXPECT_TRUE(Connected()); }
    void Send(const std::string& bytes) const { EXPECT_TRUE(LoopbackClient::Send(bytes)); }
    // The next payload; empty when the server closed the connection or sent nothing in time.
    std::optional<std::string> Receive() {
        char chunk[512];
        for (int i = 0; i < 100; ++i) {
            if (auto payload = m_decoder.Next()) {
                return payload;
            }
            const long count = LoopbackClient::Receive(chunk, sizeof chunk);
            if (count <= 0) {
                return std::nullopt;
            }
            m_decoder.Feed(std::string_view(chunk, static_cast<size_t>(count)));
        }
        return std::nullopt;
    }

private:
    FrameDecoder m_decoder;
};

TEST(ProtocolServer, ServesClientsEachOnItsOwnCardAndClosesOnesThatSendBadFrames) {
    auto gateway = gwu::emu::Gateway::FromScenarioText(
        R"({"communication": {"releases": {"loaded": "KLEM_12345_R4.2.1"}}, "faults": [
            {"card": "VCL", "request": "0x10000000", "nth": 1, "kind": "timeout"},
            {"card": "VCL", "request": "0x10000000", "nth": 2, "kind": "disconnect"}]})",
        "served.json", "");
    EXPECT_THROW(gwu::emu::TcpServer(*gateway, "not-an-address", 0), std::system_error);
    gwu::emu::TcpServer server(*gateway, "localhost");
    EXPECT_EQ(server.Host(), "127.0.0.1");
    EXPECT_THROW(gwu::emu::TcpServer(*gateway, "127.0.0.1", server.Port()), std::system_error);
    const std::string yes = PayloadOf(EncodeFlag(true));
    const std::string loaded = PayloadOf(EncodeResponse({Outcome::Reply, 0, "KLEM_", {}, 0}));
    {
        Client client(server.Port());
        client.Send(EncodeClientMessage(Message(MessageKind::Connect)) +
                    EncodeClientMessage(Message(MessageKind::SelectCard, "VCL")));
        EXPECT_EQ(client.Receive(), yes);
        EXPECT_EQ(client.Receive(), yes);
        EXPECT_EQ(gateway->SelectedCard(), "VCL");
        // A timeout fault is silence: the next answer is the next request's, which is answered
        // whole though sent a byte at a time. A disconnect fault closes the connection.
        client.Send(EncodeClientMessage(Execute(0x10000000, 128)));
        for (char c : EncodeClientMessage(Execute(0x20000000, 5))) {
            client.Send(std::string(1, c));
        }
        EXPECT_EQ(client.Receive(), loaded);
        client.Send(EncodeClientMessage(Execute(0x10000000, 128)));
        EXPECT_TRUE(client.Closed());
    }
    // An oversized frame closes the connection as soon as its length arrives; so does a
    // well-framed message that does not decode. A client that leaves with a frame cut short is
    // dropped. The next client is still served.
    for (const std::string& bad : {BigEndian(kMaxFramePayload + 1), BigEndian(1) + "Z"}) {
        Client client(server.Port());
        client.Send(bad);
        EXPECT_TRUE(client.Closed());
    }
    Client(server.Port()).Send(BigEndian(5) + "X");
    // Clients are served at once, each request on the card its own client selected; a client
    // beyond kMaxClients is closed as it connects, and the others are still served.
    std::vector<std::unique_ptr<Client>> clients;
    for (const char* card : {"VCL", "QPT"}) {
        clients.push_back(std::make_unique<Client>(server.Port()));
        clients.back()->Send(EncodeClientMessage(Message(MessageKind::SelectCard, card)));
        EXPECT_EQ(clients.back()->Receive(), yes);
    }
    while (clients.size() < gwu::emu::TcpServer::kMaxClients) {
        clients.push_back(std::make_unique<Client>(server.Port()));
    }
    EXPECT_TRUE(Client(server.Port()).Closed());
    const std::string answers[] = {
        loaded,
        PayloadOf(EncodeResponse({Outcome::Reply, gwu::emu::kErrorUnknownRequest, "", {}, 0}))};
    for (size_t i = 0; i < 2; ++i) {
        clients[i]->Send(EncodeClientMessage(Execute(0x20000000, 5)));
        EXPECT_EQ(clients[i]->Receive(), answers[i]) << i;
    }
    clients[0]->Send(EncodeClientMessage(Message(MessageKind::Disconnect)));
    EXPECT_EQ(clients[0]->Receive(), yes);
    EXPECT_EQ(gateway->RequestCount(), 5);
    // Stop() ends the server while a client waits, and may be called again.
    server.Stop();
    EXPECT_TRUE(clients[0]->Closed());
    server.Stop();
}

// ---------------------------------------------------------------------------------------------
// HOST:PORT

using HostPort = std::optional<std::pair<std::string, int>>;  // empty: refused

const AddressSyntax kListen{};                            // gwemu --listen
const AddressSyntax kUpstream{"tcp://", true, false, 1};  // gwemu --upstream
const AddressSyntax kDevice{"tcp://", false, false, 1};   // a device tcp://HOST:PORT
const AddressSyntax kBracketed{{}, false, true, 0};       // a listener that takes IPv6 hosts

TEST(AddressParse, SplitsHostAndPortAsEachSyntaxSays) {
    const std::vector<std::tuple<std::string_view, AddressSyntax, HostPort>> cases = {
        {"127.0.0.1:0", kListen, {{"127.0.0.1", 0}}},
        {"localhost:65535", kListen, {{"localhost", 65535}}},
        {"::1:8080", kListen, {{"::1", 8080}}},  // the last colon splits
        {"tcp://h:80", kListen, {{"tcp://h", 80}}},
        {"h:00080", kListen, {{"h", 80}}},
        {"h:65536", kListen, std::nullopt},
        {"h:000080", kListen, std::nullopt},  // six digits
        {":80", kListen, std::nullopt},
        {"h:", kListen, std::nullopt},
        {"h", kListen, std::nullopt},
        {"h:+80", kListen, std::nullopt},
        {"h: 80", kListen, std::nullopt},
        {"h:-0", kListen, std::nullopt},
        {"h:8a", kListen, std::nullopt},
        {std::string_view("h:80\0", 5), kListen, std::nullopt},
        {"tcp://h:80", kUpstream, {{"h", 80}}},
        {"tcp://h:1", kUpstream, {{"h", 1}}},
        {"h:80", kUpstream, std::nullopt},
        {"tcp://h:0", kUpstream, std::nullopt},
        {"tcp://:80", kUpstream, std::nullopt},
        {"h:80", kDevice, {{"h", 80}}},
        {"tcp://h:80", kDevice, {{"h", 80}}},
        {"[::1]:8080", kBracketed, {{"::1", 8080}}},
        {"[::1]:8080", kListen, {{"[::1]", 8080}}},
        {"::1:8080", kBracketed, std::nullopt},
        {"[]:80", kBracketed, std::nullopt},
        {"a]:80", kBracketed, std::nullopt},
    };
    for (const auto& [text, syntax, expected] : cases) {
        const auto parsed = ParseHostPort(text, syntax);
        const HostPort got = parsed ? HostPort({parsed->host, parsed->port}) : std::nullopt;
        EXPECT_EQ(got, expected) << "\"" << text << "\" with scheme \"" << syntax.scheme << "\"";
    }
}

}  // namespace
