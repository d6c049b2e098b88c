#include "testsupport/TestFolders.h"

#include <cstdlib>
#include <fstream>
#include <system_error>
#include <sstream>
#include <stdexcept>

#include "host/LineSinks.h"
#include "host/ReleaseFileNames.h"
#include "process/ProcessUtils.h"

namespace gwu::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    m_path = host::MakeTempFolder("gwutest-");
    if (m_path.empty()) {
        throw std::runtime_error("cannot create a temporary folder");
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_old = old;
    }
    host::SetEnvVar(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (m_old) {
        host::SetEnvVar(m_name, *m_old);
    } else {
        host::UnsetEnvVar(m_name);
    }
}

Diagnostics::Diagnostics() {
    host::SetMonitorSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_monitor.push_back(line);
    });
    host::SetErrorSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_errors.push_back(line);
    });
}

Diagnostics::~Diagnostics() {
    host::SetMonitorSink({});
    host::SetErrorSink({});
}

std::vector<std::string> Diagnostics::Monitor() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_monitor;
}

std::vector<std::string> Diagnostics::Errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
}

Lines Diagnostics::MonitorSince(std::size_t from, const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Lines found;
    for (std::size_t i = from; i < m_monitor.size(); ++i) {
        if (m_monitor[i].find(text) != std::string::npos) {
            found.push_back(m_monitor[i]);
        }
    }
    return found;
}

TestFolders::TestFolders() {
    for (const fs::path& folder : {Firmware(), Runtime(), Logs()}) {
        fs::create_directories(folder);
    }
}

void TestFolders::WriteRelease(const std::string& fileName, const std::string& releaseId) const {
    if (!host::WriteReleaseFile((Firmware() / fileName).string(), releaseId)) {
        throw std::runtime_error("cannot write the release file " + fileName);
    }
}

void TestFolders::CopySampleFirmware(bool signedSet) const {
    for (const auto& entry : fs::directory_iterator(SampleDir() / "firmware")) {
        const std::string name = entry.path().filename().string();
        if (name[0] == '.' || (!signedSet && name.rfind("RELEASES.json", 0) == 0)) {
            continue;
        }
        fs::copy_file(entry.path(), Firmware() / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    }
}

void TestFolders::FreshFirmware(bool signedSet) const {
    fs::remove_all(Firmware());
    fs::create_directories(Firmware());
    CopySampleFirmware(signedSet);
}

std::string TestFolders::ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::map<std::string, std::string> TestFolders::ReadFiles(const fs::path& folder) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        files[it->path().filename().string()] = ReadFile(it->path());
    }
    return files;
}

void TestFolders::WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

fs::path SampleDir() {
    return fs::path(GWU_SAMPLE_DIR);
}

std::string SampleScenarioPath(const std::string& name) {
    return (SampleDir() / "scenarios" / (name + ".json")).string();
}

}  // namespace gwu::test
