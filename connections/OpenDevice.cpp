#include "connections/OpenDevice.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "connections/BackendTransport.h"
#include "connections/EmulatorConnection.h"
#include "connections/FrameConnection.h"
#include "connections/TcpConnection.h"
#include "emulator/model/Gateway.h"
#include "emulator/serving/Replay.h"
#include "emulator/trace/Trace.h"

namespace gwu::host {

namespace {

// The in-process connection together with the emulated gateway it talks to.
class EmulatedDevice : public CBaseComms {
public:
    explicit EmulatedDevice(std::unique_ptr<emu::Gateway> gateway)
        : m_gateway(std::move(gateway)), m_connection(*m_gateway) {}

    bool Disconnect() override { return m_connection.Disconnect(); }
    bool SelectCard(const char* name) override { return m_connection.SelectCard(name); }
    int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) override {
        return m_connection.ExecuteSubCommand(subStream, timeoutMs, reserved);
    }
    bool Connect() override { return m_connection.Connect(); }

private:
    std::unique_ptr<emu::Gateway> m_gateway;  // outlives the connection, which borrows it
    EmulatorConnection m_connection;
};

}  // namespace

std::unique_ptr<CBaseComms> OpenDevice(const std::string& device, const std::string& firmwareFolder,
                                       std::string& description, std::string& error) {
    if (device.rfind("tcp://", 0) == 0) {
        std::string host;
        int port = 0;
        if (!TcpConnection::ParseAddress(device, host, port)) {
            error = "bad device address '" + device + "' (expected tcp://HOST:PORT)";
            return nullptr;
        }
        description = device;
        return std::make_unique<TcpConnection>(host, port);
    }
    if (device.rfind("replay:", 0) == 0) {
        const std::string path = device.substr(7);
        std::unique_ptr<emu::ReplayBackend> replay;
        try {
            replay = std::make_unique<emu::ReplayBackend>(
                emu::LoadTraceFile(path), false, [](const std::string& line) {
                    std::fprintf(stderr, "replay: %s\n", line.c_str());
                });
        } catch (const std::exception& e) {
            error = e.what();
            return nullptr;
        }
        description = "replay of the session recorded in " + path;
        return std::make_unique<FrameConnection>(
            std::make_unique<BackendTransport>(std::move(replay)));
    }
    if (device.rfind("emu:", 0) != 0) {
        error = "bad device '" + device + "' (expected emu:FILE, tcp://HOST:PORT or replay:TRACE)";
        return nullptr;
    }
    const std::string scenario = device.substr(4);
    std::unique_ptr<emu::Gateway> gateway;
    try {
        gateway = emu::Gateway::FromScenarioFile(scenario, firmwareFolder);
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    description = "emulated gateway, scenario " + scenario;
    return std::make_unique<EmulatedDevice>(std::move(gateway));
}

}  // namespace gwu::host
