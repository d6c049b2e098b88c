// gwemu: serves an emulated gateway, described by a scenario file, over TCP; records a session
// with another gateway; replays a recorded one.
//
//   gwemu --scenario FILE [--listen HOST:PORT] [--firmware DIR] [--log-faults]
//   gwemu --record TRACE --upstream tcp://HOST:PORT [--listen HOST:PORT]
//   gwemu --replay TRACE [--replay-timing] [--listen HOST:PORT]
//   gwemu --scenario-from TRACE
//   gwemu --version
//
// --record passes every message of its client on to the upstream gateway and its answer back,
// and appends the exchange to the trace file. --replay answers from the trace, strictly in order,
// and writes a line on stderr for each message it refuses ("gwemu replay: exchange N: ...").
// --scenario-from prints a scenario that answers a trace's reading requests as they were
// answered, or refuses a trace with writes or updates, naming the first exchange it cannot
// express.
//
// Prints "gwemu listening on HOST:PORT" on stdout once clients can connect; with --log-faults
// also one line per faulted request, written before its answer goes out:
// "gwemu fault: KIND CARD REQUEST" (the kind as the scenario names it, VCL or the measurement
// module's "other", the request type in hex). Runs until
// SIGINT or SIGTERM. A --listen address that is not on loopback gets a warning on stderr. Exit
// status: 0 after a signal (or --help, --version), 2 for a usage error, a scenario or trace that
// cannot be used, a trace that cannot be created or a malformed address, 1 when the address
// cannot be listened on, a trace write fails or anything else fails.
#ifndef _WIN32
#include <pthread.h>
#endif
#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "emulator/model/Gateway.h"
#include "emulator/scenario/Scenario.h"
#include "emulator/serving/Recorder.h"
#include "emulator/serving/Replay.h"
#include "emulator/serving/TcpServer.h"
#include "emulator/trace/Trace.h"
#include "emulator/trace/TraceScenario.h"
#include "os/Os.h"
#include "wire/Address.h"
#include "wire/Cards.h"

namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitFailure = 1;

// Waits for the signals that stop the server: SIGINT or SIGTERM (and Ctrl-Break on Windows).
#ifdef _WIN32
volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void RequestStop(int) {
    g_stopRequested = 1;
}

class StopSignals {
public:
    StopSignals() {
        for (const int signal : {SIGINT, SIGTERM, SIGBREAK}) {
            std::signal(signal, RequestStop);
        }
    }
    void Wait() const {
        while (g_stopRequested == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
};
#else
class StopSignals {
public:
    // Blocked before the server thread starts, which inherits the mask: only Wait takes them.
    StopSignals() {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    }
    void Wait() const {
        int received = 0;
        sigwait(&m_signals, &received);
    }

private:
    sigset_t m_signals{};
};
#endif

std::string DefaultFirmwareFolder() {
    if (const char* folder = std::getenv("GWU_FIRMWARE_DIR"); folder != nullptr && *folder != 0) {
        return folder;
    }
    return gwu::os::JoinPath(gwu::os::SampleFolder(), "firmware");
}

int Run(int argc, char** argv) {
    CLI::App app{"Serves an emulated gateway over TCP.", "gwemu"};
    std::string scenarioPath;
    std::string listen = "127.0.0.1:0";
    std::string firmware = DefaultFirmwareFolder();
    std::string recordPath;
    std::string upstream;
    std::string replayPath;
    bool replayTiming = false;
    // One of them is required unless --version is asked for, which ends the parse first.
    auto* scenarioOption = app.add_option("--scenario", scenarioPath, "Scenario file (JSON)");
    auto* recordOption =
        app.add_option("--record", recordPath,
                       "Record a session with the --upstream gateway into this trace file");
    app.add_option("--upstream", upstream, "The gateway a recording talks to, tcp://HOST:PORT")
        ->needs(recordOption);
    recordOption->needs("--upstream");
    auto* replayOption =
        app.add_option("--replay", replayPath, "Replay the session recorded in this trace file");
    app.add_flag("--replay-timing", replayTiming, "Answer after the recorded delays")
        ->needs(replayOption);
    std::string scenarioFromPath;
    auto* scenarioFromOption = app.add_option(
        "--scenario-from", scenarioFromPath,
        "Print a scenario that answers the reading requests of this trace file, and exit");
    scenarioOption->excludes(recordOption)->excludes(replayOption)->excludes(scenarioFromOption);
    recordOption->excludes(replayOption)->excludes(scenarioFromOption);
    replayOption->excludes(scenarioFromOption);
    app.add_option("--listen", listen, "Address to listen on, HOST:PORT (port 0: any free port)")
        ->capture_default_str();
    // The default in words: the help (and the manual page made from it) names no folder of the
    // machine it ran on.
    app.add_option("--firmware", firmware,
                   "Firmware folder the devices load their releases from (default: "
                   "GWU_FIRMWARE_DIR, else the sample firmware folder)");
    bool logFaults = false;
    app.add_flag("--log-faults", logFaults, "Print a line for every faulted request")
        ->needs(scenarioOption);
    app.set_version_flag(
        "--version", std::string("gwemu ") + GWU_VERSION + ", gatewayutils library " + GWU_VERSION);
    try {
        app.parse(argc, argv);
        if (scenarioOption->count() + recordOption->count() + replayOption->count() +
                scenarioFromOption->count() !=
            1) {
            throw CLI::RequiredError("one of --scenario, --record, --replay and --scenario-from");
        }
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);  // prints the help or the usage error
        return status == 0 ? 0 : kExitBadInput;
    }

    if (!scenarioFromPath.empty()) {
        try {
            std::cout << gwu::emu::ScenarioFromTrace(gwu::emu::LoadTraceFile(scenarioFromPath));
        } catch (const gwu::emu::TraceError& e) {
            std::cerr << "gwemu: " << e.what() << "\n";
            return kExitBadInput;
        }
        return 0;
    }

    const std::optional<gwu::wire::HostPort> address = gwu::wire::ParseHostPort(listen);
    if (!address) {
        std::cerr << "gwemu: --listen: expected HOST:PORT, got \"" << listen << "\"\n";
        return kExitBadInput;
    }

    std::unique_ptr<gwu::emu::Gateway> gateway;
    std::unique_ptr<gwu::emu::DeviceBackend> backend;
    gwu::emu::RecordingProxy* recorder = nullptr;
    if (!recordPath.empty()) {
        gwu::wire::AddressSyntax upstreamSyntax;
        upstreamSyntax.scheme = "tcp://";
        upstreamSyntax.schemeRequired = true;
        upstreamSyntax.lowestPort = 1;
        const std::optional<gwu::wire::HostPort> upstreamAddress =
            gwu::wire::ParseHostPort(upstream, upstreamSyntax);
        if (!upstreamAddress) {
            std::cerr << "gwemu: --upstream: expected tcp://HOST:PORT, got \"" << upstream
                      << "\"\n";
            return kExitBadInput;
        }
        gwu::emu::TraceHeader header;
        header.tool = std::string("gwemu ") + GWU_VERSION;
        header.upstream = upstream;
        header.recorded = gwu::emu::TraceTimestamp(std::chrono::system_clock::now());
        std::unique_ptr<gwu::emu::TraceWriter> writer;
        try {
            writer = std::make_unique<gwu::emu::TraceWriter>(recordPath, header);
        } catch (const gwu::emu::TraceError& e) {
            std::cerr << "gwemu: --record: " << e.what() << "\n";
            return kExitBadInput;
        }
        auto proxy = std::make_unique<gwu::emu::RecordingProxy>(
            upstreamAddress->host, upstreamAddress->port, std::move(writer),
            [](const std::string& line) {
                std::fprintf(stderr, "gwemu record: %s\n", line.c_str());
            });
        recorder = proxy.get();
        backend = std::move(proxy);
    } else if (!replayPath.empty()) {
        try {
            backend = std::make_unique<gwu::emu::ReplayBackend>(
                gwu::emu::LoadTraceFile(replayPath), replayTiming, [](const std::string& line) {
                    std::fprintf(stderr, "gwemu replay: %s\n", line.c_str());
                });
        } catch (const gwu::emu::TraceError& e) {
            std::cerr << "gwemu: " << e.what() << "\n";
            return kExitBadInput;
        }
    } else {
        try {
            gateway = gwu::emu::Gateway::FromScenarioFile(scenarioPath, firmware);
        } catch (const gwu::emu::ScenarioError& e) {
            std::cerr << "gwemu: " << e.what() << "\n";
            return kExitBadInput;
        }
        if (logFaults) {
            // Flushed at once: a client that has its answer finds the line already written.
            gateway->SetFaultObserver([](const gwu::emu::FaultRule& fault,
                                         const gwu::emu::Request& request, bool communication) {
                std::printf("gwemu fault: %s %s 0x%08X\n", gwu::emu::FaultKindName(fault.kind),
                            communication ? gwu::wire::kCommunicationCard : "other",
                            static_cast<unsigned>(request.type));
                std::fflush(stdout);
            });
        }
        backend = std::make_unique<gwu::emu::GatewayBackend>(*gateway);
    }

    const StopSignals stopSignals;

    std::unique_ptr<gwu::emu::TcpServer> server;
    try {
        server = std::make_unique<gwu::emu::TcpServer>(*backend, address->host, address->port);
    } catch (const std::system_error& e) {
        std::cerr << "gwemu: " << e.what() << "\n";
        return e.code() == std::errc::invalid_argument ? kExitBadInput : kExitFailure;
    }
    if (!gwu::wire::IsLoopbackHost(server->Host())) {
        std::cerr << gwu::wire::NotLoopbackWarning("gwemu", "listening", server->Host(),
                                                   "can drive the emulated gateway")
                  << std::endl;
    }
    std::cout << "gwemu listening on " << server->Host() << ":" << server->Port() << std::endl;

    stopSignals.Wait();
    server->Stop();
    if (recorder != nullptr && recorder->WriteFailed()) {
        std::cerr << "gwemu: the trace " << recordPath << " is incomplete: a write failed\n";
        return kExitFailure;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "gwemu: " << e.what() << "\n";
        return kExitFailure;
    }
}
