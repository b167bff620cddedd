// CreateURI: the endpoint URI of a node's control daemon.
#include <dadovu/Functions.h>

#include "platform/Platform.h"

namespace DaDovu {

QxPalStr::String_t CreateURI(const QxPalStr::String_t& node, const QxPalArray::CharArray_t& server, bool locate) {
    QxPalStr::String_t uri(IsCertInstalled() ? "https" : "http");
    uri += "://";
    uri += node;
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

}  // namespace DaDovu
