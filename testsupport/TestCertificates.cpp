#include "testsupport/TestCertificates.h"

#include <stdexcept>
#include <vector>

#include "process/ChildProcess.h"
#include "testsupport/TestFolders.h"

namespace gwu::test {

// FOLDER/NAME.pem and NAME.key: a CA's, self-signed, without a signer; else for the names
// (subjectAltName), signed by the CA whose files start with signer.
static CertificateFiles Make(const std::filesystem::path& folder, const std::string& name,
                             const std::string& names = {}, const std::string& signer = {}) {
    const std::string stem = (folder / name).string();
    std::vector<std::string> command = {
        GWU_OPENSSL_PROGRAM,
        "req",
        "-x509",
        "-newkey",
        "ec",
        "-pkeyopt",
        "ec_paramgen_curve:prime256v1",
        "-nodes",
        "-days",
        "2",
        "-subj",
        "/CN=" + name,
        "-keyout",
        stem + ".key",
        "-out",
        stem + ".pem",
        "-addext",
        signer.empty() ? "basicConstraints=critical,CA:TRUE" : "basicConstraints=CA:FALSE"};
    if (!signer.empty()) {
        command.insert(command.end(), {"-addext", "subjectAltName=" + names, "-CA", signer + ".pem",
                                       "-CAkey", signer + ".key"});
    }
    host::ChildProcess openssl(command, stem);
    if (openssl.Wait(30000) != 0) {
        throw std::runtime_error("openssl could not make " + stem + ".pem: " +
                                 openssl.StartError() + TestFolders::ReadFile(stem + ".err"));
    }
    return {stem + ".pem", stem + ".key"};
}

TestCertificates MakeTestCertificates(const std::filesystem::path& folder) {
    const std::string local = "DNS:localhost,IP:127.0.0.1";
    const std::string trusted = Make(folder, "test-ca").certificate;
    const std::string untrusted = Make(folder, "other-ca").certificate;
    const std::string signer = (folder / "test-ca").string();
    return {trusted, untrusted, Make(folder, "localhost", local, signer),
            Make(folder, "elsewhere", "DNS:elsewhere.invalid", signer),
            Make(folder, "other-localhost", local, (folder / "other-ca").string())};
}

}  // namespace gwu::test
