// gwctl sync's pull of the tester's release set from a scripted collector, for what a real one
// cannot be made to do: files refused as they arrive (a body longer than listed, one shorter, a
// manifest other than the one named), each leaving the folder in use as it was; and the automatic
// sync abandoning a download that does not fit its time.
#include <chrono>
#include <map>
#include <thread>

#include "firmware/signing/Crypto.h"
#include "tests/endtoend/ScriptedCollector.h"

namespace gwu::test::cli {
namespace {

using Files = std::map<std::string, std::string>;
// Changes the answer for a file of the set, by name.
using Change = std::function<void(const std::string& name, http::Response& answer)>;

// Every file of a folder with its bytes; none for a missing folder.
Files Contents(const fs::path& folder) {
    Files files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        files[it->path().filename().string()] = TestFolders::ReadFile(it->path());
    }
    return files;
}

class PullTest : public CliTest {
protected:
    PullTest() {
        const fs::path data = kSamples / ".." / "tests" / "signing" / "data";
        fs::create_directories(Trust());
        fs::copy_file(data / "p256-public.pem", Trust() / "test-publisher.pem");
        WriteFile(Token(), "tester-token\n");
        fs::permissions(Token(), fs::perms::owner_read | fs::perms::owner_write);
        fs::copy(Firmware(), Set());
        const std::string key = (data / "p256-private.pem").string();
        EXPECT_EQ(Child({kGwctlProgram, "release", "sign", "--key", key, "--sequence", "5",
                         Set().string()},
                        (Root() / "sign").string())
                      .Wait(kWaitMs),
                  0);
        m_published = Contents(Set());
        m_before = Contents(Firmware());
    }
    fs::path Trust() const { return Root() / "trust"; }
    fs::path Token() const { return Logs() / "token"; }
    fs::path Set() const { return Root() / "published"; }
    fs::path Beside(const char* suffix) const { return Firmware().string() + suffix; }

    // The collector: events acknowledged, set "spring" of publication 3 named by the manifest's
    // digest (or another), its files served as changed.
    Answer Fleet(const Change& change = nullptr, std::string digest = "") const {
        if (digest.empty()) {
            digest = signing::ToHex(signing::Sha256::Of(m_published.at("RELEASES.json")));
        }
        return [=](const http::Request& request) {
            const std::string prefix = "/api/v1/release/3/";
            if (request.method == "POST") {
                return Acknowledge("fleet-a")(request);
            } else if (request.target == "/api/v1/release") {
                const json set = {{"set", "spring"},
                                  {"publication", 3},
                                  {"sequence", 5},
                                  {"manifest_sha256", digest}};
                return http::Response{200, "application/json", {}, set.dump()};
            }
            const std::string name = request.target.substr(prefix.size());
            if (request.target.rfind(prefix, 0) != 0 || m_published.count(name) == 0) {
                return Status(404, "no such file");
            }
            http::Response answer{200, "application/octet-stream", {}, m_published.at(name)};
            if (change) {
                change(name, answer);
            }
            return answer;
        };
    }
    Result Sync(const Collector& collector) const {
        return Run({"sync", "--json", "--to", collector.Url(), "--token-file", Token().string(),
                    "--trust", Trust().string()});
    }

    Files m_published, m_before;
};

TEST_F(PullTest, AFileRefusedAsItArrivesLeavesTheFolderInUseAsItWas) {
    const struct {
        std::string file;  // the file whose answer is changed, and how
        std::function<void(std::string&)> edit;
        std::string digest, said;
    } cases[] = {
        {"HLX_LC.rel", [](std::string& body) { body += "more"; }, "", "HLX_LC.rel: not received"},
        {"HLX_BOOT.rel", [](std::string& body) { body.resize(body.size() / 2); }, "",
         "HLX_BOOT.rel: the bytes received are not the ones the manifest lists"},
        {"", nullptr, std::string(64, 'a'),
         "RELEASES.json: its SHA-256 is not the one the collector named"},
    };
    for (const auto& c : cases) {
        Collector collector({}, Fleet(
                                    [&c](const std::string& name, http::Response& answer) {
                                        if (name == c.file) {
                                            c.edit(answer.body);
                                        }
                                    },
                                    c.digest));
        const Result result = Sync(collector);
        EXPECT_EQ(result.code, 1) << result.out;
        const std::string said = Text(At(result.document, "/error/message"));
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_NE(said.find("the firmware folder " + Firmware().string() + " is unchanged"),
                  std::string::npos)
            << said;
        EXPECT_EQ(Contents(Firmware()), m_before);
        EXPECT_FALSE(fs::exists(Beside(".staging")) || fs::exists(Beside(".previous")));
    }
}

TEST_F(PullTest, TheAutomaticSyncAbandonsADownloadThatDoesNotFitItsTime) {
    const std::vector<std::string> check = {"check", "--device", "emu:" + Scenario("behind"),
                                            "--trust", Trust().string()};
    const Result alone = Run(check);
    Collector collector({}, Fleet([](const std::string& name, http::Response&) {
                            if (name == "HLX_LC.rel") {
                                std::this_thread::sleep_for(std::chrono::seconds(7));
                            }
                        }));
    WriteFile(Logs() / "fleet.conf", "url = " + collector.Url() + "\ntoken_file = token\n");
    const auto start = std::chrono::steady_clock::now();
    const Result result = Run(check);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
    EXPECT_EQ(result.code, alone.code);
    EXPECT_EQ(result.out, alone.out);
    const std::string warning =
        "gwctl: warning: fleet sync: the release set spring was not "
        "received (the next sync starts it again): HLX_LC.rel";
    EXPECT_EQ(result.err.substr(0, alone.err.size() + warning.size()), alone.err + warning);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'),
              std::count(alone.err.begin(), alone.err.end(), '\n') + 1);
    EXPECT_EQ(Contents(Firmware()), m_before);
    EXPECT_FALSE(fs::exists(Beside(".staging")));
}

}  // namespace
}  // namespace gwu::test::cli
