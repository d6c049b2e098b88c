// gwfleet serve as a program for the fleet tests, on loopback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/TestCertificates.h"
#include "testsupport/TestFolders.h"
#include "testsupport/TestProcesses.h"

namespace gwu::test {

extern const char* const kGwfleetProgram;  // where this build made them (tests/CMakeLists.txt)
extern const char* const kGwctlProgram;

constexpr int kWaitMs = 60000;

inline void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// gwfleet serve on 127.0.0.1 and the port (0: any free one), over TLS with the certificate given.
class Collector {
public:
    Collector(const std::string& uri, const std::filesystem::path& stem, int port = 0,
              const CertificateFiles* tls = nullptr) {
        std::vector<std::string> arguments = {
            kGwfleetProgram, "serve", "--db", uri, "--listen", "127.0.0.1:" + std::to_string(port)};
        if (tls != nullptr) {
            arguments.insert(arguments.end(),
                             {"--tls-cert", tls->certificate, "--tls-key", tls->key});
        }
        m_process = std::make_unique<Child>(arguments, stem.string());
        std::smatch found;
        std::string out;
        for (int i = 0; i < 1500 && !std::regex_search(out, found, std::regex(R"(:(\d+)/\n)"));
             ++i) {
            Pause();
            out = TestFolders::ReadFile(stem.string() + ".out");
        }
        m_port = found.empty() ? 0 : std::stoi(found[1]);
        EXPECT_NE(m_port, 0) << out << TestFolders::ReadFile(stem.string() + ".err");
    }
    int Port() const { return m_port; }
    std::string Url(const std::string& scheme = "http",
                    const std::string& host = "127.0.0.1") const {
        return scheme + "://" + host + ":" + std::to_string(m_port);
    }
    void Kill() {
        m_process->Kill();
        m_process->Wait(kWaitMs);
    }

private:
    std::unique_ptr<Child> m_process;
    int m_port = 0;
};

}  // namespace gwu::test
