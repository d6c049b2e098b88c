#include "fleet/FleetPage.h"

#include <string>

#include "FleetPageFiles.h"
#include "fleet/Collector.h"

namespace gwu::fleet {

namespace {

// Only the page's own files run and load; it reads the API of its own origin and is never framed.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct PageFile {
    const char* path;
    const char* contentType;
    const char* body;  // nothing: no such file, answered 204 (the browser's icon)
};

constexpr PageFile kFiles[] = {
    {"/", "text/html; charset=utf-8", embedded::kFleetHtml},
    {"/fleet.js", "text/javascript; charset=utf-8", embedded::kFleetJs},
    {"/fleet.css", "text/css; charset=utf-8", embedded::kFleetCss},
    {"/favicon.ico", "", nullptr},
};

}  // namespace

std::optional<http::Response> PageResponse(const http::Request& request) {
    const std::string path = request.Path();
    for (const PageFile& file : kFiles) {
        if (path != file.path) {
            continue;
        }
        if (request.method != "GET") {
            http::Response refused = Collector::Error(405, path + " takes GET only");
            refused.headers.emplace_back("Allow", "GET");
            return refused;
        }
        http::Response response;
        response.status = file.body == nullptr ? 204 : 200;
        response.contentType = file.contentType;
        response.body = file.body == nullptr ? "" : file.body;
        response.headers = {{"Content-Security-Policy", kPolicy},
                            {"X-Content-Type-Options", "nosniff"},
                            {"Referrer-Policy", "no-referrer"},
                            {"Cache-Control", "no-store"}};
        return response;
    }
    return std::nullopt;
}

}  // namespace gwu::fleet
