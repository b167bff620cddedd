// Host name resolution bounded by a deadline (not installed).
#pragma once

#include <netdb.h>

#include <chrono>
#include <memory>
#include <string>

namespace QxLnkImpl {

// A list of addresses from getaddrinfo, shared by the calls that waited for it.
using AddrInfoList = std::shared_ptr<const addrinfo>;

// The stream addresses of `host` (an IP literal or a name) and `port`, found
// as <qxlnk/resolver.h> describes. A name whose lookup does not end by
// `deadline` is abandoned (its thread frees what it finds), and TransportError
// says how long it may take, `limitMs`. Throws TransportError (marked as
// nothing sent) when the name cannot be resolved, too many lookups are
// running until the deadline, or no thread can be started.
AddrInfoList Resolve(const std::string& host, int port, std::chrono::steady_clock::time_point deadline, int limitMs);

}  // namespace QxLnkImpl
