// The fleet page of gwfleet serve: a read-only view of the fleet for its admins, in plain HTML,
// CSS and JavaScript (fleet/page/, embedded by the build), served without a token. The page asks
// for an admin's token and reads the API's GET endpoints with it; nothing in the page itself is
// secret.
#pragma once

#include <optional>

#include "http/Message.h"

namespace gwu::fleet {

// The page's answer to a request of one of its paths (GET /, /fleet.js, /fleet.css,
// /favicon.ico; another method: 405); nothing for any other path.
std::optional<http::Response> PageResponse(const http::Request& request);

}  // namespace gwu::fleet
