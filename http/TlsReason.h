// The words for a TLS failure, shared by the server (Beast.cpp) and the client (BeastClient.cpp)
// on Linux, where OpenSSL is built in.
#pragma once

#ifdef GWU_HTTP_TLS
#include <openssl/err.h>

#include <boost/asio/ssl/error.hpp>
#include <cstring>
#include <string>

namespace gwu::http::detail {

// OpenSSL's reason for the failure; for a file it could not open, the system's (OpenSSL has
// none of its own for those).
inline std::string TlsReason(const boost::system::error_code& ec) {
    const unsigned long code = static_cast<unsigned int>(ec.value());
    if (ec.category() == boost::asio::error::get_ssl_category() && ERR_SYSTEM_ERROR(code)) {
        return std::strerror(ERR_GET_REASON(code));
    }
    return ec.message();
}

}  // namespace gwu::http::detail
#endif
