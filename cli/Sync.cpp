// The tester's side of the fleet (Sync.h).
#include "cli/Sync.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <future>
#include <iostream>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/Version.h"
#include "cli/FleetTransport.h"
#include "cli/Report.h"
#include "host/Folders.h"
#include "os/Format.h"
#include "os/Os.h"

namespace gwu::cli {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstPause{250};
constexpr milliseconds kLongestPause{4000};
constexpr milliseconds kLongestRequest{30000};
constexpr int kFleetChanges = 2;  // restarts for another fleet id within one sync

struct Batch {
    std::string body;
    std::uint64_t count = 0;
    std::uint64_t highest = 0;
};

// Whether the transport's error says the collector's certificate was refused (not trusted, or not
// naming the host), in the words of the HTTP library's client and of FleetTransportWindows.cpp: a
// setting to mend, which trying again cannot.
bool CertificateRefused(const std::string& error) {
    return error.find("certificate verify failed") != std::string::npos ||
           error.find("certificate is not trusted") != std::string::npos;
}

// Retry-After in seconds (its date form is not used by the collector); zero when none.
milliseconds RetryAfter(const http::Response& response) {
    const std::string value = Trim(http::HeaderValue(response.headers, "Retry-After"));
    if (value.empty() || value.size() > 5 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return milliseconds(0);
    }
    return milliseconds(std::stoll(value) * 1000);
}

// One sync's posting of batches and keeping of the cursor, under the lock.
class Sender {
public:
    Sender(const SyncSettings& settings, std::string token, Clock::time_point deadline,
           SyncResult& result)
        : m_settings(settings), m_token(std::move(token)), m_deadline(deadline), m_result(result) {
        m_cursor = ReadFleetCursor(settings.folder).value_or(FleetCursor{});
        m_result.acknowledged = m_cursor.acknowledged;
        m_result.fleet = m_cursor.fleet;
    }

    // Sends every unsent event; false when the sync stopped short (the problem then said).
    bool SendAll() {
        for (int changes = 0; changes <= kFleetChanges; ++changes) {
            m_fleetChanged = false;
            // A full batch is posted on a thread of its own while the next one is read (reading
            // a line means parsing it); each waits for the one before to be acknowledged and
            // its cursor written before it is posted, so batches still go one at a time.
            Batch batch, posted;
            std::future<bool> posting;
            const auto add = [&](std::string_view line, std::uint64_t sequence) {
                if (batch.count == kBatchEvents || batch.body.size() + line.size() > kBatchBytes) {
                    if (posting.valid() && !posting.get()) {
                        return false;
                    }
                    posted = std::move(batch);
                    posting = std::async(std::launch::async, [&] { return Post(posted); });
                    batch = Batch{};
                }
                batch.body.append(line.data(), line.size());
                ++batch.count;
                batch.highest = sequence;
                return true;
            };
            const std::string unreadable =
                ForEachUnsentLine(m_settings.folder, m_cursor.acknowledged, add);
            const bool before = !posting.valid() || posting.get();
            const bool sent = before && m_result.problem.empty() && !m_fleetChanged &&
                              unreadable.empty() && (batch.count == 0 || Post(batch));
            if (sent) {
                return true;
            }
            if (!m_fleetChanged) {  // else from the first event again, for the new fleet
                return m_result.problem.empty() ? Stop("the history cannot be read: " + unreadable)
                                                : false;
            }
        }
        return Stop("the collector's fleet id changed again and again");
    }

private:
    bool Stop(const std::string& problem) {
        m_result.problem = problem;
        return false;
    }

    // Posts the batch until the collector answers it, trying again while that may help; true
    // when it was acknowledged. False also when the answer came from another fleet
    // (m_fleetChanged).
    bool Post(const Batch& batch) {
        http::Request request;
        request.method = "POST";
        request.target = "/api/v1/events";
        request.headers = {{"Authorization", "Bearer " + m_token},
                           {"Content-Type", "application/x-ndjson"},
                           {"Accept", "application/json"},
                           {"User-Agent", std::string("gwctl/") + LibraryVersion()}};
        request.body = batch.body;
        milliseconds pause = kFirstPause;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(m_deadline - Clock::now());
            if (left <= milliseconds(0)) {
                return Stop("the sync's time ran out");
            }
            std::string error;
            const std::optional<http::Response> response = SendToFleet(
                m_settings.url, request, m_settings.caFile, std::min(left, kLongestRequest), error);
            std::string trouble;  // worth another try
            milliseconds asked(0);
            if (!response && CertificateRefused(error)) {
                return Stop("the collector's certificate is refused: " + OneLine(error));
            } else if (!response) {
                trouble = "the collector cannot be reached: " + OneLine(error);
            } else if (response->status == 200) {
                return Acknowledged(batch, *response);
            } else if (response->status >= 500 || response->status == 429) {
                trouble = "the collector answered " + StatusText(response->status) + ": " +
                          CollectorError(*response);
                asked = RetryAfter(*response);
            } else {
                return Stop(Refusal(*response));
            }
            const milliseconds wait = std::max(pause, asked);
            if (Clock::now() + wait >= m_deadline) {
                return Stop(trouble + " (no time left to try again)");
            }
            std::this_thread::sleep_for(wait);
            pause = std::min(pause * 2, kLongestPause);
        }
    }

    std::string Refusal(const http::Response& response) const {
        const std::string status = StatusText(response.status);
        const std::string says = CollectorError(response);
        switch (response.status) {
            case 401:
                return "the collector refused the token of " + m_settings.tokenFile + " (" +
                       status + "): " + says;
            case 403:
                return "the collector does not take events with this token (" + status +
                       "; an admin token cannot send them): " + says;
            case 400:
            case 413:
                return "the collector refused a batch (" + status + "): " + says;
            default:
                return "the collector answered " + status + ": " + says;
        }
    }

    bool Acknowledged(const Batch& batch, const http::Response& response) {
        const Json body = Json::parse(response.body, nullptr, false);
        const auto count = [&body](const char* name) {
            return body.is_object() && body.contains(name) && body[name].is_number_unsigned();
        };
        if (!count("stored") || !count("duplicates") || !count("conflicts") ||
            !count("acknowledged") || !body.contains("fleet") || !body["fleet"].is_string() ||
            body["fleet"].get<std::string>().empty()) {
            return Stop("the collector's answer is not understood: " + OneLine(response.body));
        }
        const std::string fleet = body["fleet"].get<std::string>();
        const std::uint64_t acknowledged = body["acknowledged"].get<std::uint64_t>();
        m_result.sent += batch.count;
        m_result.stored += body["stored"].get<std::uint64_t>();
        m_result.duplicates += body["duplicates"].get<std::uint64_t>();
        m_result.conflicts += body["conflicts"].get<std::uint64_t>();
        FleetCursor cursor{fleet, m_settings.url, acknowledged};
        if (!m_cursor.fleet.empty() && fleet != m_cursor.fleet) {
            // Another database: what the old fleet acknowledged counts for nothing there.
            cursor.acknowledged = 0;
            m_fleetChanged = true;
        } else if (acknowledged != batch.highest) {
            return Stop("the collector acknowledged " + std::to_string(acknowledged) +
                        " for a batch up to " + std::to_string(batch.highest));
        }
        if (const int cause = WriteFleetCursor(m_settings.folder, cursor)) {
            return Stop("the cursor " + os::JoinPath(m_settings.folder, kFleetCursorName) +
                        " cannot be written: " + ErrorText(cause));
        }
        m_cursor = cursor;
        m_result.acknowledged = cursor.acknowledged;
        m_result.fleet = fleet;
        return !m_fleetChanged;
    }

    const SyncSettings& m_settings;
    const std::string m_token;
    const Clock::time_point m_deadline;
    SyncResult& m_result;
    FleetCursor m_cursor;
    bool m_fleetChanged = false;
};

// The fleet's url, token file and CA file: the options over fleet.conf's.
std::optional<SyncSettings> SettingsFor(const Options& options, std::string& error) {
    SyncSettings settings;
    settings.folder = host::LogFolder();
    const std::optional<FleetConfig> config = ReadFleetConfig(settings.folder, error);
    if (!error.empty()) {
        return std::nullopt;
    }
    const std::string conf = os::JoinPath(settings.folder, kFleetConfigName);
    settings.url = !options.fleetUrl.empty() ? options.fleetUrl : config ? config->url : "";
    settings.tokenFile = !options.tokenFile.empty() ? options.tokenFile
                         : config                   ? config->tokenFile
                                                    : "";
    settings.caFile = config ? config->caFile : "";
    settings.pull = {NamedFirmwareFolder(options), TrustFolder(options.trust)};
    if (settings.url.empty()) {
        error = "no fleet to send to: give --to URL, or a url in " + conf;
    } else if (settings.tokenFile.empty()) {
        error = "no token: give --token-file FILE, or a token_file in " + conf;
    }
    return error.empty() ? std::optional<SyncSettings>(settings) : std::nullopt;
}

}  // namespace

std::string StatusText(int status) {
    const std::string phrase = http::ReasonPhrase(status);
    return std::to_string(status) + (phrase == "Unknown" ? "" : " " + phrase);
}

std::string CollectorError(const http::Response& response) {
    const Json body = Json::parse(response.body, nullptr, false);
    if (body.is_object() && body.contains("error") && body["error"].is_string()) {
        return OneLine(body["error"].get<std::string>());
    }
    return OneLine(Trim(response.body));
}

SyncResult SyncHistory(const SyncSettings& settings) {
    const Clock::time_point deadline = Clock::now() + settings.time;
    SyncResult result;
    std::string error;
    if (!CheckFleetUrl(settings.url, settings.caFile, error)) {
        result.problem = error;
        return result;
    }
    const std::optional<std::string> content = ReadTokenFile(settings.tokenFile, error);
    if (!content) {
        result.problem = error;
        return result;
    }
    const std::string token = Trim(*content);
    if (token.empty() || std::any_of(token.begin(), token.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F;
        })) {
        result.problem = "the token file " + settings.tokenFile + " holds no token of one word";
        return result;
    }
    // Syncs of one folder take turns; the wait for the lock counts against the time.
    os::LockedFile lock;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    const milliseconds before = os::SetWriterWait(std::max(left, milliseconds(0)));
    const int locked = lock.Open(os::JoinPath(settings.folder, kFleetLockName));
    os::SetWriterWait(before);
    if (locked != 0) {
        result.problem = locked == EWOULDBLOCK
                             ? "another sync of this log folder is still running"
                             : "the lock " + os::JoinPath(settings.folder, kFleetLockName) +
                                   " cannot be taken: " + ErrorText(locked);
        return result;
    }
    // A switch that stopped between its renames is finished before anything else.
    const PullResult finished =
        settings.pull.firmware.empty() ? PullResult{} : FinishSwitch(settings.pull);
    Sender sender(settings, token, deadline, result);
    result.complete = sender.SendAll();
    result.pull = finished;
    if (result.complete && !settings.pull.firmware.empty()) {
        const FleetGet get = [&](const std::string& target, std::size_t limit,
                                 std::string& why) -> std::optional<http::Response> {
            const auto remaining =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (remaining <= milliseconds(0)) {
                why = "the sync's time ran out";
                return std::nullopt;
            }
            http::Request request;
            request.method = "GET";
            request.target = target;
            request.headers = {{"Authorization", "Bearer " + token},
                               {"User-Agent", std::string("gwctl/") + LibraryVersion()}};
            return SendToFleet(settings.url, request, settings.caFile, remaining, why, limit);
        };
        const PullResult pulled = PullReleaseSet(settings.pull, get);
        if (pulled.switched || !pulled.problem.empty()) {
            result.pull = pulled;
        }
    }
    return result;
}

int RunSync(Session& session) {
    const Options& options = session.GetOptions();
    std::string error;
    const std::optional<SyncSettings> settings = SettingsFor(options, error);
    const SyncResult result = settings ? SyncHistory(*settings) : SyncResult{};
    const std::string problem = !settings                 ? error
                                : !result.problem.empty() ? result.problem
                                                          : result.pull.problem;
    if (options.json) {
        Json document = Json::object();
        if (settings) {
            document["sync"] = {{"sent", result.sent},
                                {"stored", result.stored},
                                {"duplicates", result.duplicates},
                                {"conflicts", result.conflicts},
                                {"acknowledged", result.acknowledged},
                                {"fleet", result.fleet}};
        }
        if (result.pull.switched) {
            document["release"] = {{"set", result.pull.set},
                                   {"publication", result.pull.publication},
                                   {"sequence", result.pull.sequence},
                                   {"publisher", result.pull.publisher},
                                   {"folder", settings->pull.firmware},
                                   {"previous", settings->pull.firmware + kPreviousSuffix}};
        }
        if (!problem.empty()) {
            document["error"] = {{"message", problem}};
        }
        std::cout << DumpJson(document) << std::endl;
    } else if (settings) {
        std::printf(
            "Fleet sync with %s: sent %llu event%s (stored %llu, duplicates %llu, "
            "conflicts %llu); acknowledged up to %llu by fleet %s\n",
            EscapeForTerminal(settings->url).c_str(), static_cast<unsigned long long>(result.sent),
            result.sent == 1 ? "" : "s", static_cast<unsigned long long>(result.stored),
            static_cast<unsigned long long>(result.duplicates),
            static_cast<unsigned long long>(result.conflicts),
            static_cast<unsigned long long>(result.acknowledged),
            result.fleet.empty() ? "(none yet)" : EscapeForTerminal(result.fleet).c_str());
        if (result.pull.switched) {
            std::printf(
                "gwctl: %s\n",
                EscapeForTerminal(SwitchedText(result.pull, settings->pull.firmware)).c_str());
        }
    }
    if (!problem.empty() && !options.json) {
        std::fflush(stdout);
        std::fprintf(stderr, "gwctl: sync: %s\n", EscapeForTerminal(problem).c_str());
    }
    if (result.conflicts > 0) {
        std::fprintf(stderr,
                     "gwctl: warning: the fleet holds %llu of these events' ids with other "
                     "content (conflicts)\n",
                     static_cast<unsigned long long>(result.conflicts));
    }
    if (!problem.empty() && result.problem.empty() && result.complete) {
        return kExitDifferences;  // the events went; the release set did not
    }
    return problem.empty() && result.complete ? kExitSame : kExitTrouble;
}

void SyncAfterCommand(const Options& options, const std::string& firmware) {
    std::string problem;
    SyncSettings settings;
    settings.folder = host::LogFolder();
    const std::optional<FleetConfig> config = ReadFleetConfig(settings.folder, problem);
    if (problem.empty() && (!config || config->url.empty())) {
        return;  // no fleet
    }
    if (problem.empty()) {
        settings.url = config->url;
        settings.tokenFile = config->tokenFile;
        settings.caFile = config->caFile;
        settings.time = kAutomaticSyncTime;
        settings.pull = {firmware, TrustFolder(options.trust)};
        if (settings.tokenFile.empty()) {
            problem = os::JoinPath(settings.folder, kFleetConfigName) + " names no token_file";
        } else {
            const SyncResult result = SyncHistory(settings);
            problem = !result.problem.empty() ? result.problem : result.pull.problem;
            if (result.pull.switched) {  // said beside the command's output, never in it
                std::fprintf(stderr, "gwctl: %s\n",
                             EscapeForTerminal(SwitchedText(result.pull, firmware)).c_str());
            }
        }
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "gwctl: warning: fleet sync: %s\n",
                     EscapeForTerminal(problem).c_str());
    }
}

}  // namespace gwu::cli
