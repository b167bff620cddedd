#include "ServerSockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdlib>
#include <memory>

namespace SoapTest {

namespace {

// Closes the directory stream on every path out of the scan.
struct DirCloser {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};

bool IsLoopbackPort(const sockaddr_in& addr, int port) {
    return addr.sin_family == AF_INET && ntohs(addr.sin_port) == port &&
           ntohl(addr.sin_addr.s_addr) == INADDR_LOOPBACK;
}

}  // namespace

void ShutdownServerSockets(int localPort, int peerPort, int how) noexcept {
    DIR* raw = opendir("/proc/self/fd");
    if (raw == nullptr) return;
    std::unique_ptr<DIR, DirCloser> dir(raw);
    const int ownFd = dirfd(raw);
    while (const dirent* entry = readdir(raw)) {
        char* end = nullptr;
        const long value = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || value < 0 || value == ownFd) continue;
        const int fd = static_cast<int>(value);

        // A descriptor may be closed and reused while we look at it: every
        // test below is made on the descriptor as it is now, and a socket that
        // matches them all belongs to this daemon's port whatever its history.
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || len != sizeof local ||
            !IsLoopbackPort(local, localPort)) {
            continue;
        }
        int listening = 0;
        socklen_t optLen = sizeof listening;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optLen) != 0 || listening != 0) {
            continue;
        }
        if (peerPort >= 0) {
            sockaddr_in peer{};
            socklen_t peerLen = sizeof peer;
            if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
                peer.sin_family != AF_INET || ntohs(peer.sin_port) != peerPort) {
                continue;
            }
        }
        shutdown(fd, how);
    }
}

void IgnoreSigpipe() noexcept {
    static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    static_cast<void>(ignored);
}

}  // namespace SoapTest
