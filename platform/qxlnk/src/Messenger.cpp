// The messenger: settings, TLS context and connection pool shared by its copies.

#include "MessengerImpl.h"

#include "Errors.h"

#include <qxlnk/exceptions.h>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace QxLnkMsg {

namespace {

using QxLnkImpl::TransportError;

std::string SystemErrorText(int error) {
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in `buffer`.
    return std::string(strerror_r(error, buffer, sizeof(buffer)));
}

// Why loading a file failed, from this thread's OpenSSL error queue, which it
// clears. The first error queued is the cause (those after it only say which
// function gave up): an error of the system (fopen's) as the system words
// it, any other as OpenSSL's reason with the detail it recorded.
// `mismatch` is set when a key does not match its certificate.
std::string TakeLoadError(bool* mismatch = nullptr) {
    const char* data = nullptr;
    int flags = 0;
    const unsigned long error = ERR_peek_error_data(&data, &flags);
    std::string text;
    if (error == 0) {
        text = "unknown error";
    } else if (ERR_SYSTEM_ERROR(error)) {
        // OpenSSL 3 keeps errno as the reason of a system error and has no
        // string for it.
        text = SystemErrorText(ERR_GET_REASON(error));
    } else {
        const char* reason = ERR_reason_error_string(error);
        if (reason != nullptr) {
            text = reason;
            if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0')
                text += std::string(" (") + data + ")";
        } else {
            char buffer[256];
            ERR_error_string_n(error, buffer, sizeof(buffer));
            text = buffer;
        }
        if (mismatch != nullptr)
            *mismatch = ERR_GET_LIB(error) == ERR_LIB_X509 && ERR_GET_REASON(error) == X509_R_KEY_VALUES_MISMATCH;
    }
    ERR_clear_error();
    return text;
}

[[noreturn]] void ThrowTlsSetup(const std::string& what) {
    throw TransportError(QxLnkImpl::Printable(what), TransportError::Stage::Tls);
}

long long PositiveSetting(const QxPalConfig::Configuration_t& settings, const char* key, long long fallback,
                          long long maximum) {
    const long long value = settings.GetInt(key, fallback);
    if (value <= 0 || value > maximum)
        QxLnkImpl::ThrowIllegalArgument("The setting " + settings.GetNamespace() + "." + key + " = " +
                                        std::to_string(value) + " is out of range (1 to " +
                                        std::to_string(maximum) + ")");
    return value;
}

// No key file may ask for a pass phrase on the terminal of a library's caller.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*userdata*/) { return 0; }

}  // namespace

// The messenger only ever sends requests: SendOnly and RegisterWithCb are kept
// but change nothing, as there is no callback endpoint to register.
Messenger::Impl::Impl(const QxPalConfig::Configuration_t& settings, const Messenger::Options& messengerOptions)
    : options(messengerOptions),
      pool(static_cast<std::size_t>(PositiveSetting(settings, "MAX_IDLE_CONNECTIONS", 256, 65536))) {
    connectTimeoutMs = static_cast<int>(PositiveSetting(settings, "CONNECT_TIMEOUT_MS", 5000, INT_MAX));
    timeoutMs = static_cast<int>(PositiveSetting(settings, "TIMEOUT_MS", 60000, INT_MAX));
    // A text node of the response is handed to its argument with an int length.
    maxResponseBytes = static_cast<std::uint64_t>(
        PositiveSetting(settings, "MAX_RESPONSE_BYTES", 64LL << 20, INT_MAX));
    // Verification is off only when the setting says false: absent or empty, it is on.
    const std::string* verify = settings.Find("VERIFY_PEER");
    verifyPeer = verify == nullptr || verify->empty() || settings.GetBool("VERIFY_PEER");
    caFile = settings.GetUtf8("CA_FILE");
    caDir = settings.GetUtf8("CA_DIR");
    clientCert = settings.GetUtf8("CLIENT_CERT");
    clientKey = settings.GetUtf8("CLIENT_KEY");
    // The files are read by the first TLS connection; a setting that cannot
    // work whatever the files hold is refused here.
    if (clientCert.empty() && !clientKey.empty())
        throw QxLnkRpc::RpcTlsException(QxLnkImpl::ErrorMessage("CLIENT_KEY is set without CLIENT_CERT"));
}

SSL_CTX* Messenger::Impl::TlsContext() {
    if (SSL_CTX* ready = tls_.load(std::memory_order_acquire)) return ready;
    std::lock_guard<std::mutex> lock(tlsMutex_);
    if (SSL_CTX* ready = tls_.load(std::memory_order_relaxed)) return ready;  // made while this call waited

    ERR_clear_error();
    QxLnkImpl::SslCtxPtr made(SSL_CTX_new(TLS_client_method()));
    if (made == nullptr) ThrowTlsSetup("Cannot create the TLS context: " + TakeLoadError());
    SSL_CTX* context = made.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_default_passwd_cb(context, &NoPassphrase);
    if (!caFile.empty() || !caDir.empty()) {
        // OpenSSL takes any directory name and looks its certificates up by
        // subject hash during each handshake: a directory that is not there
        // is refused here, so that a mistyped name fails at once.
        struct stat status {};
        if (!caDir.empty()) {
            if (stat(caDir.c_str(), &status) != 0)
                ThrowTlsSetup("Cannot load the CA directory " + caDir + ": " + SystemErrorText(errno));
            if (!S_ISDIR(status.st_mode))
                ThrowTlsSetup("Cannot load the CA directory " + caDir + ": " + SystemErrorText(ENOTDIR));
        }
        if (!caFile.empty() && stat(caFile.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            ThrowTlsSetup("Cannot load the CA file " + caFile + ": " + SystemErrorText(EISDIR));
        if (SSL_CTX_load_verify_locations(context, caFile.empty() ? nullptr : caFile.c_str(),
                                          caDir.empty() ? nullptr : caDir.c_str()) != 1)
            ThrowTlsSetup((caFile.empty() ? "Cannot load the CA directory " + caDir
                                          : "Cannot load the CA file " + caFile) +
                          ": " + TakeLoadError());
    } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
        ThrowTlsSetup("Cannot load the system's trusted certificates: " + TakeLoadError());
    }
    if (!clientCert.empty()) {
        // Without CLIENT_KEY the key is expected in the certificate's file.
        const std::string& keyFile = clientKey.empty() ? clientCert : clientKey;
        if (SSL_CTX_use_certificate_chain_file(context, clientCert.c_str()) != 1)
            ThrowTlsSetup("Cannot load the client certificate " + clientCert + ": " + TakeLoadError());
        bool mismatch = false;
        if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            const std::string reason = TakeLoadError(&mismatch);
            ThrowTlsSetup(mismatch ? "The client key " + keyFile + " does not match the client certificate " +
                                         clientCert + " (" + reason + ")"
                                   : "Cannot load the client key " + keyFile + ": " + reason);
        }
        if (SSL_CTX_check_private_key(context) != 1)
            ThrowTlsSetup("The client key " + keyFile + " does not match the client certificate " + clientCert +
                          " (" + TakeLoadError() + ")");
    }
    sslContext_ = std::move(made);
    tls_.store(context, std::memory_order_release);
    return context;
}

Messenger::Messenger() = default;

Messenger::Messenger(const QxPalConfig::Configuration_t& settings, const Options& options)
    : Object(std::make_shared<Impl>(settings, options)) {}

Messenger::~Messenger() = default;

}  // namespace QxLnkMsg
