#include "TestPki.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

extern char** environ;

namespace SoapTest {

namespace {

// Every key is EC P-256: generating one takes milliseconds, RSA far longer.
const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
const char* const kValidDays = "3650";

const char* const kServerExt =
    "basicConstraints=CA:FALSE\n"
    "keyUsage=critical,digitalSignature\n"
    "extendedKeyUsage=serverAuth\n"
    "subjectKeyIdentifier=hash\n"
    "authorityKeyIdentifier=keyid\n";
const char* const kLocalNames = "subjectAltName=IP:127.0.0.1,DNS:localhost\n";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("TestPki: cannot write " + path);
}

// Owns posix_spawn's file actions.
class SpawnActions {
public:
    SpawnActions() {
        if (posix_spawn_file_actions_init(&actions_) != 0) throw std::runtime_error("TestPki: spawn actions");
    }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// Runs `openssl args...` with no input and its output appended to `log`;
// throws with that output when it fails.
void Openssl(const std::string& log, std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    if (posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), 1, 2) != 0) {
        throw std::runtime_error("TestPki: spawn actions");
    }
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "openssl", actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) {
        throw std::runtime_error("TestPki: cannot run openssl: " + std::error_code(rc, std::generic_category()).message());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("TestPki: waitpid failed");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const auto& arg : args) command += arg + " ";
        throw std::runtime_error("TestPki: " + command + "failed:\n" + ReadFile(log));
    }
}

std::string MakeTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dadovu-pki-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("TestPki: mkdtemp failed for " + pattern);
    return pattern;
}

// Makes the certificates in one directory; the paths follow `dir`.
class Maker {
public:
    explicit Maker(std::string dir) : dir_(std::move(dir)), log_(dir_ + "/openssl.log") {}

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // A self-signed authority: <name>.pem and <name>.key.
    void Authority(const std::string& name, const std::string& commonName) const {
        std::vector<std::string> args = {"req", "-x509", "-new"};
        args.insert(args.end(), kNewKey.begin(), kNewKey.end());
        args.insert(args.end(), {"-keyout", Path(name + ".key"), "-out", Path(name + ".pem"), "-days", kValidDays,
                                 "-subj", "/CN=" + commonName, "-addext", "basicConstraints=critical,CA:TRUE",
                                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        Openssl(log_, args);
    }

    // A key and a signing request: <name>.key and <name>.csr.
    void Request(const std::string& name, const std::string& commonName) const {
        std::vector<std::string> args = {"req", "-new"};
        args.insert(args.end(), kNewKey.begin(), kNewKey.end());
        args.insert(args.end(), {"-keyout", Path(name + ".key"), "-out", Path(name + ".csr"), "-subj",
                                 "/CN=" + commonName});
        Openssl(log_, args);
    }

    // <name>.pem from <name>.csr, signed by the authority `ca`, with the
    // extensions `extensions`.
    void Sign(const std::string& name, const std::string& ca, const std::string& extensions) {
        WriteFile(Path(name + ".ext"), extensions);
        Openssl(log_, {"x509", "-req", "-in", Path(name + ".csr"), "-CA", Path(ca + ".pem"), "-CAkey",
                       Path(ca + ".key"), "-set_serial", std::to_string(++serial_), "-days", kValidDays,
                       "-extfile", Path(name + ".ext"), "-out", Path(name + ".pem")});
    }

    // <name>.pem from <name>.csr, signed by `ca`, valid only in 2020. `x509 -req`
    // of OpenSSL 3.0 cannot set past dates; `ca` can, with a minimal database.
    void SignExpired(const std::string& name, const std::string& ca, const std::string& extensions) {
        const std::string config = Path(name + "-ca.cnf");
        WriteFile(Path(name + "-index.txt"), "");
        WriteFile(Path(name + "-serial"), "1000\n");
        WriteFile(config, "[ ca ]\ndefault_ca = test_ca\n"
                          "[ test_ca ]\n"
                          "database = " + Path(name + "-index.txt") + "\n"
                          "new_certs_dir = " + dir_ + "\n"
                          "serial = " + Path(name + "-serial") + "\n"
                          "default_md = sha256\npolicy = any_policy\nunique_subject = no\n"
                          "[ any_policy ]\ncommonName = supplied\n"
                          "[ server_ext ]\n" + extensions);
        Openssl(log_, {"ca", "-batch", "-notext", "-config", config, "-cert", Path(ca + ".pem"), "-keyfile",
                       Path(ca + ".key"), "-in", Path(name + ".csr"), "-out", Path(name + ".pem"), "-startdate",
                       "20200101000000Z", "-enddate", "20201231000000Z", "-extensions", "server_ext"});
    }

private:
    std::string dir_;
    std::string log_;
    int serial_ = 1;
};

}  // namespace

TestPki::TestPki() : dir_(MakeTempDir()) {
    try {
        Maker make(dir_);
        make.Authority("ca", "DaDovu Test CA");
        make.Request("server", "localhost");
        make.Sign("server", "ca", std::string(kServerExt) + kLocalNames);
        make.Request("client", "dadovu-test-client");
        make.Sign("client", "ca",
                  "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=clientAuth\n"
                  "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n");
        make.Authority("other-ca", "DaDovu Untrusted CA");
        make.Request("untrusted", "localhost");
        make.Sign("untrusted", "other-ca", std::string(kServerExt) + kLocalNames);
        make.Request("wronghost", "wrong.example");
        make.Sign("wronghost", "ca", std::string(kServerExt) + "subjectAltName=DNS:wrong.example\n");
        make.Request("expired", "localhost");
        make.SignExpired("expired", "ca", std::string(kServerExt) + kLocalNames);

        caFile_ = make.Path("ca.pem");
        serverCert_ = make.Path("server.pem");
        serverKey_ = make.Path("server.key");
        clientCert_ = make.Path("client.pem");
        clientKey_ = make.Path("client.key");
        otherCaFile_ = make.Path("other-ca.pem");
        untrustedCert_ = make.Path("untrusted.pem");
        untrustedKey_ = make.Path("untrusted.key");
        wrongHostCert_ = make.Path("wronghost.pem");
        wrongHostKey_ = make.Path("wronghost.key");
        expiredCert_ = make.Path("expired.pem");
        expiredKey_ = make.Path("expired.key");
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
