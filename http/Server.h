// The HTTP server of the programs (gwctl serve, the fleet's services), on every platform:
// HTTP/1.1 over TCP (or over TLS, on Linux), every request read within fixed bounds (the size of
// its headers and of its body, the time to read it in all), event streams that hold no thread,
// and a cap on connections and on streams. One thread does all the network work; handlers run on a
// small pool of their own, so that a slow handler never stops the others' reading and writing.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http/Message.h"

namespace gwu::http {

struct Limits {
    size_t headerBytes = 8192;  // the request line and every header together
    size_t bodyBytes = 4096;
    // The time a whole request may take to arrive, counted from its first byte or, on a kept
    // connection, from the end of the previous response; a client that stalls is cut off then.
    std::chrono::milliseconds requestTime{5000};
    // The time one write may take: a stream whose client reads nothing is cut off then.
    std::chrono::milliseconds writeTime{10000};
    size_t connections = 128;  // open at once; one more gets 503 and is closed
    size_t streams = 32;       // event streams open at once; one more gets 503
    // An event stream with nothing published for this long gets a comment line, so that a
    // client that has gone is noticed.
    std::chrono::milliseconds keepAlive{1000};
    size_t handlerThreads = 2;
};

// What a server that speaks TLS presents (Linux only): PEM files, the chain being the server's
// certificate followed by the certificates that lead to its CA.
struct TlsFiles {
    std::string certificateChain;
    std::string privateKey;
};

struct ServerOptions {
    Limits limits;
    // With these, every connection speaks TLS (1.2 at least): the handshake within the time a
    // request may take, counted with the first request. Event streams are refused there (501).
    std::optional<TlsFiles> tls;
    // The answer to every request that reaches a handler.
    std::function<Response(const Request&)> handler;
    // The answer the server gives itself (status, sentence): to a request above a limit, a
    // malformed one, one past the cap of streams or connections. By default the sentence as
    // text/plain.
    std::function<Response(int, const std::string&)> refusal;
    // Called on the network thread for each SIGINT or SIGTERM while the server runs, with the
    // signal's number and how many have come so far (1 for the first). Empty: the signals keep
    // their usual effect.
    std::function<void(int signal, int count)> onSignal;
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds host:port (port 0: a free one) and returns the port; 0 and the reason in error
    // when it cannot, or when the TLS files cannot be read or do not match.
    int Listen(const std::string& host, int port, std::string& error);
    // Serves on the calling thread until Stop.
    void Run();
    // Closes the listening socket and every connection and makes Run return; from any thread.
    void Stop();

    // Sends "data: TEXT" to every open event stream, and to each one opened later as its first
    // event, until the next call. A stream whose client is slow gets only the latest event.
    void Publish(const std::string& text);
    // How many event streams are open.
    size_t OpenStreams() const;

    class Impl;  // Beast.cpp's, as is everything of the network

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace gwu::http
