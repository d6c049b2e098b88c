// Process-wide helpers of the stand-in host's tools and tests that the standard library lacks:
// setting environment variables (the stand-in reads its folders from them), the computer's name
// and making a fresh temporary folder.
#pragma once

#include <string>

namespace gwu::host {

// Sets (or replaces) an environment variable of this process.
void SetEnvVar(const std::string& name, const std::string& value);
// Removes an environment variable of this process; nothing when it is not set.
void UnsetEnvVar(const std::string& name);

// This computer's name (the host name; on Windows COMPUTERNAME); empty when it is unknown.
std::string HostName();

// Creates a new, empty folder named prefix + a unique suffix in the system's temporary folder
// and returns its path; empty when none could be created.
std::string MakeTempFolder(const std::string& prefix);

}  // namespace gwu::host
