// Free functions: node resolution, the function-style interface, and helpers
// of the request frame.
#pragma once

#include <dadovu/Export.h>
#include <qxpal/array.h>
#include <qxpal/message.h>
#include <qxpal/string.h>
#include <qxpal/uri.h>

namespace DaDovu {

// The control daemon's server identifier: the first path element of every
// endpoint built from a node name, and its key for server location.
constexpr const char SERVER_IDENTIFIER[] = "dadovu.ctrl.server";
// The client application name sent with every call ("APP_NAME").
constexpr const char CLIENT_APP_NAME[] = "dadovu.ctrl.client";
// The client version sent with every call ("APP_VERSION").
constexpr const char CLIENT_APP_VERSION[] = "1.5.0.0";
// The local node.
constexpr const char LOCAL_NODE[] = "localhost";

// "http" (or "https" when a certificate is installed) "://" node [":" port]
// (a bare IPv6 address as node is put in brackets)
// "/" server (trimmed) "/lnkrpcserver". With `locate`, the port comes from
// QxLnkCb::LocateServer, whose exceptions pass to the caller. A node holding
// "@", "/", "?", "#" or "\" (which would change the endpoint's host or path)
// is refused with QxPalMsg::IllegalArgumentError_t.
DADOVU_API QxPalStr::String_t CreateURI(const QxPalStr::String_t& node, const QxPalArray::CharArray_t& server,
                                        bool locate);

// True when the node settings say a certificate is installed
// ("sec.cm.certificates" / "CERT_INSTALLED"). Never throws.
DADOVU_API bool IsCertInstalled();

// Writes `messages` to the node's log. Never throws.
DADOVU_API void LogMessage(QxPalMsg::MessageList_t& messages);

// Function-style interface: default options, the node as a UTF-8 C string.
// Failures are the same exceptions as Control's; the int is the daemon's
// accepted result code (0 for Status).
DADOVU_API int Start(QxPalStr::String_t target, const char* node);
DADOVU_API int Stop(QxPalStr::String_t target, const char* node);
// Assigns the status text to `status` only when the request succeeded.
DADOVU_API int Status(int level, QxPalStr::String_t target, QxPalStr::String_t& status, const char* node);
DADOVU_API int Notify(QxPalStr::String_t event, QxPalStr::String_t value, QxPalStr::String_t target,
                      const char* node);
// Return the daemon's code unchecked, or -1 after logging a failed call; never throw
// for a failed call.
DADOVU_API int AddComponent(QxPalStr::String_t fileName, const QxPalNet::URI_t& uri);
DADOVU_API int DeleteComponent(QxPalStr::String_t componentName, const QxPalNet::URI_t& uri);

}  // namespace DaDovu
