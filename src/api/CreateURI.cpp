// CreateURI: the endpoint URI of a node's control daemon.
#include <dadovu/Functions.h>

#include "api/NodeUri.h"
#include "platform/Platform.h"

#include <algorithm>

namespace DaDovu {

namespace {

// A node name is a host with an optional port. "@" would make what precedes
// it user information, so that the request went to the host after it; "/",
// "?", "#" and "\\" would move the endpoint's path. Such names are refused
// before any endpoint is made of them.
void CheckNodeName(const QxPalStr::String_t& node) {
    for (const unsigned short unit : node.Units()) {
        if (unit == '@' || unit == '/' || unit == '?' || unit == '#' || unit == '\\') {
            throw QxPalMsg::IllegalArgumentError_t(QxPalMsg::Message_t(
                "The node name '" + node + "' holds '" + QxPalStr::String_t(&unit, 1) +
                "', which a host name cannot hold."));
        }
    }
}

// An IPv6 address written bare (two colons or more, no brackets), which a URI
// must hold in brackets.
bool IsBareIpv6(const QxPalStr::String_t& node) {
    const QxPalStr::UTF16String& units = node.Units();
    return !units.empty() && units.front() != '[' && std::count(units.begin(), units.end(), ':') >= 2;
}

// The endpoint of a node whose name has been checked.
QxPalStr::String_t BuildUri(const QxPalStr::String_t& node, const QxPalArray::CharArray_t& server, bool locate,
                            bool secure) {
    QxPalStr::String_t uri(secure ? "https" : "http");
    uri += "://";
    if (IsBareIpv6(node)) {
        uri += "[";
        uri += node;
        uri += "]";
    } else {
        uri += node;
    }
    if (locate) {
        const QxPalStr::MBS_t narrowNode(node, 0);
        QxPalStr::String_t host;      // not used: the node stays as the caller named it
        QxPalStr::String_t protocol;  // not used: the scheme follows the certificate test
        int port = 0;
        QxLnkCb::LocateServer(narrowNode, server, host, protocol, port);
        uri += ":";
        uri += QxPalStr::NumToStr(port);
    }
    uri += "/";
    QxPalStr::String_t serverText(server.GetData());
    uri += serverText.Trim();
    uri += "/lnkrpcserver";
    return uri;
}

}  // namespace

// The name is checked before the certificate setting is read.
QxPalStr::String_t CreateURI(const QxPalStr::String_t& node, const QxPalArray::CharArray_t& server, bool locate) {
    CheckNodeName(node);
    return BuildUri(node, server, locate, IsCertInstalled());
}

QxPalStr::String_t MakeNodeUri(const QxPalStr::String_t& node, const QxPalArray::CharArray_t& server, bool locate,
                               bool secure) {
    CheckNodeName(node);
    return BuildUri(node, server, locate, secure);
}

}  // namespace DaDovu
