// QxPalIo: abstract byte and text sinks.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <cstddef>

namespace QxPalIo {

// A sink of bytes. Write throws IOException_t on failure.
class QXPAL_API OutputStream_t {
public:
    virtual ~OutputStream_t();
    virtual void Write(const char* data, std::size_t length) = 0;
};

// A sink of text. Write throws IOException_t on failure.
class QXPAL_API Writer_t {
public:
    virtual ~Writer_t();
    virtual void Write(const QxPalStr::String_t& text) = 0;
};

}  // namespace QxPalIo
