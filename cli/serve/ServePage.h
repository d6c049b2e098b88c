// The page of gwctl serve: plain HTML, CSS and JavaScript in one document, nothing fetched from
// elsewhere. They are written as the files page.html, page.css and page.js beside this one,
// which the build embeds as they are.
#pragma once

#include <string>

namespace gwu::cli {

// The page with the run's token, which every request that changes something must carry, and
// the nonce that lets its own script and style run. Both are hex digits.
std::string ServePage(const std::string& token, const std::string& nonce);

}  // namespace gwu::cli
