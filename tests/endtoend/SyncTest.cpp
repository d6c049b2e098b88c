// gwctl sync against a scripted collector on loopback, request by request: the batches and their
// headers, what is tried again and what is not, the cursor, another fleet, the token file's mode,
// and the automatic sync after a check. And the pull of a release set, for what a real collector
// cannot be made to do: files refused as they arrive (a body longer than listed, one shorter, a
// manifest other than the one named), each leaving the folder in use as it was, and the automatic
// sync abandoning a download that does not fit its time.
#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "firmware/signing/Crypto.h"
#include "history/Event.h"
#include "http/Server.h"
#include "os/Format.h"
#include "tests/endtoend/CliFixture.h"

namespace gwu::test::cli {
namespace {

using Answer = std::function<http::Response(const http::Request&)>;

http::Response Status(int status, const std::string& error, http::Headers headers = {}) {
    return {status, "application/json", std::move(headers), json{{"error", error}}.dump()};
}

// The collector's 200 for a batch, as the fleet named: every event stored.
Answer Acknowledge(const std::string& fleet) {
    return [fleet](const http::Request& request) {
        if (request.method == "GET") {  // no release set for this tester's group
            return http::Response{204, "", {}, ""};
        }
        json answer = {{"fleet", fleet}, {"stored", 0}, {"duplicates", 0}, {"conflicts", 0}};
        std::istringstream lines(request.body);
        for (std::string line; std::getline(lines, line);
             answer["stored"] = answer["stored"].get<int>() + 1) {
            answer["acknowledged"] = history::ParseJsonLine(line).event.value().sequence;
        }
        return http::Response{200, "application/json", {}, answer.dump()};
    };
}

// Answers the requests with the script's answers in turn, then with `then`; keeps each request.
class Collector {
public:
    explicit Collector(std::vector<Answer> script = {}, Answer then = Acknowledge("fleet-a"))
        : m_script(std::move(script)), m_then(std::move(then)) {
        std::string error;
        m_url = "http://127.0.0.1:" + std::to_string(m_server.Listen("127.0.0.1", 0, error));
        EXPECT_TRUE(error.empty()) << error;
        m_thread = std::thread([this] { m_server.Run(); });
    }
    ~Collector() {
        m_server.Stop();
        m_thread.join();
    }
    // The requests of the method received so far (the batches of events by default).
    std::vector<http::Request> Requests(const std::string& method = "POST") {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<http::Request> requests;
        std::copy_if(m_requests.begin(), m_requests.end(), std::back_inserter(requests),
                     [&method](const http::Request& request) { return request.method == method; });
        return requests;
    }
    const std::string& Url() const { return m_url; }

private:
    http::Response Reply(const http::Request& request) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_requests.push_back(request);
        const std::size_t n = m_requests.size() - 1;
        const auto answer = n < m_script.size() ? m_script[n] : m_then;
        lock.unlock();
        return answer(request);
    }

    std::vector<Answer> m_script;
    Answer m_then;
    std::mutex m_mutex;
    std::vector<http::Request> m_requests;
    http::Server m_server{[this] {
        http::ServerOptions options;
        options.limits.bodyBytes = 4 << 20;
        options.handler = [this](const http::Request& request) { return Reply(request); };
        return options;
    }()};
    std::thread m_thread;
    std::string m_url;
};

using Files = std::map<std::string, std::string>;
using Edit = std::function<void(std::string& body)>;

class SyncTest : public CliTest {
protected:
    SyncTest() {
        fs::create_directories(Logs());
        WriteFile(Token(), "secret-token\n");
        fs::permissions(Token(), fs::perms::owner_read | fs::perms::owner_write);
    }
    fs::path Token() const { return Logs() / "token"; }
    static std::string Line(std::uint64_t seq, std::size_t padding = 0) {
        history::Event event;
        std::tie(event.id, event.sequence, event.time, event.operation, event.serial) =
            std::make_tuple(history::NewEventId(), seq, history::UtcNow(), "check",
                            "HX" + std::string(padding, '7'));
        return history::ToJsonLine(event);
    }
    // The history of events 1..count, their lines made longer by the padding; the file's content.
    std::string WriteHistory(std::uint64_t count, std::size_t padding = 0) const {
        std::string content;
        for (std::uint64_t seq = 1; seq <= count; ++seq) {
            content += Line(seq, padding);
        }
        WriteFile(Logs() / "history.jsonl", content);
        fs::remove(Logs() / "fleet-cursor.json");
        return content;
    }
    Result Sync(const Collector& collector) const {
        return Run({"sync", "--json", "--to", collector.Url(), "--token-file", Token().string()},
                   false);
    }
    json Cursor() const {
        return json::parse(ReadFile(Logs() / "fleet-cursor.json"), nullptr, false);
    }
    // The collector: events acknowledged, the sample folder as set "spring" of publication 3
    // named by its manifest's digest (or another), the answer for one file edited.
    Answer Fleet(const std::string& file, const Edit& edit, std::string digest = "") const {
        const Files set = TestFolders::ReadFiles(kSamples / "firmware");
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

std::string Bodies(const std::vector<http::Request>& requests, std::size_t from = 0) {
    std::string bodies;
    for (std::size_t i = from; i < requests.size(); ++i) {
        bodies += requests[i].body;
    }
    return bodies;
}

TEST_F(SyncTest, BatchesAreTheFilesLinesWithinBothLimits) {
    // Events, their padding, the requests expected: 500 events at most, 1 MiB at most.
    for (const auto& [events, padding, requests] :
         {std::tuple<int, int, std::size_t>{1001, 0, 3}, {300, 6000, 2}}) {
        const std::string file = WriteHistory(events, padding);
        Collector collector;
        const Result result = Sync(collector);
        EXPECT_EQ(result.code, 0) << result.err;
        EXPECT_EQ(At(result.document, "/sync/sent"), events);
        const std::vector<http::Request> seen = collector.Requests();
        ASSERT_EQ(seen.size(), requests);
        for (const http::Request& request : seen) {
            EXPECT_EQ(request.method + " " + request.target, "POST /api/v1/events");
            EXPECT_EQ(request.Header("Authorization"), "Bearer secret-token");
            EXPECT_EQ(request.Header("Content-Type"), "application/x-ndjson");
            EXPECT_LE(request.body.size(), 1u << 20);
            EXPECT_LE(std::count(request.body.begin(), request.body.end(), '\n'), 500);
        }
        EXPECT_EQ(Bodies(seen), file);
        EXPECT_EQ(Cursor(),
                  (json{{"fleet", "fleet-a"}, {"url", collector.Url()}, {"acknowledged", events}}));
        EXPECT_EQ(Sync(collector).code, 0);  // nothing left to send
        EXPECT_EQ(collector.Requests().size(), requests);
    }
}

TEST_F(SyncTest, WhatMayPassIsTriedAgainARefusalIsSaid) {
    const auto answer = [](int status, const std::string& error) -> Answer {
        return [=](const http::Request&) { return Status(status, error, {{"Retry-After", "1"}}); };
    };
    struct Case {
        std::vector<Answer> script;
        int code;
        std::size_t requests;
        json acknowledged;  // the cursor's; null: none written
        std::string said;
        bool open = false;  // the token file readable by others
    };
    const std::vector<Case> cases = {
        {{answer(503, "database down")}, 0, 3, 700, ""},
        {{answer(401, "revoked")}, 2, 1, nullptr, "refused the token of " + Token().string()},
        {{Acknowledge("fleet-a"), answer(400, "line 3: bad")}, 2, 2, 500, "400 Bad Request"},
#ifndef _WIN32
        {{}, 2, 0, nullptr, "token file " + Token().string() + " (mode 0644) is refused", true},
#endif
    };
    for (const Case& c : cases) {
        WriteHistory(700);
        fs::permissions(Token(), fs::perms::group_read | fs::perms::others_read,
                        c.open ? fs::perm_options::add : fs::perm_options::remove);
        Collector collector(c.script);
        const Result result = Sync(collector);
        EXPECT_EQ(result.code, c.code) << result.out;
        const std::vector<http::Request> seen = collector.Requests();
        EXPECT_EQ(seen.size(), c.requests);
        EXPECT_EQ(At(Cursor(), "/acknowledged"), c.acknowledged);
        EXPECT_NE(Text(At(result.document, "/error/message")).find(c.said), std::string::npos)
            << result.out;
        if (c.code == 0) {  // the batch refused for now was sent again
            EXPECT_EQ(seen.at(0).body, seen.at(1).body);
        }
    }
}

TEST_F(SyncTest, ASyncResumesAfterTheAcknowledgedAndAnotherFleetStartsAgain) {
    const std::string file = WriteHistory(700);
    Collector refuses({Acknowledge("fleet-a")},
                      [](const http::Request&) { return Status(413, "too large"); });
    ASSERT_EQ(Sync(refuses).code, 2);
    ASSERT_EQ(refuses.Requests().size(), 2u);
    Collector same;
    EXPECT_EQ(Sync(same).code, 0);
    EXPECT_EQ(Bodies(same.Requests()), file.substr(refuses.Requests()[0].body.size()));
    // A new database behind the URL: its first answer sends the sync back to the first event.
    const std::string line = Line(701);
    WriteFile(Logs() / "history.jsonl", file + line);
    Collector other({}, Acknowledge("fleet-b"));
    const Result result = Sync(other);
    EXPECT_EQ(result.code, 0) << result.out;
    const std::vector<http::Request> seen = other.Requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].body, line);
    EXPECT_EQ(Bodies(seen, 1), file + line);
    EXPECT_EQ(Cursor(), (json{{"fleet", "fleet-b"}, {"url", other.Url()}, {"acknowledged", 701}}));
}

TEST_F(SyncTest, TheSyncAfterACheckChangesNothingOfItAndStaysBounded) {
    const std::vector<std::string> check = {"check", "--device", "emu:" + Scenario("behind")};
    const Result alone = Run(check);
    ASSERT_EQ(alone.code, 1) << alone.err;
    Collector collector;
    const std::string token = "token_file = token  # beside the history\n";
    const std::string conf = "# the fleet\nurl = " + collector.Url() + "\n" + token;
    WriteFile(Logs() / "fleet.conf", conf);
    const Result synced = Run(check);
    EXPECT_EQ(synced.code, alone.code);
    EXPECT_EQ(synced.out, alone.out);
    EXPECT_EQ(synced.err, alone.err);
    EXPECT_EQ(Bodies(collector.Requests()), ReadFile(Logs() / "history.jsonl"));

    // A collector that takes the connection and never answers (it never runs), and a fleet.conf
    // that cannot be read.
    http::Server silent(http::ServerOptions{});
    std::string error;
    const int port = silent.Listen("127.0.0.1", 0, error);
    const std::string confs[] = {"url = http://127.0.0.1:" + std::to_string(port) + "\n" + token,
                                 conf + "tokenfile = x\n"};
    // The path as stderr shows it, escaped for a terminal (a Windows path's backslashes doubled).
    const std::string said[] = {
        "", EscapeForTerminal((Logs() / "fleet.conf").string()) + ": line 4: unknown key"};
    for (int i = 0; i < 2; ++i) {
        WriteFile(Logs() / "fleet.conf", confs[i]);
        const auto start = std::chrono::steady_clock::now();
        const Result result = Run(check);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(result.code, alone.code);
        EXPECT_EQ(result.out, alone.out);
        const std::string warning = "gwctl: warning: fleet sync: " + said[i];
        EXPECT_EQ(result.err.substr(0, alone.err.size() + warning.size()), alone.err + warning);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'),
                  std::count(alone.err.begin(), alone.err.end(), '\n') + 1)
            << result.err;
    }
}

TEST_F(SyncTest, AReleaseFileRefusedAsItArrivesLeavesTheFolderInUseAsItWas) {
    const Files before = TestFolders::ReadFiles(Firmware());
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
        EXPECT_EQ(TestFolders::ReadFiles(Firmware()), before);
        EXPECT_FALSE(fs::exists(Firmware().string() + ".staging"));
    }
}

TEST_F(SyncTest, TheAutomaticSyncAbandonsASetDownloadThatDoesNotFitItsTime) {
    const std::vector<std::string> check = {"check", "--device", "emu:" + Scenario("behind")};
    const Result alone = Run(check);
    const Files before = TestFolders::ReadFiles(Firmware());
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
    EXPECT_EQ(TestFolders::ReadFiles(Firmware()), before);
    EXPECT_FALSE(fs::exists(Firmware().string() + ".staging"));
}

}  // namespace
}  // namespace gwu::test::cli
