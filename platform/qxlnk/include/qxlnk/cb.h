// QxLnkCb: locating servers on a node.
#pragma once

#include <qxlnk/export.h>
#include <qxpal/string.h>

namespace QxLnkCb {

// Sets `port` to the port that `server` listens on at `node`, from the node
// settings: section [lnk.cb.servers], key = the server identifier. `host` and
// `protocol` receive the node and "http" (callers may ignore them).
// Throws QxLnkRpc::RpcException naming server and node when it is unknown.
QXLNK_API void LocateServer(const char* node, const char* server, QxPalStr::String_t& host,
                            QxPalStr::String_t& protocol, int& port);

}  // namespace QxLnkCb
