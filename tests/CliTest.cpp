// gwctl end to end: the real program on every sample scenario with its folders in a temporary
// folder, its JSON documents and exit codes, an update that moves release files, the
// serial-number list, the errors it reports, and an update over TCP through a real gwemu.
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
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Fixtures.h"
#include "TcpServer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using gwu::emu::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 30000;  // per program run; each takes well under a second
constexpr const char* kAllSame = "LC:Same, PROM:Same, BS:Same, CPLD:Same, MAC:Same,";
const fs::path kSamples = GWU_SAMPLE_DIR;

// A program with stdin from /dev/null, stdout on a pipe and stderr in a file; killed and
// reaped if it is still running when the object goes.
class Child {
public:
    Child(std::vector<std::string> arguments, const fs::path& errorFile) {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        m_out = UniqueFd(fds[0]);
        const UniqueFd write(fds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, write.Get(), STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
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

    // Stdout up to its end (or only its next line); what arrived when a wait runs out.
    std::string Read(bool oneLine = false) const {
        std::string text;
        pollfd pfd{m_out.Get(), POLLIN, 0};
        char c = 0;
        while (text.size() < (1u << 20) && ::poll(&pfd, 1, kWaitMs) > 0 &&
               ::read(m_out.Get(), &c, 1) == 1 && !(oneLine && c == '\n')) {
            text += c;
        }
        return text;
    }
    void Signal(int signal) const { ::kill(m_pid, signal); }
    // The exit status (128 + the signal of a killed program); -1 when it does not end in time.
    int Wait() {
        for (int i = 0; i < kWaitMs / 10 && m_pid > 0; ++i) {
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

// A port on 127.0.0.1 that nothing listens on.
std::uint16_t ClosedPort() {
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    EXPECT_EQ(::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    return ntohs(address.sin_port);
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Scenario(const std::string& name) {
    return "emu:" + (kSamples / "scenarios" / (name + ".json")).string();
}

// Copies of the sample firmware and runtime folders and an empty log folder.
class CliTest : public ::testing::Test {
protected:
    CliTest() {
        fs::copy(kSamples / "firmware", Firmware());
        fs::copy(kSamples / "runtime", Runtime());
        fs::create_directories(Logs());
    }
    fs::path Firmware() const { return m_dir.Path() / "firmware"; }
    fs::path Runtime() const { return m_dir.Path() / "runtime"; }
    fs::path Logs() const { return m_dir.Path() / "logs"; }

    struct Result {
        int code;
        std::string out;
        std::string err;
    };
    // Runs gwctl with the arguments and the three folders.
    Result Run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), GWCTL_PATH);
        arguments.insert(arguments.end(), {"--firmware", Firmware().string(), "--runtime",
                                           Runtime().string(), "--logs", Logs().string()});
        Child child(arguments, m_dir.Path() / "stderr.txt");
        std::string out = child.Read();
        const int code = child.Wait();
        return {code, std::move(out), ReadText(m_dir.Path() / "stderr.txt")};
    }
    // The JSON document on stdout; null after a failure when there is none.
    static json Document(const Result& result) {
        try {
            return json::parse(result.out);
        } catch (const json::exception& e) {
            ADD_FAILURE() << e.what() << "\nstdout: " << result.out << "\nstderr: " << result.err;
            return nullptr;
        }
    }
    static std::vector<std::string> UpdatedCodeTypes(const json& document) {
        std::vector<std::string> codeTypes;
        for (const json& round : document.value("rounds", json::array())) {
            codeTypes.push_back(round.value("code_type", ""));
        }
        return codeTypes;
    }

    gwu::test::TempDir m_dir;
};

// check --json on every sample scenario: exit code, verdicts, the serial number published and
// the rest of the document.
TEST_F(CliTest, CheckOfEverySampleScenario) {
    struct Case {
        const char* scenario;
        std::vector<std::string> options;
        int exit;
        const char* summary;
        const char* serial;
    };
    const Case cases[] = {
        {"matching", {}, 0, kAllSame, "HX100307"},
        {"behind", {}, 1, "LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same,", "HX100307"},
        {"manufacturing", {}, 1, "LC:Forced, PROM:Same, BS:Same, CPLD:Same, MAC:Same,", "HX100307"},
        {"legacy", {}, 1, "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same,", "Unknown"},
        {"custom-cpld", {}, 1, "LC:Same, PROM:Same, BS:Same, CPLD:Older, MAC:Same,", "HX100307"},
        {"custom-cpld", {"--custom-cpld", "HLX_CPLD.rel"}, 0, kAllSame, "HX100307"},
        {"lost-serial-silent", {}, 0, kAllSame, "HX100234"},
        {"lost-serial-typed", {"--keys", "HX100241<tick><tick>"}, 0, kAllSame, "HX100241"},
        {"lost-serial-typed", {}, 0, kAllSame, ""},
        {"unknown-serial", {}, 0, kAllSame, "HX100231"},
        {"measurement",
         {"--card", "QPT"},
         1,
         "LC:Older, PROM:Same, BS:Same, CPLD:Same, MAC:Same,",
         "QP200117"}};
    std::set<std::string> covered;
    for (const Case& c : cases) {
        const std::string scenario = c.scenario;
        SCOPED_TRACE(scenario + ::testing::PrintToString(c.options));
        covered.insert(scenario);
        std::vector<std::string> arguments = {"check", "--device", Scenario(scenario), "--json"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const Result result = Run(arguments);
        EXPECT_EQ(result.code, c.exit) << result.err;
        const json document = Document(result);
        ASSERT_TRUE(document.is_object());
        const bool measurement = scenario == "measurement";
        EXPECT_EQ(document.value("card", ""), measurement ? "QPT" : "VCL");
        EXPECT_EQ(document.value("read", false), true);
        EXPECT_EQ(document.value("summary", ""), c.summary);
        EXPECT_EQ(document.value("differences", false), c.exit == 1);
        std::string verdicts;
        for (const char* code : {"LC", "PROM", "BS", "CPLD", "MAC"}) {
            verdicts += std::string(verdicts.empty() ? "" : " ") + code + ":" +
                        document.at("results").value(code, "") + ",";
        }
        EXPECT_EQ(verdicts, c.summary);
        const json& values = document.at("values");
        EXPECT_EQ(values.size(), measurement ? 5u : 11u);
        EXPECT_EQ(values.value(measurement ? "QPT_SerialNum" : "HLX_SerialNum", "-"), c.serial);
        EXPECT_EQ(document.at("disk").value("LC", ""),
                  measurement ? "QPT Loaded Code Release 3.2.0" : "KLEM_12345_R4.2.1");
        EXPECT_EQ(document.at("legacy").value("installed", false), scenario == "legacy");
        EXPECT_EQ(document.at("legacy").value("version", ""),
                  scenario == "legacy" ? "KRT V5.2 DB 0311" : "");
    }
    for (const auto& entry : fs::directory_iterator(kSamples / "scenarios")) {
        EXPECT_EQ(covered.count(entry.path().stem().string()), 1u) << entry.path();
    }
}

// update moves the bootstrap and PROM releases onto the device's files in two rounds; the
// serial-number list holds the device once, and list prints every device met.
TEST_F(CliTest, UpdateMovesReleaseFilesAndListShowsTheDevices) {
    const Result update = Run({"update", "--device", Scenario("behind"), "--json"});
    EXPECT_EQ(update.code, 0) << update.err;
    const json document = Document(update);
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(UpdatedCodeTypes(document), (std::vector<std::string>{"BS", "PROM"}));
    EXPECT_EQ(document.value("summary", ""), kAllSame);
    EXPECT_EQ(document.at("values").value("HLX_PROM_Release_Untrimmed", ""), "KLEM_PROM_R2.0.3");
    for (const char* name : {"HLX_BOOT", "HLX_PROM"}) {
        EXPECT_TRUE(fs::exists(Firmware() / (std::string(name) + ".bin"))) << name;
        EXPECT_FALSE(fs::exists(Firmware() / (std::string(name) + ".rel"))) << name;
    }
    EXPECT_EQ(ReadText(Logs() / "HLX_Serial_Nums.txt"), "HX100307,R4.2.1,R2.0.3,R1.4.0\r\n");

    EXPECT_EQ(Run({"check", "--device", Scenario("unknown-serial"), "--json"}).code, 0);
    const Result list = Run({"list"});
    EXPECT_EQ(list.code, 0) << list.err;
    std::vector<std::string> lines;
    std::istringstream text(list.out);
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("  ", 0) == 0) {
            lines.push_back(line.substr(2));
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"HX100307,R4.2.1,R2.0.3,R1.4.0",
                                               "HX100231,R4.2.1,R2.0.3,R1.4.0"}))
        << list.out;
}

// Trouble exits with 2: in JSON mode with one error document naming the culprit, else with a
// message on stderr; an unreachable device is reported as not read. --help names every option.
TEST_F(CliTest, TroubleExitsWith2AndHelpNamesEveryOption) {
    const std::string bad = (m_dir.Path() / "bad.json").string();
    std::ofstream(bad)
        << R"({"faults": [{"card": "VCL", "request": "0x20000000", "kind": "melt"}]})";
    const std::string missing = (m_dir.Path() / "missing.json").string();
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"check", "--device", "emu:" + bad}, {bad, "faults[0].kind"}},
        {{"update", "--device", "emu:" + missing}, {missing}},
        {{"check", "--device", "serial:/dev/ttyS0"}, {"serial:/dev/ttyS0"}},
        {{"check", "--device", "tcp://127.0.0.1"}, {"tcp://127.0.0.1"}},
        {{"check", "--device", Scenario("matching"), "--keys", "<tick"}, {"--keys"}},
        {{"frobnicate"}, {"frobnicate"}}};
    for (const auto& [arguments, named] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const Result text = Run(arguments);
        EXPECT_EQ(text.code, 2);
        EXPECT_EQ(text.out, "");
        for (const std::string& part : named) {
            EXPECT_NE(text.err.find(part), std::string::npos) << text.err;
        }

        std::vector<std::string> withJson = arguments;
        withJson.push_back("--json");
        const Result result = Run(withJson);
        EXPECT_EQ(result.code, 2);
        const json document = Document(result);
        ASSERT_TRUE(document.is_object()) << result.err;
        EXPECT_EQ(document.size(), 1u);
        const std::string message = document.at("error").value("message", "");
        for (const std::string& part : named) {
            EXPECT_NE(message.find(part), std::string::npos) << message;
        }
    }

    const std::string address = "tcp://127.0.0.1:" + std::to_string(ClosedPort());
    const Result unreachable = Run({"check", "--device", address, "--json"});
    EXPECT_EQ(unreachable.code, 2);
    const json document = Document(unreachable);
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(document.value("read", true), false);
    for (const auto& [name, value] : document.at("values").items()) {
        EXPECT_EQ(value, "NotConnected") << name;
    }

    const Result help = Run({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* word :
         {"--card", "--device", "--firmware", "--runtime", "--logs", "--custom-cpld", "--keys",
          "--json", "--verbose", "check", "update", "cable", "list"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
}

// gwctl updates a device served by a real gwemu over TCP, both on the same firmware folder;
// gwemu ends cleanly on SIGTERM.
TEST_F(CliTest, UpdateOverTcpThroughGwemu) {
    Child emulator({GWEMU_PATH, "--scenario", (kSamples / "scenarios" / "behind.json").string(),
                    "--listen", "127.0.0.1:0", "--firmware", Firmware().string()},
                   m_dir.Path() / "gwemu.txt");
    const std::string line = emulator.Read(true);
    const std::string prefix = "gwemu listening on ";
    ASSERT_EQ(line.rfind(prefix + "127.0.0.1:", 0), 0u) << line;

    const Result update =
        Run({"update", "--device", "tcp://" + line.substr(prefix.size()), "--json"});
    EXPECT_EQ(update.code, 0) << update.err;
    const json document = Document(update);
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(UpdatedCodeTypes(document), (std::vector<std::string>{"BS", "PROM"}));
    EXPECT_EQ(document.value("summary", ""), kAllSame);
    EXPECT_TRUE(fs::exists(Firmware() / "HLX_PROM.bin"));

    emulator.Signal(SIGTERM);
    EXPECT_EQ(emulator.Wait(), 0);
}

}  // namespace
