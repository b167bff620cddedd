// QxLnkNet: how the communication library looks up host names.
//
// A name is looked up on a thread of its own, so that a resolver slower than
// a call's deadline cannot hold the call past it. Lookups of one name and port
// that are still running are shared by every call that needs them, and at
// most kMaxLookups run at once in the process: a call that would start one
// more waits, within its deadline, for one to end, and fails when none does.
// IP literals are converted at once, without a lookup.
#pragma once

#include <qxlnk/export.h>

#include <netdb.h>

namespace QxLnkNet {

constexpr int kMaxLookups = 64;

// getaddrinfo's signature. Called on a lookup thread; must be thread-safe.
using LookupFunction = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);

// For tests: the function that looks names up from the next lookup on (null:
// getaddrinfo). What it returns is released with freeaddrinfo. Thread-safe.
QXLNK_API void SetLookupFunction(LookupFunction lookup);

// How many lookups are running now (also those that calls gave up waiting for).
QXLNK_API int LookupsInFlight();

}  // namespace QxLnkNet
