// The fleet transport on POSIX systems (FleetTransport.h): http:// over the programs' HTTP
// client, and the token file's ownership and mode checked on the open file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/FleetTransport.h"
#include "http/Client.h"

namespace gwu::cli {

namespace {

constexpr std::size_t kTokenFileBytes = std::size_t{64} * 1024;

// Closes the descriptor when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct Endpoint {
    std::string scheme;  // "http://" or "https://"
    std::string authority;
    std::string host;
    int port = 80;
    std::string prefix;  // the URL's path, without a trailing '/'
};

// "http://HOST[:PORT][/PREFIX]" or "https://...", HOST possibly an IPv6 address in brackets;
// plain http only to this machine.
std::optional<Endpoint> ParseFleetUrl(const std::string& url, std::string& error) {
    Endpoint endpoint;
    endpoint.scheme = url.rfind("https://", 0) == 0 ? "https://" : "http://";
    const std::string& scheme = endpoint.scheme;
    const std::string defaultPort = scheme == "https://" ? "443" : "80";
    if (url.rfind(scheme, 0) != 0) {
        error = "not an http:// or https:// URL: " + url;
        return std::nullopt;
    }
    const std::size_t slash = url.find_first_of("/?#", scheme.size());
    const std::string authority = url.substr(scheme.size(), slash - scheme.size());
    endpoint.authority = authority;
    endpoint.prefix = slash == std::string::npos ? std::string() : url.substr(slash);
    while (!endpoint.prefix.empty() && endpoint.prefix.back() == '/') {
        endpoint.prefix.pop_back();
    }
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos ||
            (close + 1 < authority.size() && authority[close + 1] != ':')) {
            error = "malformed host in URL: " + url;
            return std::nullopt;
        }
        endpoint.host = authority.substr(1, close - 1);
        port = close + 1 < authority.size() ? authority.substr(close + 2) : defaultPort;
    } else {
        const std::size_t colon = authority.find(':');
        endpoint.host = authority.substr(0, colon);
        port = colon == std::string::npos ? defaultPort : authority.substr(colon + 1);
    }
    const bool portOk = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos &&
                        std::stoi(port) > 0 && std::stoi(port) <= 65535;
    if (endpoint.host.empty() || authority.find('@') != std::string::npos || !portOk) {
        error = "malformed host or port in URL: " + url;
        return std::nullopt;
    }
    endpoint.port = std::stoi(port);
    if (endpoint.prefix.find_first_of("?#") != std::string::npos) {
        error = "a fleet URL has no query: " + url;
        return std::nullopt;
    }
    if (scheme == "http://" && !IsLoopbackHost(endpoint.host)) {
        error = kPlainHttpRefusal + url;
        return std::nullopt;
    }
    return endpoint;
}

}  // namespace

std::optional<http::Response> SendToFleet(const std::string& url, const http::Request& request,
                                          const std::string& caFile,
                                          std::chrono::milliseconds timeout, std::string& error,
                                          std::size_t bodyBytes) {
    const std::optional<Endpoint> endpoint = ParseFleetUrl(url, error);
    if (!endpoint) {
        return std::nullopt;
    }
    http::ClientOptions options;
    options.timeout = timeout;
    options.bodyBytes = bodyBytes;
    options.caFile = caFile;
    std::optional<http::Response> response =
        http::FetchUrl(endpoint->scheme + endpoint->authority + endpoint->prefix + request.target,
                       request, error, options);
    // The client's own limit is not relied on alone: a body a few bytes over it was seen to pass.
    if (response && response->body.size() > bodyBytes) {
        error = "the response is longer than " + std::to_string(bodyBytes) + " bytes";
        return std::nullopt;
    }
    return response;
}

bool CheckFleetUrl(const std::string& url, const std::string& caFile, std::string& error) {
    if (!caFile.empty() && ::access(caFile.c_str(), R_OK) != 0) {
        error = "the CA file " + caFile + " cannot be read: " + std::strerror(errno);
        return false;
    }
    return ParseFleetUrl(url, error).has_value();
}

std::optional<std::string> ReadTokenFile(const std::string& path, std::string& error) {
    // Opened without waiting (a FIFO would block), then judged by what was opened.
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat status {};
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0) {
        error = "the token file " + path + " cannot be read: " + std::strerror(errno);
        return std::nullopt;
    }
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
        (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = "the token file " + path + " (mode " + mode +
                ") is refused: it must be a regular file of this user that no one else may read "
                "or write (chmod 600)";
        return std::nullopt;
    }
    std::string content(kTokenFileBytes + 1, '\0');
    std::size_t got = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(file.fd, &content[got], content.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = "the token file " + path + " cannot be read: " + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > kTokenFileBytes) {
        error = "the token file " + path + " is too long to hold a token";
        return std::nullopt;
    }
    content.resize(got);
    return content;
}

}  // namespace gwu::cli
