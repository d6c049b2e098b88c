// Puts a test CA's certificate (a PEM file) into the machine's trusted roots, or takes it out
// again, so that the Windows tests of gwctl sync trust a collector the way a tester's PC does:
// through the system's certificate store. Usage: InstallTestCa add|remove CA.pem
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::string action = argc == 3 ? argv[1] : "";
    if (action != "add" && action != "remove") {
        std::fprintf(stderr, "usage: InstallTestCa add|remove CA.pem\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    const DWORD length = static_cast<DWORD>(pem.size());
    std::vector<BYTE> der;
    if (CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                             nullptr)) {
        der.resize(size);
        CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                             nullptr, nullptr);
    }
    // The machine's own roots in the registry, which the chain engine trusts: the system store
    // (CERT_STORE_PROV_SYSTEM) is a collection over it, and under Wine a certificate deleted
    // through the collection stays in the registry.
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    PCCERT_CONTEXT certificate =
        der.empty() ? nullptr : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    bool done = false;
    if (root != nullptr && certificate != nullptr && action == "add") {
        done = CertAddCertificateContextToStore(root, certificate, CERT_STORE_ADD_REPLACE_EXISTING,
                                                nullptr) != FALSE;
    } else if (root != nullptr && certificate != nullptr) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0,
                                                          CERT_FIND_EXISTING, certificate, nullptr);
        done = found == nullptr || CertDeleteCertificateFromStore(found) != FALSE;
    }
    const DWORD error = GetLastError();
    if (certificate != nullptr) {
        CertFreeCertificateContext(certificate);
    }
    if (root != nullptr) {
        CertCloseStore(root, 0);
    }
    if (!done) {
        std::fprintf(stderr, "InstallTestCa: cannot %s %s in the trusted roots (error %lu)\n",
                     action.c_str(), argv[2], static_cast<unsigned long>(error));
        return 1;
    }
    return 0;
}
