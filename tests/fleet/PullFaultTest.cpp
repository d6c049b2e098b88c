// gwctl sync pulling its group's release set from gwfleet and the shared PostgreSQL cluster, under
// what a pull meets: a download cut half way, a set tampered with in the database, a set signed
// by a key the tester does not trust, a disk that fills during the download. After each the
// firmware folder in use is byte for byte what it was and the sync says why; then two syncs at
// once take the good set once, the folder before it kept, and an update's event names the set.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "http/Client.h"
#include "tests/fleet/CollectorProcess.h"
#include "tests/fleet/FleetFixture.h"

namespace gwu::test {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

Files Contents(const fs::path& folder) {
    Files files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        files[it->path().filename().string()] = TestFolders::ReadFile(it->path());
    }
    return files;
}

// A proxy on loopback to the collector: each GET passed on, each answer passed back, but the
// answer for a target ending in `cut`, of which half the body goes before the connection closes.
class CuttingProxy {
public:
    CuttingProxy(int upstream, std::string cut) : m_upstream(upstream), m_cut(std::move(cut)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        ::listen(m_listener, 8);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        m_thread = std::thread([this] { Serve(); });
    }
    ~CuttingProxy() {
        ::shutdown(m_listener, SHUT_RDWR);  // ends the accept
        m_thread.join();
        ::close(m_listener);
    }
    const std::string& Url() const { return m_url; }

private:
    void Serve() {
        for (int client; (client = ::accept(m_listener, nullptr, nullptr)) >= 0; ::close(client)) {
            const timeval limit{10, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string head;
            char piece[4096];
            for (ssize_t n = 1;
                 n > 0 && head.find("\r\n\r\n") == std::string::npos && head.size() < 65536;) {
                n = ::recv(client, piece, sizeof piece, 0);
                head.append(piece, n > 0 ? static_cast<std::size_t>(n) : 0);
            }
            const std::size_t from = head.find(' ') + 1, token = head.find("Bearer ");
            const std::string target = head.substr(from, head.find(' ', from) - from);
            http::Request request{"GET", target, {}, ""};
            request.headers = {
                {"Authorization", head.substr(token, head.find('\r', token) - token)}};
            std::string error;
            const auto answer = http::Fetch("127.0.0.1", m_upstream, request, error);
            std::string body = answer ? answer->body : "";
            if (target.size() >= m_cut.size() &&
                target.compare(target.size() - m_cut.size(), m_cut.size(), m_cut) == 0) {
                body.resize(body.size() / 2);
            }
            const std::string out =
                "HTTP/1.1 " + std::to_string(answer ? answer->status : 502) +
                " X\r\nContent-Length: " + std::to_string(answer ? answer->body.size() : 0) +
                "\r\nConnection: close\r\n\r\n" + body;
            ::send(client, out.data(), out.size(), MSG_NOSIGNAL);
        }
    }

    const int m_upstream;
    const std::string m_cut;
    const int m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    std::string m_url;
    std::thread m_thread;
};

class PullFaultTest : public FleetFixture {
protected:
    void SetUp() override {
        FleetFixture::SetUp();
        m_folders.CopySampleFirmware(true);
        fs::copy(SampleDir() / "runtime", m_folders.Runtime(), fs::copy_options::recursive);
        fs::create_directories(Trust());
        fs::copy_file(Key("public"), Trust() / "test-publisher.pem");
        TestFolders::WriteFile(Token(), m_tester + "\n");
        fs::permissions(Token(), fs::perms::owner_read | fs::perms::owner_write);
        m_before = Contents(Firmware());
        EXPECT_EQ(Gwfleet({"tester", "group", "tester-1", "bench"}), 0);
    }
    fs::path Root() const { return m_folders.Root(); }
    fs::path Firmware() const { return m_folders.Firmware(); }
    fs::path Trust() const { return Root() / "trust"; }
    fs::path Token() const { return Root() / "token"; }
    static std::string Key(const std::string& kind) {
        return (SampleDir() / ".." / "tests" / "signing" / "data" / ("p256-" + kind + ".pem"))
            .string();
    }
    int Gwfleet(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), kGwfleetProgram);
        arguments.insert(arguments.end(), {"--db", m_uri});
        return Child(arguments, (Root() / "gwfleet").string()).Wait(kWaitMs);
    }
    // gwctl with the arguments, the trust folder and a log folder (the tester's by default);
    // its JSON document in m_said.
    std::vector<std::string> Line(std::vector<std::string> arguments, fs::path logs = {}) const {
        arguments.insert(arguments.begin(), kGwctlProgram);
        logs = logs.empty() ? m_folders.Logs() : logs;
        arguments.insert(arguments.end(), {"--trust", Trust().string(), "--logs", logs.string()});
        return arguments;
    }
    int Gwctl(const std::vector<std::string>& line, const std::string& stem = "gwctl") {
        const int status = Child(line, (Root() / stem).string()).Wait(kWaitMs);
        m_said = Json::parse(TestFolders::ReadFile(Root() / (stem + ".out")), nullptr, false);
        return status;
    }
    std::vector<std::string> Sync(const std::string& url, const fs::path& firmware) const {
        return Line({"sync", "--json", "--to", url, "--token-file", Token().string(), "--firmware",
                     firmware.string()});
    }
    // The sample firmware with the extra files, signed with the key, published as the set and
    // assigned to the group.
    void Publish(const std::string& set, const std::string& key, int sequence, Files extra = {}) {
        const fs::path folder = Root() / set;
        fs::copy(SampleDir() / "firmware", folder);
        fs::remove(folder / "RELEASES.json");
        fs::remove(folder / ".gitattributes");  // the checkout's, no file of a set
        for (const auto& [name, bytes] : extra) {
            TestFolders::WriteFile(folder / name, bytes);
        }
        ASSERT_EQ(Gwctl({kGwctlProgram, "release", "sign", "--key", key, "--sequence",
                         std::to_string(sequence), folder.string()}),
                  0);
        ASSERT_EQ(Gwfleet({"release", "publish", folder.string(), "--set", set}), 0);
        ASSERT_EQ(Gwfleet({"release", "assign", "--set", set, "--group", "bench"}), 0);
    }

    TestFolders m_folders;
    Files m_before;
    Json m_said;
};

TEST_F(PullFaultTest, EveryFaultLeavesTheFolderInUseAndTheGoodSetIsTakenOnce) {
    const Collector collector(m_uri, Root() / "collector");
    const CuttingProxy proxy(collector.Port(), "/HLX_LC.rel");
    const std::string stranger = (Root() / "stranger.pem").string();
    ASSERT_EQ(
        std::system(("openssl ecparam -name prime256v1 -genkey -noout -out " + stranger).c_str()),
        0);
    Publish("stranger", stranger, 1);
    // The words a local folder signed so is refused in.
    Gwctl(
        Line({"check", "--json", "--firmware", (Root() / "stranger").string()}, Root() / "other"));
    const std::string refusal = m_said.value("/folder/refusal"_json_pointer, "");
    ASSERT_NE(refusal, "") << m_said;
    Publish("big", Key("private"), 6, {{"BIG.dat", std::string(300 * 1024, 'b')}});
    Publish("spring", Key("private"), 5);
    // A few hundred KiB where a firmware folder lives, when one can be mounted here.
    const fs::path small = Root() / "small";
    fs::create_directories(small);
    const bool mounted = ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") == 0;
    fs::copy(Firmware(), small / "firmware");
    const std::string tamper =
        "UPDATE publication_files SET content = 'x' WHERE name = 'HLX_PROM.rel' AND "
        "publication = (SELECT publication FROM release_sets WHERE name = 'big')";
    const struct {
        std::string set, url, sql;
        fs::path firmware;
        std::string said;
    } faults[] = {
        {"spring", proxy.Url(), "", Firmware(), "HLX_LC.rel: not received"},
        {"big", collector.Url(), "", small / "firmware", "No space left on device"},
        {"stranger", collector.Url(), "", Firmware(), "(sequence 1) is refused: " + refusal},
        {"big", collector.Url(), tamper, Firmware(), "HLX_PROM.rel: the bytes received are not"},
    };
    for (const auto& fault : faults) {
        if (!mounted && fault.firmware == small / "firmware") {
            continue;  // no small file system: that fault cannot be made here
        }
        ASSERT_EQ(Gwfleet({"release", "assign", "--set", fault.set, "--group", "bench"}), 0);
        m_db->Exec(fault.sql.empty() ? "SELECT 1" : fault.sql);
        EXPECT_EQ(Gwctl(Sync(fault.url, fault.firmware)), 1) << m_said;
        const std::string said = m_said.value("/error/message"_json_pointer, "");
        EXPECT_NE(said.find(fault.said), std::string::npos) << said;
        EXPECT_NE(said.find(fault.firmware.string() + " is unchanged"), std::string::npos) << said;
        EXPECT_EQ(Contents(fault.firmware), m_before) << fault.set;
        EXPECT_FALSE(fs::exists(fault.firmware.string() + ".staging"));
    }
    if (mounted) {
        ::umount2(small.c_str(), MNT_DETACH);
    }

    ASSERT_EQ(Gwfleet({"release", "assign", "--set", "spring", "--group", "bench"}), 0);
    Child one(Sync(collector.Url(), Firmware()), (Root() / "one").string());
    EXPECT_EQ(Gwctl(Sync(collector.Url(), Firmware()), "two"), 0) << m_said;
    const bool second = m_said.contains("release");
    EXPECT_EQ(one.Wait(kWaitMs), 0);
    const Json first = Json::parse(TestFolders::ReadFile(Root() / "one.out"), nullptr, false);
    EXPECT_NE(first.contains("release"), second) << first << m_said;  // one switch, not two
    Files pulled = Contents(Firmware());
    pulled.erase(".fleet-set.json");
    EXPECT_EQ(pulled, Contents(Root() / "spring"));
    EXPECT_EQ(Contents(Firmware().string() + ".previous"), m_before);
    ASSERT_EQ(Gwctl(Line({"update", "--json", "--device", "emu:" + SampleScenarioPath("behind"),
                          "--firmware", Firmware().string()})),
              0)
        << m_said;
    const std::string history = TestFolders::ReadFile(m_folders.Logs() / "history.jsonl");
    const std::string last = history.substr(history.rfind('\n', history.size() - 2) + 1);
    EXPECT_EQ(Json::parse(last).value("/folder/set"_json_pointer, ""), "spring") << last;
}

}  // namespace
}  // namespace gwu::test
