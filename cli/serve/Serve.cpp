#include "cli/serve/Serve.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/Commands.h"
#include "cli/History.h"
#include "cli/serve/ServePage.h"
#include "cli/serve/ServeSupport.h"
#include "host/Folders.h"
#include "host/popup/PopupDrivers.h"
#include "http/HostRule.h"
#include "http/Server.h"
#include "wire/Address.h"

namespace gwu::cli {

namespace {

// Requests that change something carry no more than a key press or a button.
constexpr size_t kMaxBodyBytes = 4096;
// Event streams open at once: a page holds one.
constexpr size_t kMaxStreams = 32;
// How often the state is looked at for a change while a page holds an event stream.
constexpr std::chrono::milliseconds kStreamTick{100};
// Waits shorter than this are not shown, as on the terminal.
constexpr double kFirstShownSeconds = 0.15;
constexpr const char* kTokenHeader = "X-Gwctl-Token";
// The history's latest events the page shows.
constexpr size_t kHistoryShown = 20;

// Device texts are any bytes: what is not UTF-8 is shown as the replacement character.
std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

http::Response Reply(int status, const Json& body) {
    http::Response response;
    response.status = status;
    response.contentType = "application/json";
    response.body = Dump(body);
    return response;
}

http::Response Refuse(int status, const std::string& message) {
    return Reply(status, Json{{"message", message}});
}

// The server of one run: the HTTP server, the popup driver it installs, the worker thread of
// the one operation that may run, and what the operations found, for the page.
class Server {
public:
    Server(Session& session, const ServeOptions& options)
        : m_session(session), m_http(HttpOptions()) {
        auto driver = std::make_unique<host::BrowserDriver>(options.popupTimeout);
        m_driver = driver.get();
        host::SetPopupDriver(std::move(driver));
    }

    // Stops serving, ends a waiting popup as the cross would, waits for the operation and
    // hands the popup library its default driver back.
    ~Server() {
        Finish();
        host::SetPopupDriver(nullptr);
    }

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, tells the address and serves until the first SIGINT or SIGTERM; then lets a
    // running operation finish.
    int Run(const Address& address) {
        std::string error;
        const int port = m_http.Listen(address.host, address.port, error);
        if (port == 0) {
            std::fprintf(stderr, "gwctl: cannot listen on %s:%d: %s\n",
                         UrlHost(address.host).c_str(), address.port, error.c_str());
            return kExitTrouble;
        }
        if (wire::IsLoopbackHost(address.host)) {
            m_hosts = http::HostRule::Loopback(UrlHost(address.host), port);
        } else {
            std::fprintf(stderr, "%s\n",
                         wire::NotLoopbackWarning("gwctl", "serving", address.host, "sees the page")
                             .c_str());
        }
        std::printf("gwctl serving on http://%s:%d/\n", UrlHost(address.host).c_str(), port);
        std::fflush(stdout);
        m_network = std::thread([this] { m_http.Run(); });
        m_ticker = std::thread([this] { Tick(); });
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_stopped.wait(lock, [this] { return m_stopping; });
        }
        Finish();
        return kExitSame;
    }

private:
    http::ServerOptions HttpOptions() {
        http::ServerOptions options;
        options.limits.bodyBytes = kMaxBodyBytes;
        options.limits.streams = kMaxStreams;
        options.handler = [this](const http::Request& request) { return Handle(request); };
        options.refusal = [](int status, const std::string& sentence) {
            return Refuse(status, sentence);
        };
        options.onSignal = [this](int signal, int count) { OnSignal(signal, count); };
        return options;
    }

    // The first signal stops taking operations and lets the running one finish; a second one
    // ends the process at once.
    void OnSignal(int signal, int count) {
        if (count > 1) {
            std::fprintf(stderr, "gwctl: second signal: stopping at once\n");
            std::fflush(stderr);
            std::_Exit(128 + signal);
        }
        Set(m_stopping);
    }

    // Sets the flag under the lock and wakes whoever waits for one.
    void Set(bool& flag) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            flag = true;
        }
        m_stopped.notify_all();
    }

    // After the first signal, and once more from the destructor: ends a waiting popup as the
    // cross would, waits for the operation (the pages still following it), then stops serving.
    // Signals are still watched while the operation finishes.
    void Finish() {
        Set(m_stopping);
        m_driver->Close();
        if (m_worker.joinable()) {
            m_worker.join();
        }
        Set(m_finished);
        if (m_ticker.joinable()) {
            m_ticker.join();
        }
        m_http.Stop();
        if (m_network.joinable()) {
            m_network.join();
        }
    }

    // While a page holds an event stream, the state goes to the streams whenever it changes, and
    // the popup counts as seen.
    void Tick() {
        std::string last;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopped.wait_for(lock, kStreamTick, [this] { return m_finished; })) {
            if (m_http.OpenStreams() == 0) {
                continue;
            }
            lock.unlock();
            m_driver->Seen();
            std::string state = Dump(State());
            if (state != last) {
                m_http.Publish(state);
                last = std::move(state);
            }
            lock.lock();
        }
    }

    // Every request: a loopback server answers only to its own names; a request that changes
    // something must carry the token of the page this run served.
    http::Response Handle(const http::Request& request) {
        if (!m_hosts.Allows(request.Header("Host"))) {
            return Refuse(403, "unexpected Host header");
        }
        if (request.method != "GET" && request.method != "POST") {
            return Refuse(405, "only GET and POST are served");
        }
        if (request.method == "POST" && request.Header(kTokenHeader) != m_token) {
            return Refuse(403, "missing or wrong token: reload the page");
        }
        const std::string path = request.Path();
        if (request.method == "GET") {
            if (path == "/") {
                return Page();
            }
            if (path == "/favicon.ico") {
                http::Response none;
                none.status = 204;  // no icon, and no error in the browser's console
                return none;
            }
            if (path == "/api/state") {
                m_driver->Seen();
                http::Response response = Reply(200, State());
                response.headers.emplace_back("Cache-Control", "no-store");
                return response;
            }
            if (path == "/api/events") {
                // A stream's first event is the last one published, which may date from before
                // the last page went away (a popup since ended, say): publish the state as it is
                // now, so that a page opened later never shows a stale one.
                m_http.Publish(Dump(State()));
                http::Response stream;
                stream.eventStream = true;
                stream.headers.emplace_back("Cache-Control", "no-store");
                return stream;
            }
        } else if (path == "/api/check" || path == "/api/update" || path == "/api/cable") {
            return Start(path.substr(5));
        } else if (path == "/api/popup") {
            return Press(request.body);
        }
        return Refuse(404, "no such page");
    }

    http::Response Page() const {
        http::Response response;
        response.contentType = "text/html; charset=utf-8";
        response.headers = {
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'nonce-" + m_nonce + "'; style-src 'nonce-" + m_nonce +
                 "'; connect-src 'self'; img-src 'self'; base-uri 'none'; "
                 "form-action 'none'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"}};
        response.body = ServePage(m_token, m_nonce);
        return response;
    }

    http::Response Start(const std::string& operation) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            return Refuse(503, "the server is stopping");
        }
        if (!m_running.empty()) {
            const std::string running = m_running == "check"    ? "A check"
                                        : m_running == "update" ? "An update"
                                                                : "A cable update";
            return Refuse(409,
                          running + " is running; wait until it has finished, then try again.");
        }
        if (m_worker.joinable()) {
            m_worker.join();  // the previous operation, which has finished
        }
        m_running = operation;
        m_message = {{"text", operation + " started"}, {"level", "info"}};
        m_worker = std::thread([this, operation] { Work(operation); });
        return Reply(202, Json{{"started", operation}});
    }

    // On the worker thread.
    void Work(const std::string& operation) {
        Json message;
        try {
            const auto repairBefore = gwu::LastRepairOutcome();
            if (operation == "check") {
                const CheckReport report = m_session.Check();
                RecordOperation(
                    m_session, {"check", &report, &report, nullptr, nullptr, CheckExitCode(report)},
                    repairBefore);
                Publish(report);
                message = {{"text", CheckMessage(report)}, {"level", CheckLevel(report)}};
            } else if (operation == "update") {
                Clear();
                const CheckReport first = m_session.Check();
                Publish(first);
                int rounds = 0;
                std::vector<UpdateRound> made;
                const CheckReport last = m_session.Update(
                    first,
                    [this, &rounds, &made](const UpdateRound& round, const CheckReport& now) {
                        made.push_back(round);
                        Json entry = RoundJson(round);
                        entry["number"] = round.number;
                        entry["given_up"] = round.givenUp;
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_rounds.push_back(std::move(entry));
                        rounds = round.number;
                        PublishLocked(now);
                    });
                RecordOperation(m_session,
                                {"update", &first, &last, &made, nullptr, CheckExitCode(last)},
                                repairBefore);
                message = {{"text", UpdateMessage(rounds, last)}, {"level", CheckLevel(last)}};
            } else if (!m_session.Communication()) {
                message = {{"text", "Only the communication module (card VCL) has cable firmware."},
                           {"level", "error"}};
            } else {
                const CableOutcome outcome = m_session.Cable();
                RecordOperation(
                    m_session,
                    {"cable", nullptr, nullptr, nullptr, &outcome, CableExitCode(outcome)},
                    repairBefore);
                message = {{"text", CableMessage(outcome)},
                           {"level", outcome.took ? "ok" : "error"}};
                std::lock_guard<std::mutex> lock(m_mutex);
                m_cable = CableJson(outcome);
            }
        } catch (const std::exception& e) {
            message = {{"text", "The " + operation + " failed: " + e.what()}, {"level", "error"}};
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_message = std::move(message);
        m_running.clear();
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rounds = Json::array();
    }

    void Publish(const CheckReport& report) {
        std::lock_guard<std::mutex> lock(m_mutex);
        PublishLocked(report);
    }

    void PublishLocked(const CheckReport& report) {
        m_check = ToJson(report, m_session.GetOptions().card);
        m_check.erase("values");  // the page shows the live values instead
        m_check["rows"] = RowsJson(report);
        m_check["folder_text"] = FolderText(report.folder);
    }

    // A key of the popup's keyboard or one of its buttons: {"root": N, "key": CODE} or
    // {"root": N, "button": "tick" | "cross" | "back"}.
    http::Response Press(const std::string& text) {
        const auto [root, event] = PopupPress(text);
        if (!event) {
            return Refuse(400,
                          R"(expected {"root": N, "key": CODE} or {"root": N, "button": "tick"})");
        }
        if (!m_driver->Post(root, *event)) {
            return Refuse(409, "That popup is no longer open.");
        }
        return Reply(200, Json{{"accepted", true}});
    }

    Json State() {
        Json state;
        state["card"] = m_session.GetOptions().card;
        state["device"] = m_session.DeviceText();
        state["firmware"] = m_session.FirmwareFolder();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            state["busy"] = m_running.empty() ? Json(nullptr) : Json(m_running);
            state["message"] = m_message;
            state["check"] = m_check;
            state["rounds"] = m_rounds;
            state["cable"] = m_cable;
        }
        const std::optional<StatusLine::Wait> wait = m_session.CurrentWait();
        if (wait && wait->seconds >= kFirstShownSeconds && !state["busy"].is_null()) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", wait->seconds);
            state["progress"] = {{"step", wait->step},
                                 {"seconds", seconds},
                                 {"text", "gwctl: " + wait->step + ": " + seconds + " s"}};
        } else {
            state["progress"] = nullptr;
        }
        state["values"] = m_session.PublishedValues();
        const SerialList list = ReadSerialList();
        state["list"] = {{"file", list.path}, {"exists", list.exists}, {"lines", list.lines}};
        state["popup"] = Json::parse(m_driver->PopupJson(), nullptr, false);
        state["history"] = m_history.Get(host::LogFolder());
        return state;
    }

    Session& m_session;
    const std::string m_token = RandomHex(16);
    const std::string m_nonce = RandomHex(16);
    http::HostRule m_hosts;         // the Host headers answered; set before serving
    host::BrowserDriver* m_driver;  // the popup library owns it while it is installed

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_stopped;
    bool m_stopping = false;  // no operation is started any more
    bool m_finished = false;  // and none runs: the streams are done
    std::string m_running;    // the operation running, empty when none
    Json m_message = nullptr;
    Json m_check = nullptr;
    Json m_rounds = Json::array();
    Json m_cable = nullptr;
    std::thread m_worker;

    LatestEvents m_history{kHistoryShown};

    // Last, so that it goes first: no handler runs once the rest has gone.
    http::Server m_http;
    std::thread m_network;  // runs m_http
    std::thread m_ticker;   // Tick
};

}  // namespace

int Serve(Session& session, const ServeOptions& options) {
    const std::optional<Address> address = ParseListen(options.listen);
    if (!address) {
        std::fprintf(stderr, "gwctl: bad --listen %s: expected HOST:PORT\n",
                     options.listen.c_str());
        return kExitTrouble;
    }
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);  // a page that goes mid-answer is the server's to notice
#endif
    Server server(session, options);
    return server.Run(*address);
}

}  // namespace gwu::cli
