#include "process/EmulatorProcess.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

namespace gwu::host {

namespace {

constexpr const char* kListening = "gwemu listening on ";
constexpr int kPollMs = 10;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Arguments(const std::string& gwemu, const std::string& scenario,
                                   const std::string& firmwareFolder,
                                   const std::vector<std::string>& extraArguments) {
    std::vector<std::string> arguments{gwemu, "--scenario", scenario};
    if (!firmwareFolder.empty()) {
        arguments.insert(arguments.end(), {"--firmware", firmwareFolder});
    }
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    return arguments;
}

// The arguments with gwemu listening on any free port of the loopback address.
std::vector<std::string> OnLoopback(std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--listen", "127.0.0.1:0"});
    return arguments;
}

}  // namespace

EmulatorProcess::EmulatorProcess(const std::string& gwemu, const std::string& scenario,
                                 const std::string& firmwareFolder, const std::string& outputStem,
                                 int timeoutMs, const std::vector<std::string>& extraArguments)
    : EmulatorProcess(Arguments(gwemu, scenario, firmwareFolder, extraArguments), outputStem,
                      timeoutMs) {}

EmulatorProcess::EmulatorProcess(std::vector<std::string> arguments, const std::string& outputStem,
                                 int timeoutMs, const std::vector<std::string>& environment)
    : m_child(OnLoopback(std::move(arguments)), outputStem, environment) {
    if (!m_child.Started()) {
        m_error = m_child.StartError();
        return;
    }
    // gwemu prints its address as its first line once clients can connect.
    for (int waited = 0; waited < timeoutMs; waited += kPollMs) {
        const std::string out = ReadAll(outputStem + ".out");
        const auto end = out.find_first_of("\r\n");
        if (end != std::string::npos) {
            if (out.rfind(kListening, 0) == 0) {
                m_device = "tcp://" + out.substr(0, end).substr(std::string(kListening).size());
            } else {
                m_error = "gwemu printed: " + out.substr(0, end);
            }
            return;
        }
        const int status = m_child.Wait(kPollMs);
        if (status != -1) {
            m_stopped = true;
            m_status = status;
            m_error = "gwemu ended with status " + std::to_string(status) + ": " +
                      ReadAll(outputStem + ".err");
            return;
        }
    }
    m_error = "gwemu did not listen within " + std::to_string(timeoutMs) + " ms";
}

EmulatorProcess::~EmulatorProcess() {
    Stop();
}

int EmulatorProcess::Stop(int timeoutMs) {
    return End(timeoutMs, false);
}

int EmulatorProcess::Kill(int timeoutMs) {
    return End(timeoutMs, true);
}

int EmulatorProcess::End(int timeoutMs, bool kill) {
    if (!m_stopped && m_child.Started()) {
        if (kill) {
            m_child.Kill();
        } else {
            m_child.Stop();
        }
        m_status = m_child.Wait(timeoutMs);
        m_stopped = m_status != -1;
    }
    return m_status;
}

}  // namespace gwu::host
