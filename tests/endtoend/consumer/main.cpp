// A host built against the installed package: the library over a connection of its own to a
// device that is not there, then over the installed in-process emulator on an installed sample
// scenario. Arguments: the installed sample folder and an empty scratch folder.
#include <gatewayutils/connections/OpenDevice.h>
#include <gatewayutils/gateway/CGatewayChecks.h>
#include <gatewayutils/host/Folders.h>
#include <gatewayutils/host/MemoryValueStore.h>
#include <gatewayutils/host/ProcessUtils.h>
#include <gatewayutils/platform/Comms.h>

#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

namespace {

// A connection to a device that is not there.
class AbsentDevice : public CBaseComms {
public:
    bool Disconnect() override { return true; }
    bool SelectCard(const char*) override { return true; }
    int ExecuteSubCommand(CSubStream&, int, int) override { throw CBaseCommsException(1); }
    bool Connect() override { return false; }
};

// The check a host runs: the verdicts and the loaded-code release the device reported.
CString Check(CBaseComms& comms) {
    gwu::host::Frame frame;
    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("VCL");
    const CString results = checks.CheckForUpdates(true).ToString();
    CString release;
    frame.GetValueStore().GetValue("HLX_Release", &release, 512);
    std::cout << release << " " << results << "\n";
    return release + " " + results;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const fs::path samples = argv[1];
    const fs::path scratch = argv[2];
    // An update places files in the firmware folder: the host works on a copy.
    fs::copy(samples / "firmware", scratch / "firmware", fs::copy_options::recursive);
    gwu::host::SetEnvVar(gwu::host::kFirmwareDirVariable, (scratch / "firmware").string());
    gwu::host::SetEnvVar(gwu::host::kRuntimeDirVariable, (samples / "runtime").string());
    gwu::host::SetEnvVar(gwu::host::kLogDirVariable, scratch.string());

    AbsentDevice absent;
    std::string description;
    std::string error;
    const auto emulated =
        gwu::host::OpenDevice("emu:" + (samples / "scenarios" / "behind.json").string(),
                              (scratch / "firmware").string(), description, error);
    if (!emulated) {
        std::cout << error << "\n";
        return 1;
    }
    // The sample scenario's PROM and bootstrap are behind the sample release.
    const bool absentRead = Check(absent) == "NotConnected " + CCodeDiffResults().ToString();
    const bool emulatedRead =
        Check(*emulated) == "R4.2.1 LC:Same, PROM:Older, BS:Older, CPLD:Same, MAC:Same,";
    return absentRead && emulatedRead ? 0 : 1;
}
