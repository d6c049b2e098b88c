// gwctl: the stand-in host as a command-line tool. It drives the library as the host
// application does, against the emulated gateway (in process or over TCP), and prints what the
// host's screens would show.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "base/Version.h"
#include "cli/Commands.h"
#include "cli/Release.h"
#include "cli/Sync.h"
#include "cli/serve/Serve.h"
#include "host/LineSinks.h"
#include "os/Format.h"
#include "platform/Framework.h"

namespace {

using gwu::cli::Json;
using gwu::cli::kExitTrouble;
using gwu::cli::Options;

int Fail(const Options& options, const std::string& message) {
    if (options.json) {
        std::cout << gwu::cli::DumpJson(Json{{"error", {{"message", message}}}}) << std::endl;
    } else {
        // A message may quote a file or a device: escaped for the terminal.
        std::fprintf(stderr, "gwctl: %s\n", gwu::EscapeForTerminal(message).c_str());
    }
    return kExitTrouble;
}

// The --version text: the tool's and the library's version, then the library module as the
// application framework knows it. A statically linked library is no module: it registers nothing.
std::string VersionText() {
    std::string text =
        std::string("gwctl ") + GWU_VERSION + ", gatewayutils library " + gwu::LibraryVersion();
    const std::vector<FrameworkModule> modules = FW_RegisteredModules();
    const auto library = std::find_if(modules.begin(), modules.end(), [](const auto& module) {
        return module.name == "gatewayutils";
    });
    if (library == modules.end()) {
        return text + "\nlibrary: gatewayutils " + gwu::LibraryVersion() +
               " (linked statically, no module registered)";
    }
    return text + "\nlibrary: " + library->name + " " + library->version +
           (library->shared ? " (shared module, registered)" : " (registered)");
}

int Run(int argc, char** argv) {
    Options options;
    CLI::App app{
        "gwctl: checks and updates the firmware of a gateway device through the gatewayutils "
        "library,\nagainst the emulated gateway (in process by default, or gwemu over TCP).",
        "gwctl"};
    app.footer(
        "Commands:\n"
        "  check   read the device, compare every code type with the disk release, print it all\n"
        "  update  check, update the first differing code type, check again; repeat until\n"
        "          nothing differs (at most 6 rounds; a code type whose update did not take\n"
        "          two rounds in a row is not tried again)\n"
        "  cable   update the active-cable firmware from its hex image\n"
        "  list    print the serial-number list file\n"
        "  history print the tester's update history, oldest first (--serial S, --since TIME,\n"
        "          --operation OP to choose; --json for JSON Lines)\n"
        "  serve   show the tester's screen as a page in a browser, on loopback by default;\n"
        "          its buttons run check, update and cable. The first SIGINT (Ctrl+C) or SIGTERM\n"
        "          stops it once a running operation has finished; a second one at once\n"
        "  release sign a firmware folder as its publisher, or verify one (gwctl release sign\n"
        "          --key KEY.pem [--sequence N] FOLDER, gwctl release verify [--trust DIR]\n"
        "          [--json] FOLDER; gwctl release --help)\n"
        "  sync    send the history's events that the fleet collector has not acknowledged yet\n"
        "          (--to URL and --token-file FILE, else fleet.conf in the log folder)\n\n"
        "Exit codes: 0 the device was compared with the releases on disk and matches them,\n"
        "1 differences remain (or the cable update did not take), 2 trouble (bad arguments, no\n"
        "release on disk to compare with, device not read, bad scenario).\n\n"
        "Signed folders: with a trusted key (--trust or GWU_TRUST_DIR), update and cable use a\n"
        "firmware folder only when a trusted key signed its manifest RELEASES.json and every file\n"
        "matches it, and never an older set than one already accepted (exit 2 otherwise, nothing\n"
        "placed). Without one, every run says the folder is unverified.\n\n"
        "History: check, update and cable (and serve's) each append an event with their evidence\n"
        "to history.jsonl in the log folder; a repair during one adds its own.\n\n"
        "Fleet: when fleet.conf in the log folder (lines \"key = value\": url, token_file,\n"
        "ca_file) names a url, check, update and cable then send the history to the fleet within\n"
        "5 s; a problem with that is a warning on stderr, their output and exit code stay as\n"
        "they are. fleet-cursor.json beside the history keeps what the fleet acknowledged.\n\n"
        "Environment: GWU_FIRMWARE_DIR, GWU_RUNTIME_DIR, GWU_LOG_DIR name the folders when the\n"
        "options do not; else the sample folders are used (share/gatewayutils of the install, the\n"
        "repository's samples/ from the build tree; the firmware folder as a scratch copy, so\n"
        "that updates never touch the shipped samples).");
    std::vector<std::string> names;
    for (const gwu::cli::Command& command : gwu::cli::Commands()) {
        names.emplace_back(command.name);
    }
    names.emplace_back("release");  // with arguments of its own, taken before this parser
    app.add_option("command", options.command,
                   "check, update, cable, list, history, serve, sync or release")
        ->required()
        ->check(CLI::IsMember(names));
    app.add_option("--card", options.card,
                   "the fitted card's name; VCL is the communication "
                   "module, any other the measurement module")
        ->capture_default_str();
    app.add_option("--device", options.device,
                   "emu:FILE (in-process emulator with that scenario), tcp://HOST:PORT "
                   "(gwemu) or replay:TRACE (a recorded session, replayed in process); "
                   "default: the in-process sample scenario scenarios/behind.json");
    app.add_option("--firmware", options.firmware, "firmware release folder");
    app.add_option("--runtime", options.runtime, "runtime folder (deployed-unit list)");
    app.add_option("--logs", options.logs, "log-files folder (serial-number list)");
    app.add_option("--custom-cpld", options.customCpld, "custom CPLD file name to configure");
    app.add_option("--report-dir", options.reportDir,
                   "folder of the serial-number repair's report ReportHLXRepair.txt (default: "
                   "the log-files folder)");
    app.add_option("--keys", options.keys,
                   "scripted keyboard for the repair's prompts, e.g. 'HX100241<tick>' (<tick>, "
                   "<cross>, <back>, <bs>); without it the terminal is used when stdin is one");
    app.add_option("--trust", options.trust,
                   "folder of trusted publishers' public keys (*.pem) that firmware folders are "
                   "verified with (default: GWU_TRUST_DIR, else the package's empty keys/; the "
                   "sample firmware is verified with the samples' own key)");
    app.add_flag("--allow-unsigned", options.allowUnsigned,
                 "update from a firmware folder without a trusted signature (its manifest's "
                 "digests are still checked); says so on every run");
    app.add_flag("--allow-rollback", options.allowRollback,
                 "update from an older signed set than one already accepted from its publisher");
    app.add_option("--tester", options.tester,
                   "this tester's name in the history (default: GWU_TESTER, else the host name)");
    app.add_option("--serial", options.serialFilter, "history: only this serial number's events");
    app.add_option("--since", options.since,
                   "history: only events from this UTC time on, e.g. 2026-12-08 or "
                   "2026-12-08T10:00:00Z");
    app.add_option("--operation", options.operationFilter,
                   "history: only events of this operation (check, update, cable, repair, "
                   "dropped)");
    app.add_option("--to", options.fleetUrl,
                   "sync: the fleet collector's URL, http://HOST:PORT or https://HOST (default: "
                   "the url of fleet.conf in the log folder)");
    app.add_option("--token-file", options.tokenFile,
                   "sync: the file that holds this tester's token, mode 0600 (default: the "
                   "token_file of fleet.conf)");
    app.add_flag("--json", options.json, "print one JSON document and nothing else on stdout");
    app.add_flag("--verbose", options.verbose, "monitor and error lines to stderr");
    app.add_flag("--quiet", options.quiet,
                 "no status line on stderr while waiting for the device (there is none with "
                 "--json or when stderr is not a terminal)");
    std::string listen = "127.0.0.1:0";
    app.add_option("--listen", listen,
                   "serve: HOST:PORT to listen on; port 0 picks a free port (default "
                   "127.0.0.1:0, loopback only)");
    double popupTimeout = 30;
    app.add_option("--popup-timeout", popupTimeout,
                   "serve: seconds without a page before an open popup closes as the cross "
                   "would (default 30)")
        ->check(CLI::Range(0.1, 86400.0));
    app.set_version_flag("--version", VersionText());
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help or --version
    } catch (const CLI::ParseError& e) {
        // The parser may stop (at a bad command, say) before it has stored --json.
        options.json = options.json || std::any_of(argv + 1, argv + argc, [](const char* arg) {
                           return std::string(arg) == "--json";
                       });
        if (options.json) {
            return Fail(options, e.what());
        }
        app.exit(e);
        return kExitTrouble;
    }

    if (options.command == "release") {
        return Fail(options,
                    "release comes first, with its own arguments: gwctl release "
                    "sign|verify ... (gwctl release --help)");
    }
    // The parser admits only the commands' names.
    const gwu::cli::Command& command = *gwu::cli::FindCommand(options.command);
    if (!options.verbose) {
        gwu::host::SetMonitorSink([](const std::string&) {});
        gwu::host::SetErrorSink([](const std::string&) {});
    }
    // Before the session may name a working copy of the samples as the firmware folder.
    const std::string firmware = gwu::cli::NamedFirmwareFolder(options);
    gwu::cli::Session session(options, command.needs);
    std::string error;
    if (!session.Open(error)) {
        return Fail(options, error);
    }
    if (command.run == nullptr) {
        gwu::cli::ServeOptions serve;
        serve.listen = listen;
        serve.popupTimeout = std::chrono::milliseconds(static_cast<long long>(popupTimeout * 1000));
        return gwu::cli::Serve(session, serve);
    }
    const int code = command.run(session);
    if (command.syncsAfter) {
        // The command's result is out before the fleet is tried, which says only warnings.
        std::cout.flush();
        std::fflush(stdout);
        gwu::cli::SyncAfterCommand(options, firmware);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc > 1 && std::string(argv[1]) == "release") {
            return gwu::cli::RunRelease(argc, argv);
        }
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gwctl: %s\n", gwu::EscapeForTerminal(e.what()).c_str());
        return kExitTrouble;
    }
}
