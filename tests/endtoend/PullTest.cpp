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
using Edit = std::function<void(std::string& body)>;

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
        WriteFile(Token(), "tester-token\n");
        fs::permissions(Token(), fs::perms::owner_read | fs::perms::owner_write);
    }
    fs::path Token() const { return Logs() / "token"; }

    // The collector: events acknowledged, the sample folder as set "spring" of publication 3
    // named by its manifest's digest (or another), the answer for one file edited.
    Answer Fleet(const std::string& file, const Edit& edit, std::string digest = "") const {
        const Files set = Contents(kSamples / "firmware");
        if (digest.empty()) {
            digest = signing::ToHex(signing::Sha256::Of(set.at("RELEASES.json")));
        }
        return [=](const http::Request& request) {
            const std::string name = request.target.substr(request.target.rfind('/') + 1);
            if (request.method == "POST") {
                return Acknowledge("fleet-a")(request);
            } else if (request.target == "/api/v1/release") {
                const json answer = {{"set", "spring"},
                                     {"publication", 3},
                                     {"sequence", 5},
                                     {"manifest_sha256", digest}};
                return http::Response{200, "application/json", {}, answer.dump()};
            } else if (request.target.rfind("/api/v1/release/3/", 0) != 0 || !set.count(name)) {
                return Status(404, "no such file");
            }
            http::Response answer{200, "application/octet-stream", {}, set.at(name)};
            if (name == file) {
                edit(answer.body);
            }
            return answer;
        };
    }
};

TEST_F(PullTest, AFileRefusedAsItArrivesLeavesTheFolderInUseAsItWas) {
    const Files before = Contents(Firmware());
    const struct {
        std::string file;  // the file whose answer is edited
        Edit edit;
        std::string digest, said;
    } cases[] = {
        {"HLX_LC.rel", [](std::string& body) { body += "more"; }, "", "HLX_LC.rel: not received"},
        {"HLX_BOOT.rel", [](std::string& body) { body.resize(body.size() / 2); }, "",
         "HLX_BOOT.rel: the bytes received are not the ones the manifest lists"},
        {"", nullptr, std::string(64, 'a'),
         "RELEASES.json: its SHA-256 is not the one the collector named"},
    };
    for (const auto& c : cases) {
        Collector collector({}, Fleet(c.file, c.edit, c.digest));
        const Result result =
            Run({"sync", "--json", "--to", collector.Url(), "--token-file", Token().string()});
        EXPECT_EQ(result.code, 1) << result.out;
        const std::string said = Text(At(result.document, "/error/message"));
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_NE(said.find("the firmware folder " + Firmware().string() + " is unchanged"),
                  std::string::npos)
            << said;
        EXPECT_EQ(Contents(Firmware()), before);
        EXPECT_FALSE(fs::exists(Firmware().string() + ".staging"));
    }
}

TEST_F(PullTest, TheAutomaticSyncAbandonsADownloadThatDoesNotFitItsTime) {
    const std::vector<std::string> check = {"check", "--device", "emu:" + Scenario("behind")};
    const Result alone = Run(check);
    const Files before = Contents(Firmware());
    Collector collector({}, Fleet("HLX_LC.rel", [](std::string&) {
                            std::this_thread::sleep_for(std::chrono::seconds(7));
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
    EXPECT_EQ(Contents(Firmware()), before);
    EXPECT_FALSE(fs::exists(Firmware().string() + ".staging"));
}

}  // namespace
}  // namespace gwu::test::cli
