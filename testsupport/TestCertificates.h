// Certificates for the tests of TLS (POSIX), made by the openssl command in a folder: a CA the
// tests trust, with certificates for localhost and 127.0.0.1 and for another name only, and an
// untrusted CA with its own localhost certificate. EC P-256 keys; valid for two days.
#pragma once

#include <filesystem>
#include <string>

namespace gwu::test {

struct CertificateFiles {
    std::string certificate, key;  // PEM; the key unencrypted
};

struct TestCertificates {
    std::string ca, otherCa;                // the CAs' certificates: trusted, untrusted
    CertificateFiles localhost, elsewhere;  // by the trusted CA; "elsewhere.invalid" only
    CertificateFiles otherLocal;            // localhost and 127.0.0.1, by the untrusted CA
};

// Makes the files in the folder; throws std::runtime_error, with openssl's words, when it fails.
TestCertificates MakeTestCertificates(const std::filesystem::path& folder);

}  // namespace gwu::test
