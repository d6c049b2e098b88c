// The fleet transport on Windows (FleetTransport.h): WinHTTP, whose https checks the server's
// certificate chain against the system's certificate store and its name against the host, as
// it does by default (nothing here relaxes that); and the token file read as it is, its access
// being the folder's permissions' business.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "cli/FleetTransport.h"

namespace gwu::cli {

namespace {

constexpr std::size_t kTokenFileBytes = std::size_t{64} * 1024;

using Clock = std::chrono::steady_clock;

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(count, 0)), L'\0');
    if (count > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], count);
    }
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(count, 0)), '\0');
    if (count > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &narrow[0], count, nullptr, nullptr);
    }
    return narrow;
}

// WSAETIMEDOUT, which a receive that ran out of time also reports (under Wine).
constexpr DWORD kSocketTimedOut = 10060;

// The last WinHTTP or system error in words.
std::string LastError() {
    const DWORD code = GetLastError();
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT:
        case kSocketTimedOut:
            return "timed out";
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "cannot connect";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "the host name cannot be resolved";
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
            return "the server's certificate is not trusted or does not name the host";
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:  // what Wine reports for the same
            return "the secure connection failed: the server's certificate is not trusted or "
                   "does not name the host, or the TLS handshake failed";
        default:
            break;
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string words = length > 0 ? Narrow(std::wstring(text, length)) : std::string();
    LocalFree(text);
    while (!words.empty() &&
           (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) {
        words.pop_back();
    }
    return words.empty() ? "WinHTTP error " + std::to_string(code) : words;
}

// A WinHTTP handle, closed when it goes.
class Handle {
public:
    explicit Handle(HINTERNET handle) : m_handle(handle) {}
    ~Handle() {
        if (m_handle != nullptr) {
            WinHttpCloseHandle(m_handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HINTERNET Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    HINTERNET m_handle;
};

// What is left of the time, for every WinHTTP step at once: resolving, connecting, sending,
// each receive, and the wait for the response's headers, which has a limit of its own that
// WinHttpSetTimeouts leaves alone (90 s on Windows, none under Wine); false when nothing is.
bool SetRemaining(HINTERNET handle, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        SetLastError(ERROR_WINHTTP_TIMEOUT);
        return false;
    }
    const int ms = static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
    DWORD headers = static_cast<DWORD>(ms);
    return WinHttpSetTimeouts(handle, ms, ms, ms, ms) != FALSE &&
           WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers,
                            sizeof headers) != FALSE;
}

// The response's status and headers, from its raw header block.
bool ReadHeaders(HINTERNET request, http::Response& response) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    response.status = static_cast<int>(status);
    size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                             &raw[0], &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    raw.resize(size / sizeof(wchar_t));
    const std::string block = Narrow(raw);
    // The status line first, then "Name: value" lines.
    for (std::size_t at = block.find("\r\n"); at != std::string::npos && at + 2 < block.size();) {
        const std::size_t end = block.find("\r\n", at + 2);
        const std::string line = block.substr(at + 2, end - at - 2);
        at = end;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            continue;
        }
        const std::string name = line.substr(0, colon);
        const std::size_t start = line.find_first_not_of(' ', colon + 1);
        const std::string value = start == std::string::npos ? "" : line.substr(start);
        if (_stricmp(name.c_str(), "Content-Type") == 0) {
            response.contentType = value;
        } else if (_stricmp(name.c_str(), "Content-Length") != 0) {
            response.headers.emplace_back(name, value);
        }
    }
    return true;
}

// The URL's parts (pointing into it), when it is one to send to.
bool CrackUrl(const std::wstring& url, const std::string& caFile, URL_COMPONENTS& parts,
              std::string& error) {
    if (!caFile.empty()) {
        error =
            "ca_file is for Linux only: on Windows the system's certificate store decides "
            "which authorities are trusted";
        return false;
    }
    parts = URL_COMPONENTS{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0 || parts.dwExtraInfoLength != 0) {
        error = "not an http:// or https:// URL without a query: " + Narrow(url);
        return false;
    }
    if (parts.nScheme == INTERNET_SCHEME_HTTP &&
        !IsLoopbackHost(Narrow(std::wstring(parts.lpszHostName, parts.dwHostNameLength)))) {
        error = kPlainHttpRefusal + Narrow(url);
        return false;
    }
    return true;
}

}  // namespace

bool CheckFleetUrl(const std::string& url, const std::string& caFile, std::string& error) {
    URL_COMPONENTS parts{};
    return CrackUrl(Wide(url), caFile, parts, error);
}

std::optional<http::Response> SendToFleet(const std::string& url, const http::Request& request,
                                          const std::string& caFile,
                                          std::chrono::milliseconds timeout, std::string& error,
                                          std::size_t bodyBytes) {
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::wstring wideUrl = Wide(url);
    URL_COMPONENTS parts{};
    if (!CrackUrl(wideUrl, caFile, parts, error)) {
        return std::nullopt;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    while (!path.empty() && path.back() == L'/') {
        path.pop_back();
    }
    path += Wide(request.target);

    const Handle session(WinHttpOpen(L"gwctl", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session || !SetRemaining(session.Get(), deadline)) {
        error = LastError();
        return std::nullopt;
    }
    const Handle connection(WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
    const Handle exchange(
        connection
            ? WinHttpOpenRequest(connection.Get(), Wide(request.method).c_str(), path.c_str(),
                                 nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
            : nullptr);
    if (!exchange) {
        error = LastError();
        return std::nullopt;
    }
    std::wstring headers;
    for (const auto& [name, value] : request.headers) {
        headers += Wide(name) + L": " + Wide(value) + L"\r\n";
    }
    const DWORD bodySize = static_cast<DWORD>(request.body.size());
    if (!SetRemaining(exchange.Get(), deadline) ||
        !WinHttpSendRequest(exchange.Get(),
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1),
                            const_cast<char*>(request.body.data()), bodySize, bodySize, 0) ||
        !SetRemaining(exchange.Get(), deadline) ||
        !WinHttpReceiveResponse(exchange.Get(), nullptr)) {
        error = LastError();
        return std::nullopt;
    }
    http::Response response;
    if (!ReadHeaders(exchange.Get(), response)) {
        error = "malformed response: " + LastError();
        return std::nullopt;
    }
    std::vector<char> piece(std::size_t{64} * 1024);
    for (;;) {
        DWORD got = 0;
        if (!SetRemaining(exchange.Get(), deadline) ||
            !WinHttpReadData(exchange.Get(), piece.data(), static_cast<DWORD>(piece.size()),
                             &got)) {
            error = LastError();
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        if (response.body.size() + got > bodyBytes) {
            error = "the response is longer than " + std::to_string(bodyBytes) + " bytes";
            return std::nullopt;
        }
        response.body.append(piece.data(), got);
    }
    return response;
}

std::optional<std::string> ReadTokenFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::string content(kTokenFileBytes + 1, '\0');
    if (in) {
        in.read(&content[0], static_cast<std::streamsize>(content.size()));
    }
    if (!in && !in.eof()) {
        error = "the token file " + path + " cannot be read";
        return std::nullopt;
    }
    content.resize(static_cast<std::size_t>(in.gcount()));
    if (content.size() > kTokenFileBytes) {
        error = "the token file " + path + " is too long to hold a token";
        return std::nullopt;
    }
    return content;
}

}  // namespace gwu::cli
