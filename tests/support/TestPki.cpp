#include "TestPki.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

namespace SoapTest {

namespace {

const char* const kServerExt =
    "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n"
    "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n";
const char* const kClientExt =
    "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n"
    "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n";
const char* const kLocalNames = "subjectAltName=IP:127.0.0.1,DNS:localhost\n";

// Runs `openssl args...` with no input and its output in `log`; throws with
// that output when it fails.
void Openssl(const std::string& log, const std::vector<std::string>& args) {
    std::string command = "openssl";
    for (const auto& arg : args) {
        command += " '";
        for (const char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    if (std::system((command + " </dev/null >'" + log + "' 2>&1").c_str()) != 0) {
        std::ifstream in(log);
        throw std::runtime_error("TestPki: " + command + " failed:\n" +
                                 std::string(std::istreambuf_iterator<char>(in), {}));
    }
}

}  // namespace

TestPki::TestPki() {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dadovu-pki-XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("TestPki: mkdtemp failed for " + dir_);
    const auto path = [this](const std::string& name) { return dir_ + "/" + name; };
    // `openssl req` making a new key: EC P-256, which takes milliseconds, RSA far longer.
    const auto request = [&](const std::vector<std::string>& more) {
        std::vector<std::string> args = {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                         "-nodes"};
        args.insert(args.end(), more.begin(), more.end());
        Openssl(path("openssl.log"), args);
    };
    // A self-signed authority, <name>.key and <name>.pem; returns the latter's path.
    const auto authority = [&](const std::string& name, const std::string& commonName) {
        request({"-x509", "-keyout", path(name + ".key"), "-out", path(name + ".pem"), "-days", "3650", "-subj",
                 "/CN=" + commonName, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                 "keyUsage=critical,keyCertSign,cRLSign"});
        return path(name + ".pem");
    };
    // <name>.pem and <name>.key, signed by the authority `ca` with `extensions`
    // and valid for ten years, or expired; returns their paths. OpenSSL 3.4
    // and later date a certificate in the past with -not_before and
    // -not_after, and refuse -days -1; OpenSSL 3.0 lacks those two options,
    // but -days -1 makes a certificate that expired a day before it was made.
    int serial = 1;
    const auto leaf = [&](const std::string& name, const std::string& commonName, const std::string& ca,
                          const std::string& extensions, bool expired = false) {
        request({"-keyout", path(name + ".key"), "-out", path(name + ".csr"), "-subj", "/CN=" + commonName});
        std::ofstream(path(name + ".ext")) << extensions;
        const auto sign = [&](const std::vector<std::string>& validity) {
            std::vector<std::string> args = {"x509", "-req", "-in", path(name + ".csr"), "-CA", path(ca + ".pem"),
                                             "-CAkey", path(ca + ".key"), "-set_serial", std::to_string(++serial),
                                             "-extfile", path(name + ".ext"), "-out", path(name + ".pem")};
            args.insert(args.end(), validity.begin(), validity.end());
            Openssl(path("openssl.log"), args);
        };
        if (!expired) {
            sign({"-days", "3650"});
        } else {
            try {
                sign({"-not_before", "20200101000000Z", "-not_after", "20200102000000Z"});
            } catch (const std::runtime_error&) {
                sign({"-days", "-1"});
            }
        }
        return std::make_pair(path(name + ".pem"), path(name + ".key"));
    };
    try {
        const std::string serverExt = std::string(kServerExt) + kLocalNames;
        caFile_ = authority("ca", "DaDovu Test CA");
        std::tie(serverCert_, serverKey_) = leaf("server", "localhost", "ca", serverExt);
        std::tie(clientCert_, clientKey_) = leaf("client", "dadovu-test-client", "ca", kClientExt);
        std::tie(observerCert_, observerKey_) = leaf("observer", "dadovu-test-observer", "ca", kClientExt);
        otherCaFile_ = authority("other-ca", "DaDovu Untrusted CA");
        std::tie(untrustedCert_, untrustedKey_) = leaf("untrusted", "localhost", "other-ca", serverExt);
        std::tie(wrongHostCert_, wrongHostKey_) =
            leaf("wronghost", "wrong.example", "ca", std::string(kServerExt) + "subjectAltName=DNS:wrong.example\n");
        std::tie(expiredCert_, expiredKey_) = leaf("expired", "localhost", "ca", serverExt, /*expired=*/true);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

TestPki::~TestPki() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

const TestPki& TestPki::Shared() {
    static const TestPki pki;
    return pki;
}

}  // namespace SoapTest
