// The library over the stand-in host's real connections, in process and over TCP on 127.0.0.1:
// what only a real socket shows. Sample scenarios and faulty devices read alike on both; a
// latency is waited out; refused, garbled or silent peers end as documented.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "connections/EmulatorConnection.h"
#include "emulator/TcpServer.h"
#include "gateway/CGatewayChecks.h"
#include "host/MemoryValueStore.h"
#include "platform/ValueStore.h"
#include "repair/CHLXSerialNumRepair.h"
#include "repair/RepairReport.h"
#include "testsupport/Fixtures.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Values = std::map<std::string, std::string>;
namespace net = gwu::wire::net;

// What the frame shows for one card family's values ("HLX" or "QPT"); "" for names never set.
Values Published(gwu::host::Frame& frame, const std::string& family = "HLX") {
    Values values;
    for (const char* item :
         {"_SerialNum", "_Release", "_Release_Untrimmed", "_PROM_Release",
          "_PROM_Release_Untrimmed", "_Bootstrap_Release", "_Bootstrap_Release_Untrimmed",
          "_CPLD_Release", "_CPLD_Release_Untrimmed", "_MAC_Firmware_Release",
          "_MAC_Firmware_Release_Untrimmed"}) {
        frame.Store().GetValue(family + item, &values[family + item], CTabValueStore::kMaxLength);
    }
    return values;
}

// The connection to the gateway: in process, or over TCP through a server on 127.0.0.1.
std::unique_ptr<CBaseComms> Connect(gwu::emu::Gateway& gateway, bool tcp,
                                    std::unique_ptr<gwu::emu::TcpServer>& server) {
    if (!tcp) {
        return std::make_unique<gwu::host::EmulatorConnection>(gateway);
    }
    server = std::make_unique<gwu::emu::TcpServer>(gateway, "127.0.0.1", 0);
    return std::make_unique<gwu::host::TcpConnection>("127.0.0.1", server->Port());
}

// One reading request of the type: the comms exception's code (0: none) and the text answered.
std::pair<int, std::string> Read(CBaseComms& comms, int type, int timeoutMs) {
    char buffer[128] = {};
    int size = sizeof buffer;
    int error = -1;
    CSubStream command;
    VSI_GetSerialNumber(command, type, &size, buffer, 0, &error);
    try {
        comms.ExecuteSubCommand(command, timeoutMs, 0);
    } catch (const CBaseCommsException& e) {
        return {e.Code(), buffer};
    }
    return {0, buffer};
}

// A sample scenario, with one fault rule added when one is given, played by an emulated gateway
// behind one of the two connections, with the library's checks for the card on top.
struct Bench {
    Bench(const std::string& name, bool tcp, const fs::path& firmware,
          const nlohmann::json& rule = nullptr, const char* card = "VCL") {
        nlohmann::json scenario = nlohmann::json::parse(
            std::ifstream(fs::path(GWU_SAMPLE_DIR) / "scenarios" / (name + ".json")));
        if (!rule.is_null()) {
            scenario["faults"] = nlohmann::json::array({rule});
        }
        gateway = gwu::emu::Gateway::FromScenarioText(scenario.dump(), name, firmware.string());
        comms = Connect(*gateway, tcp, server);
        checks = std::make_unique<CGatewayChecks>(&frame, comms.get());
        checks->SetCardName(card);
    }

    // Destroyed from the bottom up: the checks, the frame, the connection, server and gateway.
    std::unique_ptr<gwu::emu::Gateway> gateway;
    std::unique_ptr<gwu::emu::TcpServer> server;
    std::unique_ptr<CBaseComms> comms;
    gwu::host::Frame frame;
    std::unique_ptr<CGatewayChecks> checks;
};

// Every request's timeout is scaled: the 10 s of a reading request become 200 ms.
class ConnectionTest : public gwu::test::FolderFixture {
protected:
    // Spends the process's one serial-number repair for the test (its report in the test's
    // folder), so that a lost serial number stays unpublished instead of starting a repair.
    void SetUp() override {
        CopySampleFirmware();
        gwu::RepairReport::RestartForTesting(Root().string());
        CHLXSerialNumRepair spent(nullptr, {});
    }
    void TearDown() override {
        gwu::RepairReport::RestartForTesting("");
        CHLXSerialNumRepair::ResetRepairCountForTesting();
    }
    gwu::test::ScopedEnv m_scale{"GWU_TIMEOUT_SCALE", "0.02"};
};

// Every sample scenario publishes the same values and verdicts in process and over TCP.
TEST_F(ConnectionTest, SampleScenariosReadAlikeOverBothConnections) {
    for (const auto& entry : fs::directory_iterator(fs::path(GWU_SAMPLE_DIR) / "scenarios")) {
        const std::string scenario = entry.path().stem().string();
        const bool measurement = scenario == "measurement";
        std::pair<Values, std::string> readings[2];
        for (const bool tcp : {false, true}) {
            Bench bench(scenario, tcp, Firmware(), nullptr, measurement ? "QPT" : "VCL");
            const std::string verdicts = bench.checks->CheckForUpdates(true).ToString();
            readings[tcp] = {Published(bench.frame, measurement ? "QPT" : "HLX"), verdicts};
        }
        EXPECT_EQ(readings[0], readings[1]) << scenario;
    }
}

// Each kind of fault at each request position of a reading over TCP ends as it does in process:
// a comms failure publishes Unknown everywhere (the result says whether the PROM had been read),
// any other faulty reply spoils the reading but lets it go on unless the loaded code failed. The
// next reading reconnects and finds the device as it was.
TEST_F(ConnectionTest, FaultAtEveryRequestOfAReadingOverTcp) {
    Bench healthy("matching", true, Firmware());
    ASSERT_TRUE(healthy.checks->SetReleaseIds(true));
    ASSERT_EQ(healthy.gateway->RequestCount(), 6);
    const Values baseline = Published(healthy.frame);
    // The reading's requests in order: loaded code, PROM, bootstrap, CPLD, cable, serial number.
    const unsigned requests[] = {0x20000000u, 0x10000000u, 0x01000000u,
                                 0x800u,      0x200u,      0x80000000u};
    for (size_t position = 0; position < 6; ++position) {
        for (const std::string kind :
             {"throw", "error", "timeout", "short", "oversize", "disconnect"}) {
            SCOPED_TRACE(kind + " at position " + std::to_string(position));
            nlohmann::json rule = {{"card", "VCL"},
                                   {"request", std::to_string(requests[position])},
                                   {"builder", "get"},
                                   {"kind", kind}};
            if (kind == "error") {
                rule["error"] = 6;
            }
            Bench direct("matching", false, Firmware(), rule);
            const bool readDirect = direct.checks->SetReleaseIds(true);
            Bench bench("matching", true, Firmware(), rule);
            const bool read = bench.checks->SetReleaseIds(true);
            const Values published = Published(bench.frame);
            EXPECT_EQ(read, readDirect);
            EXPECT_EQ(published, Published(direct.frame));
            EXPECT_NE(published, baseline);
            if (kind == "throw" || kind == "timeout" || kind == "disconnect") {
                EXPECT_EQ(read, position >= 2);  // whether the PROM had been read
                for (const auto& [name, value] : published) {
                    EXPECT_EQ(value, "Unknown") << name;
                }
            } else {
                EXPECT_EQ(read, kind != "error" || position != 0);
            }
            EXPECT_TRUE(bench.checks->SetReleaseIds(true));
            EXPECT_EQ(Published(bench.frame), baseline);
        }
    }
}

// A latency delays the answer in process and over TCP alike; one above the request's timeout
// ends as a timeout, no sooner than the scaled timeout.
TEST_F(ConnectionTest, LatencyDelaysTheAnswerOrTimesTheRequestOut) {
    auto gateway = gwu::emu::Gateway::FromScenarioText(
        R"({"communication": {"releases": {"loaded": "KLEM_1_R1"}}, "latency_ms": 150,
            "request_latency_ms": {"0x10000000": 20000}})",
        "latency.json", "");
    // Request type, timeout, the comms exception's code (0: answered), the least time taken.
    const std::tuple<int, int, int, int> cases[] = {
        {0x20000000, 30000, 0, 100}, {0x10000000, 10000, gwu::host::kCommsTimeout, 190}};
    for (const bool tcp : {false, true}) {
        std::unique_ptr<gwu::emu::TcpServer> server;
        const std::unique_ptr<CBaseComms> comms = Connect(*gateway, tcp, server);
        comms->SelectCard("VCL");
        for (const auto& [type, timeoutMs, code, least] : cases) {
            SCOPED_TRACE(std::to_string(type) + (tcp ? " over TCP" : " in process"));
            const auto start = Clock::now();
            const std::pair<int, std::string> answer = Read(*comms, type, timeoutMs);
            EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(least));
            EXPECT_EQ(answer, std::make_pair(code, std::string(code == 0 ? "KLEM_1_R1" : "")));
        }
    }
}

// Against a closed port, a peer that never answers and one that garbles its reply, Connect says
// false and a request ends in the matching comms exception, the silent peer's no sooner than the
// scaled timeout.
TEST_F(ConnectionTest, TcpConnectionAgainstFailingPeers) {
    // The port is closed (no answer), or the peer answers each client with some bytes (or none).
    const std::pair<std::optional<std::string>, int> peers[] = {
        {std::nullopt, gwu::host::kCommsRefused},
        {std::string(), gwu::host::kCommsTimeout},
        {std::string("\xFF\xFF\xFF\xF0", 4), gwu::host::kCommsMalformed},  // a huge frame
        {std::string("\0\0\0\1Z", 5), gwu::host::kCommsMalformed}};        // not a reply
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
        gwu::host::TcpConnection connection("127.0.0.1", port);
        EXPECT_FALSE(connection.Connect());
        const auto start = Clock::now();
        EXPECT_EQ(Read(connection, 0x20000000, 10000).first, code);
        const auto elapsed = Clock::now() - start;
        peer.join();
        if (answer) {
            EXPECT_EQ(clients, 2);
        }
        if (code == gwu::host::kCommsTimeout) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(190));
        }
    }
}

}  // namespace
