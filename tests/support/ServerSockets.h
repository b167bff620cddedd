// Helpers shared by the test daemons for the server side of their TCP
// connections. Linux only (they read /proc/self/fd).
#pragma once

namespace SoapTest {

// Shuts down (with `how`: SHUT_RD, SHUT_WR or SHUT_RDWR) every connected TCP
// socket of this process whose local end is 127.0.0.1:`localPort`, and, when
// `peerPort` is not negative, whose remote port is `peerPort`. Listening
// sockets are left alone. The sockets stay open: their owners see end of file
// (or a failed write) and close them themselves, so no descriptor is closed
// behind anybody's back.
//
// cpp-httplib 0.11.4 keeps no handle on its accepted connections, waits for
// the next request of an idle kept-alive connection without looking at
// Server::stop(), and ignores "Connection: close" set on a response; this is
// how the daemon ends such connections at once. Thread-safe; never throws.
void ShutdownServerSockets(int localPort, int peerPort, int how) noexcept;

// Ignores SIGPIPE for the whole process (once): a daemon that writes to a
// connection its client has already given up must see EPIPE, not die.
void IgnoreSigpipe() noexcept;

}  // namespace SoapTest
