// Writing request envelopes (not installed).
#pragma once

#include <qxlnk/soap.h>

#include <string>
#include <string_view>

namespace QxLnkImpl {

// IllegalArgumentError_t unless `method` can name an unprefixed XML element.
void CheckMethodName(std::string_view method);

// Appends the request envelope of `method` with `args` (and a TargetID header
// when `targetId` is not null) to `out`. Throws IllegalArgumentError_t for text
// that XML cannot carry; `out` then holds a partial envelope to be discarded.
void AppendRequestEnvelope(std::string& out, std::string_view method, int count,
                           const QxLnkSoap::SOAPArg* const* args, const QxPalStr::String_t* targetId);

}  // namespace QxLnkImpl
