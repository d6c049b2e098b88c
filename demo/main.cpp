// gwdemo: drives the library the way a host does, against a small scripted communication
// module and a working copy of the sample firmware folder. It checks the device, updates the
// first code type that differs, lets the device load the moved release on reset, and checks
// again until the device matches the disk release. Then it prints the serial-number list.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

#include "Diagnostics.h"
#include "FirmwareFiles.h"
#include "Folders.h"
#include "ScriptedComms.h"
#include "ValueStore.h"
#include "gateway/CGatewayChecks.h"
#include "platform/Comms.h"

namespace fs = std::filesystem;
using gwu::test::RecordedRequest;
using gwu::test::Reply;

namespace {

// A communication module as the demo scripts it: its releases, and a reset that loads every
// code type whose device-load file is in the firmware folder.
class DemoDevice {
public:
    explicit DemoDevice(fs::path firmware) : m_firmware(std::move(firmware)) {
        m_releases = {{0x20000000, "KLEM_12345_R4.2.1"},
                      {0x10000000, "KLEM_PROM_R2.0.1"},
                      {0x01000000, "KLEM_BOOT_R1.3.9"},
                      {0x00000200, "KLEM_MAC_R3.1"},
                      {static_cast<int>(0x80000000u), "HX100234"}};
    }

    std::optional<Reply> Answer(const RecordedRequest& request) {
        if (request.kind == SubRequestKind::VsiReset) {
            LoadFromFolder();
            return Reply{};
        }
        if (request.requestType == 0x00000800) {
            return Reply::Error(1);  // a standard CPLD does not report a revision
        }
        if (request.requestType == 0x00400000) {
            return Reply{};
        }
        const auto found = m_releases.find(request.requestType);
        if (found != m_releases.end()) {
            return Reply::Text(found->second);
        }
        return std::nullopt;
    }

private:
    void LoadFromFolder() {
        const std::map<int, CODETYPE> codeTypes = {{0x20000000, LC_CODE},
                                                   {0x10000000, PROM_CODE},
                                                   {0x01000000, BS_CODE},
                                                   {0x00000200, MAC_CODE}};
        for (const auto& [request, codeType] : codeTypes) {
            const std::string name =
                gwu::host::ReleaseFileName(gwu::host::Family::Communication, codeType, false);
            if (auto id = gwu::host::ReadReleaseId((m_firmware / name).string())) {
                m_releases[request] = *id;
            }
        }
    }

    fs::path m_firmware;
    std::map<int, std::string> m_releases;
};

void PrintValues(gwu::host::ValueStore& store) {
    static const char* const kNames[] = {"HLX_SerialNum",
                                         "HLX_Release",
                                         "HLX_PROM_Release",
                                         "HLX_Bootstrap_Release",
                                         "HLX_CPLD_Release",
                                         "HLX_MAC_Firmware_Release",
                                         "HLX_Release_Untrimmed",
                                         "HLX_PROM_Release_Untrimmed",
                                         "HLX_Bootstrap_Release_Untrimmed",
                                         "HLX_CPLD_Release_Untrimmed",
                                         "HLX_MAC_Firmware_Release_Untrimmed"};
    for (const char* name : kNames) {
        CString value;
        store.GetValue(name, &value, CTabValueStore::kMaxLength);
        std::cout << "  " << name << " = " << value << "\n";
    }
}

}  // namespace

int main() {
    // Work on a copy: an update really moves release files.
    const fs::path work =
        fs::temp_directory_path() / ("gwdemo-" + std::to_string(static_cast<long>(getpid())));
    fs::remove_all(work);
    fs::create_directories(work / "logs");
    fs::copy(fs::path(GWU_SAMPLE_DIR) / "firmware", work / "firmware");
    setenv(gwu::host::kFirmwareDirVariable, (work / "firmware").c_str(), 1);
    setenv(gwu::host::kLogDirVariable, (work / "logs").c_str(), 1);
    gwu::host::SetMonitorSink([](const std::string& line) { std::cout << "  | " << line << "\n"; });

    gwu::host::Frame frame;
    gwu::test::ScriptedComms comms;
    DemoDevice device(work / "firmware");
    comms.SetResponder(
        [&device](const RecordedRequest& request) { return device.Answer(request); });

    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("VCL");
    std::cout << "Firmware folder: " << (work / "firmware").string() << "\n";

    for (int round = 1; round <= 6; ++round) {
        std::cout << "\nCheck " << round << ":\n";
        const CCodeDiffResults results = checks.CheckForUpdates(true);
        PrintValues(frame.Store());
        std::cout << "  verdict: " << results.ToString() << "\n";
        if (!results.DifferencesFound()) {
            std::cout << "\nThe device matches the disk release.\n";
            break;
        }
        std::cout << "  updating...\n";
        checks.PerformUpdate(results);
        checks.WaitForUpdate();
    }

    std::cout << "\nSerial-number list (" << (work / "logs" / "HLX_Serial_Nums.txt").string()
              << "):\n";
    std::ifstream list(work / "logs" / "HLX_Serial_Nums.txt");
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::cout << "  " << line << "\n";
    }
    return 0;
}
