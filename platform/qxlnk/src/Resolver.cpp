// Host name resolution bounded by a deadline.

#include "Resolver.h"

#include "Errors.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace QxLnkImpl {

namespace {

std::string LookupError(int rc, int error) {
    if (rc != EAI_SYSTEM) return gai_strerror(rc);
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in `buffer`.
    return strerror_r(error, buffer, sizeof(buffer));
}

// One lookup, shared by the caller and the thread doing it: whichever leaves
// last frees it, and with it any addresses the caller did not take.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    int error = 0;
    AddrInfoPtr addresses;
};

}  // namespace

AddrInfoPtr Resolve(const std::string& host, int port, std::chrono::steady_clock::time_point deadline, int limitMs) {
    char service[8];
    std::snprintf(service, sizeof(service), "%d", port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    // IP literals need no resolver: they are converted at once.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), service, &hints, &list);
    if (rc == 0) return AddrInfoPtr(list);
    if (rc != EAI_NONAME) throw TransportError("Cannot resolve the host name '" + Printable(host) + "': " + LookupError(rc, errno), true);

    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    const auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, service = std::string(service), hints] {
            addrinfo* found = nullptr;
            const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            const int error = errno;
            const std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->rc = result;
            lookup->error = error;
            lookup->addresses.reset(found);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        throw TransportError("Cannot resolve the host name '" + Printable(host) + "': " + error.what(), true);
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }))
        throw TransportError("Resolving the host name '" + Printable(host) + "' took longer than " +
                                 std::to_string(limitMs) + " ms",
                             true);
    if (lookup->rc != 0)
        throw TransportError("Cannot resolve the host name '" + Printable(host) + "': " +
                                 LookupError(lookup->rc, lookup->error),
                             true);
    return std::move(lookup->addresses);
}

}  // namespace QxLnkImpl
