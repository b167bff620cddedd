// Host name resolution bounded by a deadline, shared and capped.

#include "Resolver.h"

#include "Errors.h"

#include <pthread.h>

#include <qxlnk/resolver.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace QxLnkImpl {

namespace {

std::atomic<QxLnkNet::LookupFunction> g_lookupFunction{nullptr};

std::string LookupError(int rc, int error) {
    if (rc != EAI_SYSTEM) return gai_strerror(rc);
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in `buffer`.
    return strerror_r(error, buffer, sizeof(buffer));
}

AddrInfoList Own(addrinfo* list) { return AddrInfoList(list, [](const addrinfo* l) { freeaddrinfo(const_cast<addrinfo*>(l)); }); }

// One lookup, shared by the calls waiting for it and the thread doing it.
struct Lookup {
    bool finished = false;  // guarded by the table's mutex, as the rest
    int rc = 0;
    int error = 0;
    AddrInfoList addresses;
};

// The lookups running in the process. Never destroyed: lookup threads may
// outlive the statics of a process that is ending.
class LookupTable {
public:
    static LookupTable& Instance() {
        static LookupTable* const table = [] {
            auto* made = new LookupTable();
            // A child has none of its parent's lookup threads: it starts with
            // none running, and never with the table locked.
            pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                           [] {
                               LookupTable& inherited = Instance();
                               inherited.running_.clear();
                               inherited.inFlight_ = 0;
                               inherited.mutex_.unlock();
                           });
            return made;
        }();
        return *table;
    }

    AddrInfoList Find(const std::string& host, const std::string& service, const addrinfo& hints,
                      std::chrono::steady_clock::time_point deadline, int limitMs) {
        const std::string key = host + '\n' + service;
        std::unique_lock<std::mutex> lock(mutex_);
        std::shared_ptr<Lookup> lookup;
        for (;;) {
            const auto running = running_.find(key);
            if (running != running_.end()) {
                lookup = running->second;  // the same name is being looked up: wait for that
                break;
            }
            if (inFlight_ < QxLnkNet::kMaxLookups) {
                lookup = Start(key, host, service, hints);
                break;
            }
            if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && inFlight_ >= QxLnkNet::kMaxLookups &&
                running_.find(key) == running_.end())
                throw TransportError("Cannot resolve the host name '" + Printable(host) + "' within " +
                                         std::to_string(limitMs) + " ms: " + std::to_string(QxLnkNet::kMaxLookups) +
                                         " lookups are running, the most there may be",
                                     true);
        }
        if (!changed_.wait_until(lock, deadline, [&] { return lookup->finished; }))
            throw TransportError("Resolving the host name '" + Printable(host) + "' took longer than " +
                                     std::to_string(limitMs) + " ms",
                                 true);
        if (lookup->rc != 0)
            throw TransportError("Cannot resolve the host name '" + Printable(host) + "': " +
                                     LookupError(lookup->rc, lookup->error),
                                 true);
        return lookup->addresses;
    }

    int InFlight() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inFlight_;
    }

private:
    // Starts the lookup of `key` on a thread of its own. REQUIRES: mutex_ held.
    std::shared_ptr<Lookup> Start(const std::string& key, const std::string& host, const std::string& service,
                                  const addrinfo& hints) {
        auto lookup = std::make_shared<Lookup>();
        try {
            std::thread([this, lookup, key, host, service, hints] {
                const QxLnkNet::LookupFunction function = g_lookupFunction.load();
                addrinfo* found = nullptr;
                const int result = (function != nullptr ? function : &getaddrinfo)(host.c_str(), service.c_str(),
                                                                                   &hints, &found);
                const int error = errno;
                AddrInfoList addresses = result == 0 ? Own(found) : nullptr;
                std::lock_guard<std::mutex> lock(mutex_);
                lookup->rc = result;
                lookup->error = error;
                lookup->addresses = std::move(addresses);
                lookup->finished = true;
                running_.erase(key);
                --inFlight_;
                changed_.notify_all();
            }).detach();
        } catch (const std::system_error& error) {
            throw TransportError("Cannot resolve the host name '" + Printable(host) + "': " + error.what(), true);
        }
        running_.emplace(key, lookup);
        ++inFlight_;
        return lookup;
    }

    std::mutex mutex_;
    std::condition_variable changed_;  // a lookup ended
    std::map<std::string, std::shared_ptr<Lookup>> running_;
    int inFlight_ = 0;
};

}  // namespace

AddrInfoList Resolve(const std::string& host, int port, std::chrono::steady_clock::time_point deadline, int limitMs) {
    char service[8];
    std::snprintf(service, sizeof(service), "%d", port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    // IP literals need no resolver: they are converted at once.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), service, &hints, &list);
    if (rc == 0) return Own(list);
    if (rc != EAI_NONAME)
        throw TransportError("Cannot resolve the host name '" + Printable(host) + "': " + LookupError(rc, errno), true);
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    return LookupTable::Instance().Find(host, service, hints, deadline, limitMs);
}

}  // namespace QxLnkImpl

namespace QxLnkNet {

void SetLookupFunction(LookupFunction lookup) { QxLnkImpl::g_lookupFunction.store(lookup); }

int LookupsInFlight() { return QxLnkImpl::LookupTable::Instance().InFlight(); }

}  // namespace QxLnkNet
