// The host's check of the files a device loads, which the library asks before it sends an
// update or a cable request. Optional: a host installs one (CGatewayChecks::SetFileVerifier),
// and the library stays free of any cryptography: the check is the host's callable.
#pragma once

#include <functional>
#include <vector>

#include "gatewayutils/platform/Types.h"

// A file of the firmware release folder that the device loads, by plain name, and the file
// whose published bytes it must hold: its own name, or for a device-load file the release it is
// a copy of ("HLX_LC.bin" must hold the bytes of "HLX_LC.rel").
struct GatewayLoadFile {
    CString name;
    CString listedAs;
};

// Called with the firmware release folder and the files the device may load from it; a file
// that is not there is skipped (the device loads nothing from it). Returns an empty text when
// every file may go to the device, else why not, naming the file: the library then sends
// nothing and the update fails with that reason. Called on the thread of the operation (the
// update worker for an update); it may throw, which counts as a refusal.
using GatewayFileVerifier =
    std::function<CString(const CString& folder, const std::vector<GatewayLoadFile>& files)>;
