// gwctl release: a publisher signs a firmware release folder, anyone verifies one.
//   gwctl release sign --key KEY.pem [--sequence N] FOLDER
//   gwctl release verify [--trust DIR] [--json] FOLDER
#pragma once

#include <string>

namespace gwu::cli {

// Runs "gwctl release ..." (argv[1] is "release"); returns the exit code.
int RunRelease(int argc, char** argv);

}  // namespace gwu::cli
