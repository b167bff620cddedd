// The daemon's WSDL 1.1 description (tools/sim/dadovu-control.wsdl, embedded
// at build time).
#pragma once

#include <string>
#include <string_view>

namespace DaDovuSim {

// The document as kept in the repository. Its soap:address is kWsdlPlaceholderAddress.
std::string_view WsdlText();

inline constexpr std::string_view kWsdlPlaceholderAddress = "http://localhost/dadovu.ctrl.server/lnkrpcserver";

// The document with its soap:address set to `endpoint` (escaped for XML).
std::string WsdlForEndpoint(std::string_view endpoint);

}  // namespace DaDovuSim
