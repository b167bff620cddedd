// Fuzz target: URI checking, for URIs given as such and for endpoints built
// from node names.
#include "FuzzTargets.h"

#include <dadovu/Functions.h>
#include <qxlnk/rpc.h>
#include <qxpal/array.h>
#include <qxpal/exception.h>
#include <qxpal/uri.h>

#include <cstdlib>
#include <string_view>
#include <vector>

namespace DadovuFuzz {

namespace {

// A call is created for a URI, or the URI is refused; what is accepted must
// be a valid http(s) URI with a host and nothing that could end a line of
// the HTTP head or split one of its fields. An endpoint made of a node name
// keeps the daemon's path, whatever the name holds.
void Check(const QxPalNet::URI_t& uri, const char* endpointPath = nullptr) {
    static const QxPalConfig::Configuration_t attributes = [] {
        QxPalConfig::Configuration_t set;
        set.SetAttrValue("APP_NAME", DaDovu::CLIENT_APP_NAME);
        set.SetAttrValue("APP_VERSION", DaDovu::CLIENT_APP_VERSION);
        return set;
    }();
    static const QxLnkMsg::Messenger unconfigured;
    const QxLnkRpc::RpcClient client(attributes, unconfigured);
    try {
        (void)client.CreateCall("start", uri, QxLnkRpc::RpcCall::Options());
    } catch (const QxPalMsg::IllegalArgumentError_t&) {
        return;
    }
    for (const char c : uri.GetUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) std::abort();
    }
    const std::string& scheme = uri.GetScheme();
    if (!uri.IsValid() || (scheme != "http" && scheme != "https") || uri.GetHost().empty() ||
        uri.GetPathAndQuery().empty() || uri.GetPathAndQuery()[0] != '/')
        std::abort();
    if (endpointPath != nullptr && uri.GetPathAndQuery() != endpointPath) std::abort();
}

}  // namespace

int Uri(const std::uint8_t* data, std::size_t size) {
    static const QxPalArray::CharArray_t server(DaDovu::SERVER_IDENTIFIER);
    const QxPalStr::String_t utf8(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<unsigned short> units(size / 2);
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<unsigned short>(data[2 * i] | (data[2 * i + 1] << 8));
    const QxPalStr::String_t utf16 = units.empty() ? QxPalStr::String_t() : QxPalStr::String_t(units.data(), units.size());
    for (const QxPalStr::String_t* text : {&utf8, &utf16}) {
        Check(QxPalNet::URI_t(*text));
        QxPalStr::String_t endpoint;
        try {
            endpoint = DaDovu::CreateURI(*text, server, false);
        } catch (const QxPalMsg::IllegalArgumentError_t&) {
            continue;  // a node name that would move the endpoint's host or path
        }
        Check(QxPalNet::URI_t(endpoint), "/dadovu.ctrl.server/lnkrpcserver");
    }
    return 0;
}

}  // namespace DadovuFuzz
