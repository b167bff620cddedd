// The endpoint URI of a node's control daemon, for a given scheme (not installed).
#pragma once

#include "platform/Platform.h"

namespace DaDovu {

// What CreateURI builds, with "https" when `secure` and "http" otherwise,
// whatever the certificate setting says. Throws what CreateURI throws.
QxPalStr::String_t MakeNodeUri(const QxPalStr::String_t& node, const QxPalArray::CharArray_t& server, bool locate,
                               bool secure);

}  // namespace DaDovu
