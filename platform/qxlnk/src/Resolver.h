// Host name resolution bounded by a deadline.
#pragma once

#include <netdb.h>

#include <chrono>
#include <memory>
#include <string>

namespace QxLnkImpl {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// The stream addresses of `host` (an IP literal or a name) and `port`. A name
// is looked up on a thread of its own, so that a resolver slower than the
// deadline cannot hold the caller past it: the lookup is then abandoned (its
// thread frees what it finds) and TransportError says how long it may take,
// `limitMs`. Throws TransportError (marked as nothing sent) when the name
// cannot be resolved or no thread can be started.
AddrInfoPtr Resolve(const std::string& host, int port, std::chrono::steady_clock::time_point deadline, int limitMs);

}  // namespace QxLnkImpl
