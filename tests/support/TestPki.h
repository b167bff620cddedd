// A certificate authority with server and client certificates, made at test
// time in a temporary directory with the `openssl` command. Removed on
// destruction. Creating one takes a few hundred milliseconds: share one per
// test suite (see Shared()).
#pragma once

#include <string>

namespace SoapTest {

class TestPki {
public:
    // Throws std::runtime_error when openssl fails.
    TestPki();
    ~TestPki();
    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

    // One instance per test process, made on first use.
    static const TestPki& Shared();

    const std::string& Dir() const { return dir_; }
    const std::string& CaFile() const { return caFile_; }            // the trusted authority
    const std::string& ServerCert() const { return serverCert_; }    // CN/SAN 127.0.0.1 and localhost
    const std::string& ServerKey() const { return serverKey_; }
    const std::string& ClientCert() const { return clientCert_; }    // CN "dadovu-test-client"
    const std::string& ClientKey() const { return clientKey_; }
    const std::string& ObserverCert() const { return observerCert_; }  // CN "dadovu-test-observer", as the client's
    const std::string& ObserverKey() const { return observerKey_; }
    const std::string& OtherCaFile() const { return otherCaFile_; }  // an authority nobody trusts
    const std::string& UntrustedServerCert() const { return untrustedCert_; }  // signed by the other CA
    const std::string& UntrustedServerKey() const { return untrustedKey_; }
    const std::string& WrongHostServerCert() const { return wrongHostCert_; }  // SAN "wrong.example"
    const std::string& WrongHostServerKey() const { return wrongHostKey_; }
    const std::string& ExpiredServerCert() const { return expiredCert_; }      // expired a day before it was made
    const std::string& ExpiredServerKey() const { return expiredKey_; }

private:
    std::string dir_, caFile_, serverCert_, serverKey_, clientCert_, clientKey_;
    std::string otherCaFile_, untrustedCert_, untrustedKey_, wrongHostCert_, wrongHostKey_;
    std::string expiredCert_, expiredKey_, observerCert_, observerKey_;
};

}  // namespace SoapTest
