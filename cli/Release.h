// gwctl release: a publisher signs a firmware release folder, anyone verifies one.
//   gwctl release sign --key KEY.pem [--sequence N] FOLDER
//   gwctl release verify [--trust DIR] [--json] FOLDER
#pragma once

#include <string>

namespace gwu::cli {

// The trust folder: the option, else GWU_TRUST_DIR, else the samples' keys/ (share/gatewayutils
// of the install, which ships it empty, or the repository's samples/ from the build tree).
constexpr const char* kTrustDirVariable = "GWU_TRUST_DIR";
std::string TrustFolder(const std::string& option);

// Runs "gwctl release ..." (argv[1] is "release"); returns the exit code.
int RunRelease(int argc, char** argv);

}  // namespace gwu::cli
