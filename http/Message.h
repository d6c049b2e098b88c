// An HTTP request and response as the programs' handlers see them: plain values, with nothing of
// the library that reads and writes them on the wire.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace gwu::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

// The value of the first header of that name, compared without regard to case; empty when
// there is none.
std::string HeaderValue(const Headers& headers, const std::string& name);

struct Request {
    std::string method;  // as sent, e.g. "GET"
    std::string target;  // the path and query as sent, e.g. "/api/state"
    Headers headers;
    std::string body;

    std::string Header(const std::string& name) const { return HeaderValue(headers, name); }
    // The target without its query.
    std::string Path() const { return target.substr(0, target.find('?')); }
};

struct Response {
    int status = 200;
    std::string contentType;  // none when empty
    Headers headers;          // besides Content-Type and Content-Length
    std::string body;
    // An event stream (text/event-stream): the headers now, then every event the server
    // publishes until either side closes. The body is ignored.
    bool eventStream = false;
};

// The standard reason phrase of a status ("Not Found"); "Unknown" for one not listed.
const char* ReasonPhrase(int status);

}  // namespace gwu::http
