// ClientSettings: the settings of a Client, as a program gives them in code.
// Values are only stored here; Client checks them when it is built.

#include <dadovu/Client.h>

#include <utility>

#include "api/ClientSettingsImpl.h"

namespace DaDovu {

ClientSettings::ClientSettings() : impl_(std::make_unique<Impl>()) {}
ClientSettings::ClientSettings(const ClientSettings& other) : impl_(std::make_unique<Impl>(other.GetImpl())) {}
ClientSettings::ClientSettings(ClientSettings&& other) noexcept = default;
ClientSettings& ClientSettings::operator=(const ClientSettings& other) {
    if (this != &other) Mutable() = other.GetImpl();
    return *this;
}
ClientSettings& ClientSettings::operator=(ClientSettings&& other) noexcept = default;
ClientSettings::~ClientSettings() = default;

// A moved-from object reads as the defaults and is made anew when set.
const ClientSettings::Impl& ClientSettings::GetImpl() const {
    static const Impl defaults;
    return impl_ != nullptr ? *impl_ : defaults;
}

ClientSettings::Impl& ClientSettings::Mutable() {
    if (impl_ == nullptr) impl_ = std::make_unique<Impl>();
    return *impl_;
}

ClientSettings& ClientSettings::SetEndpoint(std::string uri) {
    Mutable().endpoint = std::move(uri);
    return *this;
}

ClientSettings& ClientSettings::SetNode(std::string node) {
    Mutable().node = std::move(node);
    Mutable().endpoint.clear();
    return *this;
}

ClientSettings& ClientSettings::SetSecure(bool secure) {
    Mutable().secure = secure;
    return *this;
}

ClientSettings& ClientSettings::SetConnectTimeout(std::chrono::milliseconds timeout) {
    Mutable().connectTimeout = timeout;
    return *this;
}

ClientSettings& ClientSettings::SetCallTimeout(std::chrono::milliseconds timeout) {
    Mutable().callTimeout = timeout;
    return *this;
}

ClientSettings& ClientSettings::SetCaFile(std::string path) {
    Mutable().caFile = std::move(path);
    return *this;
}

ClientSettings& ClientSettings::SetCaDirectory(std::string path) {
    Mutable().caDirectory = std::move(path);
    return *this;
}

ClientSettings& ClientSettings::SetClientCertificate(std::string certificateFile, std::string keyFile) {
    Mutable().certificateFile = std::move(certificateFile);
    Mutable().keyFile = std::move(keyFile);
    return *this;
}

ClientSettings& ClientSettings::SetVerifyPeer(bool verify) {
    Mutable().verifyPeer = verify;
    return *this;
}

ClientSettings& ClientSettings::SetTargetId(std::string targetId) {
    Mutable().targetId = std::move(targetId);
    return *this;
}

ClientSettings& ClientSettings::SetMaxResponseBytes(std::size_t bytes) {
    Mutable().maxResponseBytes = bytes;
    return *this;
}

ClientSettings& ClientSettings::SetMaxIdleConnections(std::size_t count) {
    Mutable().maxIdleConnections = count;
    return *this;
}

ClientSettings& ClientSettings::SetCloseConnectionAfterUse(bool close) {
    Mutable().closeConnectionAfterUse = close;
    return *this;
}

ClientSettings& ClientSettings::SetLogHook(LogHook hook) {
    Mutable().logHook = std::move(hook);
    return *this;
}

ClientSettings& ClientSettings::SetTraceHook(TraceHook hook) {
    Mutable().traceHook = std::move(hook);
    return *this;
}

}  // namespace DaDovu
