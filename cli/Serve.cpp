#include "cli/Serve.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/ServePage.h"
#include "cli/ServeSupport.h"
#include "host/popup/PopupDrivers.h"
#include "wire/Address.h"

namespace gwu::cli {

namespace {

// Requests that change something carry no more than a key press or a button.
constexpr size_t kMaxBodyBytes = 4096;
// How often an event stream looks for a change, and how many looks make one keep-alive line.
constexpr std::chrono::milliseconds kStreamTick{100};
constexpr int kTicksPerKeepAlive = 10;
// Waits shorter than this are not shown, as on the terminal.
constexpr double kFirstShownSeconds = 0.15;
constexpr const char* kTokenHeader = "X-Gwctl-Token";

// Device texts are any bytes: what is not UTF-8 is shown as the replacement character.
std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Reply(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(Dump(body), "application/json");
}

void Refuse(httplib::Response& response, int status, const std::string& message) {
    Reply(response, status, Json{{"message", message}});
}

// The server of one run: the HTTP server, the popup driver it installs, the worker thread of
// the one operation that may run, and what the operations found, for the page.
class Server {
public:
    Server(Session& session, const ServeOptions& options) : m_session(session) {
        auto driver = std::make_unique<host::BrowserDriver>(options.popupTimeout);
        m_driver = driver.get();
        host::SetPopupDriver(std::move(driver));
        m_http.set_payload_max_length(kMaxBodyBytes);
        m_http.set_keep_alive_timeout(1);  // so that stopping waits for no idle connection long
        m_http.set_pre_routing_handler([this](const auto& request, auto& response) {
            return Admit(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                            : httplib::Server::HandlerResponse::Handled;
        });
        // httplib's own refusals (no such path, a body above the limit) say what happened too.
        m_http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty()) {
                return;
            }
            Refuse(response, response.status,
                   response.status == 404 ? "no such page"
                   : response.status == 413
                       ? "request body above " + std::to_string(kMaxBodyBytes) + " bytes"
                       : "bad request");
        });
        Routes();
    }

    // Stops serving, ends a waiting popup as the cross would, waits for the operation and
    // hands the popup library its default driver back.
    ~Server() {
        Stop();
        if (m_worker.joinable()) {
            m_worker.join();
        }
        host::SetPopupDriver(nullptr);
    }

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, tells the address and serves until Stop.
    int Run(const Address& address) {
        int port = address.port;
        if (port == 0) {
            port = m_http.bind_to_any_port(address.host);
        } else if (!m_http.bind_to_port(address.host, port)) {
            port = -1;
        }
        if (port <= 0) {
            std::fprintf(stderr, "gwctl: cannot listen on %s:%d\n", UrlHost(address.host).c_str(),
                         address.port);
            return kExitTrouble;
        }
        if (wire::IsLoopbackHost(address.host)) {
            // A page of another site may not reach this one through a name it controls.
            for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
                m_hosts.push_back(std::string(name) + ":" + std::to_string(port));
            }
            m_hosts.push_back(UrlHost(address.host) + ":" + std::to_string(port));
        } else {
            std::fprintf(
                stderr, "%s\n",
                wire::NotLoopbackWarning("gwctl", "serving", address.host, "sees the page").c_str());
        }
        std::printf("gwctl serving on http://%s:%d/\n", UrlHost(address.host).c_str(), port);
        std::fflush(stdout);
        m_http.listen_after_bind();
        return kExitSame;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_stopped.notify_all();
        m_driver->Close();
        m_http.stop();
    }

private:
    // Every request: a loopback server answers only to its own names; a request that changes
    // something must carry the token of the page this run served.
    bool Admit(const httplib::Request& request, httplib::Response& response) const {
        const std::string host = request.get_header_value("Host");
        if (!m_hosts.empty() && std::find(m_hosts.begin(), m_hosts.end(), host) == m_hosts.end()) {
            Refuse(response, 403, "unexpected Host header");
            return false;
        }
        if (request.method != "GET" && request.method != "POST") {
            Refuse(response, 405, "only GET and POST are served");
            return false;
        }
        if (request.method == "POST" && request.get_header_value(kTokenHeader) != m_token) {
            Refuse(response, 403, "missing or wrong token: reload the page");
            return false;
        }
        return true;
    }

    void Routes() {
        m_http.Get("/", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("Content-Security-Policy",
                                "default-src 'none'; script-src 'nonce-" + m_nonce +
                                    "'; style-src 'nonce-" + m_nonce +
                                    "'; connect-src 'self'; img-src 'self'; base-uri 'none'; "
                                    "form-action 'none'; frame-ancestors 'none'");
            response.set_header("X-Content-Type-Options", "nosniff");
            response.set_header("Referrer-Policy", "no-referrer");
            response.set_header("Cache-Control", "no-store");
            response.set_content(ServePage(m_token, m_nonce), "text/html; charset=utf-8");
        });
        m_http.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& response) {
            response.status = 204;  // no icon, and no error in the browser's console
        });
        m_http.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
            m_driver->Seen();
            response.set_header("Cache-Control", "no-store");
            Reply(response, 200, State());
        });
        m_http.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            auto last = std::make_shared<std::string>();
            response.set_chunked_content_provider(
                "text/event-stream",
                [this, last](size_t, httplib::DataSink& sink) { return Stream(*last, sink); });
        });
        for (const char* operation : {"check", "update", "cable"}) {
            m_http.Post(std::string("/api/") + operation,
                        [this, operation](const httplib::Request&, httplib::Response& response) {
                            Start(operation, response);
                        });
        }
        m_http.Post("/api/popup",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        Press(request, response);
                    });
    }

    // One turn of an event stream: the state when it changed, else after a while a keep-alive
    // line, which also finds a page that has gone. False ends the stream.
    bool Stream(std::string& last, httplib::DataSink& sink) {
        for (int tick = 0; tick < kTicksPerKeepAlive; ++tick) {
            m_driver->Seen();
            const std::string state = Dump(State());
            if (state != last) {
                last = state;
                const std::string event = "data: " + state + "\n\n";
                return sink.write(event.data(), event.size());
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_stopped.wait_for(lock, kStreamTick, [this] { return m_stopping; })) {
                sink.done();
                return true;
            }
        }
        static const std::string keepAlive = ": keep-alive\n\n";
        return sink.write(keepAlive.data(), keepAlive.size());
    }

    void Start(const std::string& operation, httplib::Response& response) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            Refuse(response, 503, "the server is stopping");
            return;
        }
        if (!m_running.empty()) {
            const std::string running = m_running == "check"    ? "A check"
                                        : m_running == "update" ? "An update"
                                                                : "A cable update";
            Refuse(response, 409,
                   running + " is running; wait until it has finished, then try again.");
            return;
        }
        if (m_worker.joinable()) {
            m_worker.join();  // the previous operation, which has finished
        }
        m_running = operation;
        m_message = {{"text", operation + " started"}, {"level", "info"}};
        m_worker = std::thread([this, operation] { Work(operation); });
        Reply(response, 202, Json{{"started", operation}});
    }

    // On the worker thread.
    void Work(const std::string& operation) {
        Json message;
        try {
            if (operation == "check") {
                const CheckReport report = m_session.Check();
                Publish(report);
                message = {{"text", CheckMessage(report)}, {"level", CheckLevel(report)}};
            } else if (operation == "update") {
                Clear();
                const CheckReport first = m_session.Check();
                Publish(first);
                int rounds = 0;
                const CheckReport last = m_session.Update(
                    first, [this, &rounds](const UpdateRound& round, const CheckReport& now) {
                        Json entry = RoundJson(round);
                        entry["number"] = round.number;
                        entry["given_up"] = round.givenUp;
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_rounds.push_back(std::move(entry));
                        rounds = round.number;
                        PublishLocked(now);
                    });
                message = {{"text", "Update: " + std::to_string(rounds) + " round" +
                                        (rounds == 1 ? "" : "s") + ". " + CheckMessage(last)},
                           {"level", CheckLevel(last)}};
            } else if (!m_session.Communication()) {
                message = {{"text", "Only the communication module (card VCL) has cable firmware."},
                           {"level", "error"}};
            } else {
                const CableOutcome outcome = m_session.Cable();
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
    }

    // A key of the popup's keyboard or one of its buttons: {"root": N, "key": CODE} or
    // {"root": N, "button": "tick" | "cross" | "back"}.
    void Press(const httplib::Request& request, httplib::Response& response) {
        const Json body = Json::parse(request.body, nullptr, false);
        const bool rooted =
            body.is_object() && body.contains("root") && body["root"].is_number_integer();
        std::optional<host::PopupEvent> event;
        if (rooted && body.contains("key") && body["key"].is_number_integer()) {
            const auto code = body["key"].get<long long>();
            if (code >= 0 && code <= 0xFFFF) {
                event = host::PopupEvent::Key(static_cast<int>(code));
            }
        } else if (rooted && body.contains("button") && body["button"].is_string()) {
            const std::string button = body["button"].get<std::string>();
            if (button == "tick" || button == "cross" || button == "back") {
                event = host::PopupEvent::Press(button == "tick"    ? host::kTickButton
                                                : button == "cross" ? host::kCrossButton
                                                                    : host::kGoBackButton);
            }
        }
        if (!event) {
            Refuse(response, 400,
                   R"(expected {"root": N, "key": CODE} or {"root": N, "button": "tick"})");
            return;
        }
        const auto root = body["root"].get<long long>();
        if (root <= 0 || root > 0x7FFFFFFF || !m_driver->Post(static_cast<int>(root), *event)) {
            Refuse(response, 409, "That popup is no longer open.");
            return;
        }
        Reply(response, 200, Json{{"accepted", true}});
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
        return state;
    }

    Session& m_session;
    const std::string m_token = RandomHex(16);
    const std::string m_nonce = RandomHex(16);
    std::vector<std::string> m_hosts;  // the Host headers answered; empty: any
    host::BrowserDriver* m_driver;     // the popup library owns it while it is installed
    httplib::Server m_http;

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_stopped;
    bool m_stopping = false;
    std::string m_running;  // the operation running, empty when none
    Json m_message = nullptr;
    Json m_check = nullptr;
    Json m_rounds = Json::array();
    Json m_cable = nullptr;
    std::thread m_worker;
};

}  // namespace

int Serve(Session& session, const ServeOptions& options) {
    const std::optional<Address> address = ParseListen(options.listen);
    if (!address) {
        std::fprintf(stderr, "gwctl: bad --listen %s: expected HOST:PORT\n",
                     options.listen.c_str());
        return kExitTrouble;
    }
    // SIGINT and SIGTERM go to one waiting thread, which stops the server; every thread started
    // from here on has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server server(session, options);
    std::thread waiter([&signals, &server] {
        int received = 0;
        sigwait(&signals, &received);
        server.Stop();
    });
    const int code = server.Run(*address);
    // Serving ended without a signal (it could not listen): the waiter still waits for one.
    kill(getpid(), SIGTERM);
    waiter.join();
    return code;
}

}  // namespace gwu::cli
