// The programs' HTTP over TLS with certificates the openssl command makes: https answered only
// when the chain leads to a CA the client trusts and the certificate names the host, refused in
// words otherwise; a client that never handshakes cut off; bad TLS files refused by Listen.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "http/Client.h"
#include "http/Server.h"
#include "testsupport/LoopbackClient.h"
#include "testsupport/TestCertificates.h"
#include "testsupport/TestFolders.h"

namespace {

using namespace gwu;

class HttpsTest : public ::testing::Test {
protected:
    // A server on 127.0.0.1 (over TLS with the files), run on a thread of its own: ":PORT".
    std::string Serve(std::optional<http::TlsFiles> tls) {
        http::ServerOptions options;
        options.tls = std::move(tls);
        options.limits.requestTime = std::chrono::milliseconds(1000);
        options.limits.writeTime = std::chrono::milliseconds(300);
        options.handler = [](const http::Request& request) {
            http::Response response;
            response.eventStream = request.target == "/events";
            response.body = request.target == "/large"
                                ? std::string(kLarge, 'x')
                                : request.Header("Host") + " " + request.target;
            return response;
        };
        m_servers.push_back(std::make_unique<http::Server>(options));
        std::string error;
        const int port = m_servers.back()->Listen("127.0.0.1", 0, error);
        EXPECT_NE(port, 0) << error;
        m_threads.emplace_back([server = m_servers.back().get()] { server->Run(); });
        return ":" + std::to_string(port);
    }
    void TearDown() override {
        for (size_t i = 0; i < m_servers.size(); ++i) {
            m_servers[i]->Stop();
            m_threads[i].join();
        }
    }
    static http::TlsFiles Tls(const test::CertificateFiles& files) {
        return {files.certificate, files.key};
    }

    static constexpr size_t kLarge = size_t{32} << 20;
    test::TempDir m_dir;
    const test::TestCertificates m_files = test::MakeTestCertificates(m_dir.Path());
    std::vector<std::unique_ptr<http::Server>> m_servers;
    std::vector<std::thread> m_threads;
};

TEST_F(HttpsTest, AnsweredOnlyForATrustedChainThatNamesTheHost) {
    const std::string good = Serve(Tls(m_files.localhost)), other = Serve(Tls(m_files.otherLocal));
    const std::string misnamed = Serve(Tls(m_files.elsewhere)), plain = Serve(std::nullopt);
    test::LoopbackClient silent(std::stoi(good.substr(1)));
    EXPECT_TRUE(silent.Connected() && silent.Closed()) << "a client that never handshook was kept";

    const std::string untrusted = "certificate verify failed: unable to get local issuer";
    const struct {
        std::string url, caFile, expected;  // the status and body, or the start of the error
    } cases[] = {
        {"https://127.0.0.1" + good + "/a?b=1#c", m_files.ca, "200 127.0.0.1" + good + " /a?b=1"},
        {"https://localhost" + good, m_files.ca, "200 localhost" + good + " /"},
        {"https://localhost" + other + "/", m_files.otherCa, "200 localhost" + other + " /"},
        {"http://127.0.0.1" + plain + "/x", "", "200 127.0.0.1" + plain + " /x"},
        {"https://127.0.0.1" + good + "/events", m_files.ca, "501 event streams are not served"},
        {"https://127.0.0.1" + good + "/", "", untrusted},
        {"https://localhost" + other + "/", m_files.ca, untrusted},
        {"https://localhost" + misnamed + "/", m_files.ca, "certificate verify failed: hostname"},
        {"https://127.0.0.1" + misnamed + "/", m_files.ca, "certificate verify failed: IP address"},
        {"https://127.0.0.1" + plain + "/", m_files.ca, "TLS handshake failed: "},
        {"https://127.0.0.1" + good + "/", m_files.ca + "x",
         "the CA file " + m_files.ca + "x: No such"},
        {"ftp://127.0.0.1" + good + "/", "", "not an http:// or https:// URL"},
        {"http://[::1" + good + "/", "", "not a valid host and port"},
        {"http://127.0.0.1:65536/", "", "not a valid host and port"},
    };
    for (const auto& [url, caFile, expected] : cases) {
        std::string error;
        http::ClientOptions options;
        options.caFile = caFile;
        const auto response = http::FetchUrl(url, {"GET", "/ignored", {}, {}}, error, options);
        const std::string answer =
            response ? std::to_string(response->status) + " " + response->body : error;
        EXPECT_EQ(answer.substr(0, expected.size()), expected) << url << " with " << caFile;
    }
}

TEST_F(HttpsTest, ListenRefusesUnreadableOrMismatchedFilesWithTheReason) {
    const auto& [certificate, key] = m_files.localhost;
    const struct {
        http::TlsFiles files;
        std::string expected;
    } cases[] = {
        {{certificate + "x", key}, "the certificate chain " + certificate + "x: No such file"},
        {{key, key}, "the certificate chain " + key + ": "},
        {{certificate, m_files.elsewhere.key}, "the private key " + m_files.elsewhere.key + ": "},
    };
    for (const auto& [files, expected] : cases) {
        http::ServerOptions options;
        options.tls = files;
        std::string error;
        EXPECT_EQ(http::Server(options).Listen("127.0.0.1", 0, error), 0) << expected;
        EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
    }
}

// The write time counts each piece of an answer, not the whole: a client that reads a large
// answer slowly but steadily, for far longer than the write time, gets all of it. The client
// refuses an answer above its limit from the announced length, before reading it.
TEST_F(HttpsTest, ALargeAnswerReadSlowlyButSteadilyArrivesWhole) {
    const std::string port = Serve(std::nullopt);
    http::Request request;
    request.method = "GET";
    http::ClientOptions limited;
    limited.bodyBytes = kLarge - 1;
    std::string error;
    EXPECT_FALSE(http::FetchUrl("http://127.0.0.1" + port + "/large", request, error, limited));
    EXPECT_EQ(error, "body limit exceeded");
    test::LoopbackClient client(std::stoi(port.substr(1)));
    ASSERT_TRUE(client.Send("GET /large HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    std::string buffer(64 * 1024, '\0');
    size_t received = 0;
    long count = 0;
    while ((count = client.Receive(buffer.data(), buffer.size())) > 0) {
        received += static_cast<size_t>(count);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GT(received, kLarge) << "the answer was cut off after " << received << " bytes";
}

}  // namespace
