// Certificates made at test time with OpenSSL for the HTTPS tests: a private authority that the
// process trusts (its PEM file is named by SSL_CERT_FILE, set when the set is first made, before
// any TLS client context exists), a second authority nobody trusts, and server certificates:
// good (for 127.0.0.1 and localhost), expired, for client authentication only, for another host,
// and one from the untrusted authority. Keys are P-256.
//
// Made once per process on first use; thread-safe after that (read-only).
#pragma once

#include <string>

namespace k47test {

struct ServerIdentity {
    std::string certificatePem;  // leaf, then the issuing authority
    std::string keyPem;
};

class TestCertificates {
  public:
    static const TestCertificates& Get();

    ServerIdentity good;            // trusted, valid, serverAuth, SAN 127.0.0.1 and localhost
    ServerIdentity expired;         // trusted, expired a day ago
    ServerIdentity clientAuthOnly;  // trusted, valid, extended key usage clientAuth only
    ServerIdentity otherHost;       // trusted, valid, SAN 127.0.0.2 and other.example only
    ServerIdentity unknownCa;       // valid, issued by an authority that is not trusted

  private:
    TestCertificates();
    ~TestCertificates();
    std::string trust_file_;
};

}  // namespace k47test
