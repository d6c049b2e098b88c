// Drives the installed library through its public headers with a connection of its own.
#include <gatewayutils/gateway/CGatewayChecks.h>
#include <gatewayutils/host/MemoryValueStore.h>
#include <gatewayutils/platform/Comms.h>

#include <iostream>

namespace {

// A connection to a device that is not there.
class AbsentDevice : public CBaseComms {
public:
    bool Disconnect() override { return true; }
    bool SelectCard(const char*) override { return true; }
    int ExecuteSubCommand(CSubStream&, int, int) override { throw CBaseCommsException(1); }
    bool Connect() override { return false; }
};

}  // namespace

int main() {
    gwu::host::Frame frame;
    AbsentDevice comms;
    CGatewayChecks checks(&frame, &comms);
    checks.SetCardName("VCL");
    const CCodeDiffResults results = checks.CheckForUpdates(true);
    CString release;
    frame.GetValueStore().GetValue("HLX_Release", &release, 512);
    std::cout << release << " " << results.ToString() << "\n";
    return release == "NotConnected" && !results.DifferencesFound() ? 0 : 1;
}
