// The SOAP 1.1 envelope as the request writer and the response parser know
// it (not installed).
#pragma once

#include <string_view>

namespace QxLnkImpl {

// The namespace of SOAP 1.1's Envelope, Header, Body and Fault.
inline constexpr std::string_view kEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

// The prefix under which request envelopes declare QxLnkSoap::SERVICE_NAMESPACE.
inline constexpr char kServicePrefix[] = "lnk";

}  // namespace QxLnkImpl
