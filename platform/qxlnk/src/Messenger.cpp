// The messenger: settings, TLS context and connection pool shared by its copies.

#include "MessengerImpl.h"

#include "Errors.h"

#include <qxlnk/exceptions.h>

#include <openssl/err.h>
#include <sys/stat.h>

#include <climits>

namespace QxLnkMsg {

namespace {

[[noreturn]] void ThrowTlsSetup(const std::string& what) {
    const std::string reason = QxLnkImpl::TakeOpenSslError();
    throw QxLnkRpc::RpcTlsException(QxLnkImpl::ErrorMessage(what + (reason.empty() ? "" : ": " + reason)));
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
    const std::string caFile = settings.GetUtf8("CA_FILE");
    const std::string caDir = settings.GetUtf8("CA_DIR");
    const std::string clientCert = settings.GetUtf8("CLIENT_CERT");
    const std::string clientKey = settings.GetUtf8("CLIENT_KEY");

    ERR_clear_error();
    sslContext.reset(SSL_CTX_new(TLS_client_method()));
    if (sslContext == nullptr) ThrowTlsSetup("Cannot create the TLS context");
    SSL_CTX* context = sslContext.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_default_passwd_cb(context, &NoPassphrase);
    if (!caFile.empty() || !caDir.empty()) {
        // OpenSSL takes any directory name and looks its certificates up by
        // subject hash during each handshake: a directory that is not there
        // is refused here, so that a mistyped name fails at once.
        struct stat status {};
        if (!caDir.empty() && (stat(caDir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)))
            throw QxLnkRpc::RpcTlsException(QxLnkImpl::ErrorMessage(
                "Cannot load the certificate authorities of CA_DIR '" + QxLnkImpl::Printable(caDir) +
                "': not a directory"));
        if (SSL_CTX_load_verify_locations(context, caFile.empty() ? nullptr : caFile.c_str(),
                                          caDir.empty() ? nullptr : caDir.c_str()) != 1)
            ThrowTlsSetup("Cannot load the certificate authorities of " +
                          (caFile.empty() ? "CA_DIR '" + QxLnkImpl::Printable(caDir)
                                          : "CA_FILE '" + QxLnkImpl::Printable(caFile)) +
                          "'");
    } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
        ThrowTlsSetup("Cannot load the system's certificate authorities");
    }
    if (!clientCert.empty()) {
        // Without CLIENT_KEY the key is expected in the certificate's file.
        const std::string& keyFile = clientKey.empty() ? clientCert : clientKey;
        if (SSL_CTX_use_certificate_chain_file(context, clientCert.c_str()) != 1)
            ThrowTlsSetup("Cannot load the client certificate of CLIENT_CERT '" + QxLnkImpl::Printable(clientCert) + "'");
        if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            ThrowTlsSetup("Cannot load the client key of CLIENT_KEY '" + QxLnkImpl::Printable(keyFile) + "'");
        if (SSL_CTX_check_private_key(context) != 1)
            ThrowTlsSetup("The client key does not match the client certificate");
    } else if (!clientKey.empty()) {
        throw QxLnkRpc::RpcTlsException(QxLnkImpl::ErrorMessage("CLIENT_KEY is set without CLIENT_CERT"));
    }
}

Messenger::Messenger() = default;

Messenger::Messenger(const QxPalConfig::Configuration_t& settings, const Options& options)
    : Object(std::make_shared<Impl>(settings, options)) {}

Messenger::~Messenger() = default;

}  // namespace QxLnkMsg
