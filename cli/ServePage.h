// The page of gwctl serve: plain HTML, CSS and JavaScript in one document, nothing fetched from
// elsewhere, no build step.
#pragma once

#include <string>

namespace gwu::cli {

// The page with the run's token, which every request that changes something must carry, and
// the nonce that lets its own script and style run. Both are hex digits.
std::string ServePage(const std::string& token, const std::string& nonce);

}  // namespace gwu::cli
