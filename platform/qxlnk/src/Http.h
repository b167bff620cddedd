// Reading an HTTP/1.1 response whose body is a SOAP envelope (not installed).
#pragma once

#include "Connection.h"

#include <cstdint>

namespace QxLnkImpl {

struct HttpOutcome {
    int status = 0;         // 200 or 500
    bool reusable = false;  // complete, keep-alive, and nothing after it
};

// Reads the response to the request just written on `connection`, streaming
// its body into `envelope` (begun by the caller) as it arrives. Bodies larger
// than `maxBodyBytes` are refused while they arrive.
// Interim responses (1xx but 101) before the answer are skipped.
// Throws TransportError (transport, timeout, HTTP framing, a status other than
// 200 and 500), SoapException (oversized body, malformed or non-SOAP body) or
// what an output argument threw. Does not throw for a SOAP Fault: the caller
// asks the envelope (CheckResult) once the connection is dealt with.
// `uri` is named in the messages of SoapExceptions.
HttpOutcome ReceiveResponse(Connection& connection, EnvelopeParser& envelope, std::uint64_t maxBodyBytes,
                            const Deadlines& deadlines, const std::string& uri);

}  // namespace QxLnkImpl
