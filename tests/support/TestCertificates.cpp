// Test certificates made with OpenSSL's API (see the header).
#include "tests/support/TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace k47test {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    if (!key)
        throw std::runtime_error("EVP_EC_gen failed");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr)
        throw std::runtime_error("X509V3_EXT_conf_nid failed");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// notBefore/notAfter are offsets from now in seconds.
Cert MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
              long notBefore, long notAfter, bool authority, const char* san, const char* eku) {
    static long serial = 1;
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer != nullptr)
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (authority) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        if (san != nullptr)
            AddExtension(cert.get(), signer, NID_subject_alt_name, san);
        if (eku != nullptr)
            AddExtension(cert.get(), signer, NID_ext_key_usage, eku);
    }
    if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
        throw std::runtime_error("X509_sign failed");
    return cert;
}

std::string CertPem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, size_t(n));
    BIO_free(bio);
    return pem;
}

std::string KeyPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, size_t(n));
    BIO_free(bio);
    return pem;
}

constexpr long kDay = 24 * 3600;

}  // namespace

const TestCertificates& TestCertificates::Get() {
    static const TestCertificates certificates;
    return certificates;
}

TestCertificates::TestCertificates() {
    Key caKey = NewKey();
    Cert ca = MakeCert(caKey.get(), "K47 Test Authority", nullptr, nullptr, -kDay, 30 * kDay, true,
                       nullptr, nullptr);
    Key otherCaKey = NewKey();
    Cert otherCa = MakeCert(otherCaKey.get(), "Untrusted Authority", nullptr, nullptr, -kDay,
                            30 * kDay, true, nullptr, nullptr);
    const std::string caPem = CertPem(ca.get());

    auto leaf = [&](const char* cn, X509* issuer, EVP_PKEY* issuerKey, const std::string& issuerPem,
                    long from, long to, const char* san, const char* eku) {
        Key key = NewKey();
        Cert cert = MakeCert(key.get(), cn, issuer, issuerKey, from, to, false, san, eku);
        return ServerIdentity{CertPem(cert.get()) + issuerPem, KeyPem(key.get())};
    };
    const char* localSan = "IP:127.0.0.1,DNS:localhost";
    good = leaf("good", ca.get(), caKey.get(), caPem, -kDay, 30 * kDay, localSan, "serverAuth");
    expired =
        leaf("expired", ca.get(), caKey.get(), caPem, -10 * kDay, -kDay, localSan, "serverAuth");
    clientAuthOnly =
        leaf("client only", ca.get(), caKey.get(), caPem, -kDay, 30 * kDay, localSan, "clientAuth");
    otherHost = leaf("other", ca.get(), caKey.get(), caPem, -kDay, 30 * kDay,
                     "IP:127.0.0.2,DNS:other.example", "serverAuth");
    unknownCa = leaf("unknown", otherCa.get(), otherCaKey.get(), CertPem(otherCa.get()), -kDay,
                     30 * kDay, localSan, "serverAuth");

    char path[] = "/tmp/k47-test-ca-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    if (write(fd, caPem.data(), caPem.size()) != ssize_t(caPem.size()))
        throw std::runtime_error("writing the trust file failed");
    close(fd);
    trust_file_ = path;
    setenv("SSL_CERT_FILE", trust_file_.c_str(), 1);
    setenv("SSL_CERT_DIR", "/nonexistent-k47-test-dir", 1);
}

TestCertificates::~TestCertificates() {
    unlink(trust_file_.c_str());
}

}  // namespace k47test
