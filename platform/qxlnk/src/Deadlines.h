// The time limits of one call (not installed).
#pragma once

#include <chrono>

namespace QxLnkImpl {

using Clock = std::chrono::steady_clock;

// The time limits of one call: the connect deadline applies to connecting and
// the TLS handshake, the call deadline to everything, parsing included.
struct Deadlines {
    Clock::time_point connect;
    Clock::time_point call;
    int connectMs = 0;
    int callMs = 0;
};

// Throws the TransportError of a response not complete by the call deadline.
[[noreturn]] void ThrowResponseTimeout(const Deadlines& deadlines);

}  // namespace QxLnkImpl
