// The library over the stand-in host's real connections: the emulated gateway in process and over
// TCP on 127.0.0.1. Sample scenarios read alike on both; faults at every request of a reading, a
// drop during an update and garbled or silent peers end as documented, and nothing hangs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "EmulatorConnection.h"
#include "Fixtures.h"
#include "Gateway.h"
#include "TcpServer.h"
#include "ValueStore.h"
#include "devices/CHLXUtils.h"
#include "gateway/CGatewayChecks.h"
#include "repair/CHLXSerialNumRepair.h"
#include "repair/RepairReport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Values = std::map<std::string, std::string>;
using gwu::emu::UniqueFd;

// Every request's timeout is scaled: the 10 s of a reading request become 200 ms.
constexpr const char* kTimeoutScale = "0.02";
constexpr auto kRunLimit = std::chrono::seconds(5);
constexpr const char* kAllSame = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,";

const std::vector<std::string> kHlxNames = [] {
    std::vector<std::string> names = {"HLX_SerialNum"};
    for (const char* item : {"", "_PROM", "_Bootstrap", "_CPLD", "_MAC_Firmware"}) {
        names.push_back(std::string("HLX") + item + "_Release");
        names.push_back(names.back() + "_Untrimmed");
    }
    return names;
}();

Values Published(gwu::host::Frame& frame, const std::vector<std::string>& names = kHlxNames) {
    Values values;
    for (const std::string& name : names) {
        frame.Store().GetValue(name, &values[name], CTabValueStore::kMaxLength);
    }
    return values;
}

// A listening socket on 127.0.0.1 with a free port.
UniqueFd Listen(std::uint16_t& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_TRUE(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                ::listen(fd.Get(), 1) == 0 &&
                ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0);
    port = ntohs(address.sin_port);
    return fd;
}

enum class Transport { InProcess, Tcp };

// One emulated gateway behind one of the two connections. The frame goes first, then the
// connection, the server and the gateway.
struct Bench {
    Bench(const std::string& scenario, Transport transport, const fs::path& firmware)
        : gateway(gwu::emu::Gateway::FromScenarioText(scenario, "bench.json", firmware.string())) {
        if (transport == Transport::Tcp) {
            server = std::make_unique<gwu::emu::TcpServer>(*gateway, "127.0.0.1", 0);
            comms = std::make_unique<gwu::host::TcpConnection>("127.0.0.1", server->Port());
        } else {
            comms = std::make_unique<gwu::host::EmulatorConnection>(*gateway);
        }
    }
    std::string Value(const std::string& name) { return Published(frame, {name})[name]; }

    std::unique_ptr<gwu::emu::Gateway> gateway;
    std::unique_ptr<gwu::emu::TcpServer> server;
    std::unique_ptr<CBaseComms> comms;
    gwu::host::Frame frame;
};

// A raw peer on 127.0.0.1. Without an answer it never accepts; with one it accepts one client,
// sends it the answer and waits, at most 3 s, for it to go.
class Peer {
public:
    explicit Peer(std::optional<std::string> answer) : m_listener(Listen(m_port)) {
        if (answer) {
            m_thread = std::thread([this, bytes = *answer] { Serve(bytes); });
        }
    }
    ~Peer() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    std::uint16_t Port() const { return m_port; }

private:
    void Serve(const std::string& bytes) const {
        pollfd waiting{m_listener.Get(), POLLIN, 0};
        if (::poll(&waiting, 1, 3000) <= 0) {
            return;
        }
        const UniqueFd client(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        ::send(client.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char chunk[256];
        pollfd reading{client.Get(), POLLIN, 0};
        for (int i = 0; i < 100 && ::poll(&reading, 1, 3000) > 0 &&
                        ::recv(client.Get(), chunk, sizeof chunk, 0) > 0;
             ++i) {
        }
    }

    std::uint16_t m_port = 0;
    UniqueFd m_listener;
    std::thread m_thread;
};

// One loaded-code request; the code of the comms exception it ends in, 0 when it got a reply.
int ExecuteOne(CBaseComms& comms) {
    char buffer[128] = {};
    int length = sizeof buffer;
    int error = -1;
    CSubStream command;
    VSI_GetSerialNumber(command, 0x20000000, &length, buffer, 0, &error);
    try {
        comms.ExecuteSubCommand(command, 10000, 0);
        return 0;
    } catch (const CBaseCommsException& e) {
        return e.Code();
    }
}

class ConnectionTest : public gwu::test::FolderFixture {
protected:
    void SetUp() override { CopySampleFirmware(); }
    // A sample scenario, with one fault rule added when one is given.
    static std::string Scenario(const std::string& name, const nlohmann::json& rule = nullptr) {
        const std::string text =
            ReadFile(fs::path(GWU_SAMPLE_DIR) / "scenarios" / (name + ".json"));
        if (rule.is_null()) {
            return text;
        }
        nlohmann::json scenario = nlohmann::json::parse(text);
        scenario["faults"] = nlohmann::json::array({rule});
        return scenario.dump();
    }
    void FreshFirmware() const {
        fs::remove_all(Firmware());
        fs::create_directories(Firmware());
        CopySampleFirmware();
    }
    gwu::test::ScopedEnv m_scale{"GWU_TIMEOUT_SCALE", kTimeoutScale};
};

// The published values and verdicts of the sample scenarios, and the update round trip of a
// device behind the release, are the same in process and over TCP.
TEST_F(ConnectionTest, SampleScenariosAlikeOverBothConnections) {
    const std::tuple<const char*, const char*, Values, const char*> cases[] = {
        {"matching",
         "VCL",
         {{"HLX_SerialNum", "HX100307"},
          {"HLX_Release", "R4.2.1"},
          {"HLX_Release_Untrimmed", "KLEM_12345_R4.2.1"},
          {"HLX_PROM_Release", "R2.0.3"},
          {"HLX_Bootstrap_Release_Untrimmed", "KLEM_BOOT_R1.4.0"},
          {"HLX_CPLD_Release", "STANDARD BEXA CPLD"},
          {"HLX_MAC_Firmware_Release", "KLEM_MAC_R3.1"}},
         kAllSame},
        {"behind",
         "VCL",
         {{"HLX_PROM_Release_Untrimmed", "KLEM_PROM_R1.9.8"}, {"HLX_Bootstrap_Release", "R1.2.0"}},
         "LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same,"},
        {"measurement",
         "QPT",
         {{"QPT_SerialNum", "QP200117"},
          {"QPT_Release", "R3.1.4"},
          {"QPT_Release_Untrimmed", "QPT Loaded Code Release 3.1.4"},
          {"QPT_PROM_Release", "R1.8"}},
         "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same,"}};
    for (const Transport transport : {Transport::InProcess, Transport::Tcp}) {
        for (const auto& [scenario, card, values, verdicts] : cases) {
            SCOPED_TRACE(std::string(scenario) +
                         (transport == Transport::Tcp ? " over TCP" : " in process"));
            FreshFirmware();
            Bench bench(Scenario(scenario), transport, Firmware());
            CGatewayChecks checks(&bench.frame, bench.comms.get());
            checks.SetCardName(card);
            CCodeDiffResults results = checks.CheckForUpdates(true);
            for (const auto& [name, value] : values) {
                EXPECT_EQ(bench.Value(name), value) << name;
            }
            EXPECT_EQ(results.ToString(), verdicts);
            if (std::string(scenario) != "behind") {
                continue;
            }
            std::vector<CODETYPE> updated;
            CODETYPE codeType = LC_CODE;
            for (int round = 0;
                 round < 5 && CGatewayChecks::SelectUpdateCodeType(results, codeType); ++round) {
                updated.push_back(codeType);
                checks.PerformUpdate(results);
                checks.WaitForUpdate();
                results = checks.CheckForUpdates(true);
            }
            EXPECT_EQ(updated, (std::vector<CODETYPE>{BS_CODE, PROM_CODE}));
            EXPECT_EQ(results.ToString(), kAllSame);
            EXPECT_TRUE(fs::exists(Firmware() / "HLX_PROM.bin"));
            EXPECT_FALSE(fs::exists(Firmware() / "HLX_PROM.rel"));
            EXPECT_EQ(bench.Value("HLX_PROM_Release_Untrimmed"), "KLEM_PROM_R2.0.3");
            EXPECT_EQ(bench.Value("HLX_Bootstrap_Release_Untrimmed"), "KLEM_BOOT_R1.4.0");
        }
    }
}

// Spends the process's one serial-number repair for the object's lifetime (its report in the
// test's folder), so that a lost serial number stays unpublished instead of starting a repair.
struct RepairSpent {
    explicit RepairSpent(const std::string& folder) {
        gwu::RepairReport::RestartForTesting(folder);
        CHLXSerialNumRepair spent(nullptr, {});
    }
    ~RepairSpent() {
        gwu::RepairReport::RestartForTesting("");
        CHLXSerialNumRepair::ResetRepairCountForTesting();
    }
};

// Each kind of fault at each request position of a reading over TCP. Comms failures publish
// Unknown everywhere (the result says whether the PROM had been read); an error on the loaded
// code does the same; any other faulty reply spoils only its own item and the reading goes on.
// Nothing hangs, and the next reading reconnects and finds the device as it was.
TEST_F(ConnectionTest, FaultAtEveryRequestOfAReadingOverTcp) {
    const RepairSpent spent(m_root.Str());
    // The reading's requests in order, each with what its item reads as after a faulty reply
    // that carries no error.
    const std::pair<int, Values> requests[] = {
        {0x20000000,
         {{"HLX_Release", ""}, {"HLX_Release_Untrimmed", ""}, {"HLX_SerialNum", "Unknown"}}},
        {0x10000000, {{"HLX_PROM_Release", ""}, {"HLX_PROM_Release_Untrimmed", ""}}},
        {0x01000000, {{"HLX_Bootstrap_Release", ""}, {"HLX_Bootstrap_Release_Untrimmed", ""}}},
        {0x00000800, {{"HLX_CPLD_Release", "R0"}, {"HLX_CPLD_Release_Untrimmed", "R0"}}},
        {0x00000200,
         {{"HLX_MAC_Firmware_Release", ""}, {"HLX_MAC_Firmware_Release_Untrimmed", ""}}},
        {static_cast<int>(0x80000000u), {{"HLX_SerialNum", ""}}}};
    Values baseline;
    {
        Bench bench(Scenario("matching"), Transport::Tcp, Firmware());
        CGatewayChecks checks(&bench.frame, bench.comms.get());
        checks.SetCardName("VCL");
        ASSERT_TRUE(checks.SetReleaseIds(true));
        ASSERT_EQ(static_cast<size_t>(bench.gateway->RequestCount()), std::size(requests));
        baseline = Published(bench.frame);
    }

    for (size_t position = 0; position < std::size(requests); ++position) {
        const auto& [type, spoiled] = requests[position];
        for (const char* kindName :
             {"throw", "error", "timeout", "short", "oversize", "disconnect"}) {
            const std::string kind = kindName;
            SCOPED_TRACE(kind + " at position " + std::to_string(position));
            nlohmann::json rule = {{"card", "VCL"},
                                   {"request", std::to_string(static_cast<unsigned>(type))},
                                   {"builder", "get"},
                                   {"kind", kind}};
            if (kind == "error") {
                rule["error"] = 6;
            }
            Bench bench(Scenario("matching", rule), Transport::Tcp, Firmware());
            CGatewayChecks checks(&bench.frame, bench.comms.get());
            checks.SetCardName("VCL");
            const auto start = Clock::now();
            const bool read = checks.SetReleaseIds(true);
            EXPECT_LT(Clock::now() - start, kRunLimit);

            const bool commsFailure = kind == "throw" || kind == "timeout" || kind == "disconnect";
            Values expected = baseline;
            if (commsFailure || (kind == "error" && position == 0)) {
                EXPECT_EQ(read, commsFailure && position >= 2);  // whether the PROM had been read
                for (auto& entry : expected) {
                    entry.second = "Unknown";
                }
            } else {
                EXPECT_TRUE(read);
                for (const auto& [name, value] : spoiled) {
                    // A failed cable-firmware request publishes Unknown, the others their text.
                    expected[name] = kind == "error" && type == 0x00000200 ? "Unknown" : value;
                }
            }
            EXPECT_EQ(Published(bench.frame), expected);

            EXPECT_TRUE(checks.SetReleaseIds(true));
            EXPECT_EQ(Published(bench.frame), baseline);
        }
    }
}

// A connection dropped at the update command or at the reset fails the update; the next reading
// reconnects and finds the old release, and a second update goes through.
TEST_F(ConnectionTest, ConnectionDroppedDuringAnUpdate) {
    const std::pair<const char*, const char*> faults[] = {{"0x00400000", "get"},
                                                          {"0x80000000", "reset"}};
    for (const auto& [request, builder] : faults) {
        SCOPED_TRACE(request);
        FreshFirmware();
        const nlohmann::json rule = {
            {"card", "VCL"}, {"request", request}, {"builder", builder}, {"kind", "disconnect"}};
        Bench bench(Scenario("behind", rule), Transport::Tcp, Firmware());
        CHLXUtils hlx(bench.comms.get(), &bench.frame);
        bench.comms->SelectCard("VCL");
        ASSERT_TRUE(hlx.SetReleaseIds(true));

        const auto start = Clock::now();
        EXPECT_FALSE(hlx.UpdatePROM());
        EXPECT_LT(Clock::now() - start, kRunLimit);
        EXPECT_TRUE(fs::exists(Firmware() / "HLX_PROM.bin"));
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(bench.Value("HLX_PROM_Release_Untrimmed"), "KLEM_PROM_R1.9.8");
        EXPECT_EQ(bench.Value("HLX_SerialNum"), "HX100307");

        EXPECT_TRUE(hlx.UpdatePROM());
        EXPECT_TRUE(hlx.SetReleaseIds(true));
        EXPECT_EQ(bench.Value("HLX_PROM_Release_Untrimmed"), "KLEM_PROM_R2.0.3");
    }
}

// A closed port is refused; a peer that garbles its reply or never answers gives the matching comms
// exception, a silent one no sooner than the scaled timeout.
TEST_F(ConnectionTest, TcpConnectionAgainstFailingPeers) {
    std::uint16_t closedPort = 0;
    Listen(closedPort);  // closed again at once
    gwu::host::TcpConnection refused("127.0.0.1", closedPort);
    EXPECT_FALSE(refused.Connect());
    EXPECT_TRUE(refused.SelectCard("VCL"));
    EXPECT_EQ(ExecuteOne(refused), gwu::host::kCommsRefused);

    const std::pair<std::optional<std::string>, int> peers[] = {
        {std::string("\xFF\xFF\xFF\xF0", 4), gwu::host::kCommsMalformed},  // a huge frame
        {std::string("\0\0\0\1Z", 5), gwu::host::kCommsMalformed},         // not a reply
        {std::nullopt, gwu::host::kCommsTimeout}};
    for (const auto& [answer, code] : peers) {
        SCOPED_TRACE(code);
        const Peer peer(answer);
        gwu::host::TcpConnection connection("127.0.0.1", peer.Port());
        const auto start = Clock::now();
        EXPECT_EQ(ExecuteOne(connection), code);
        const auto elapsed = Clock::now() - start;
        EXPECT_LT(elapsed, std::chrono::seconds(3));
        if (code == gwu::host::kCommsTimeout) {
            EXPECT_GE(elapsed, std::chrono::milliseconds(190));
        }
    }
}

}  // namespace
