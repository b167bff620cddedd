// QxPalNet: URIs.
#pragma once

#include <qxpal/export.h>
#include <qxpal/string.h>

#include <string>

namespace QxPalNet {

// A URI held as text, with its parts parsed on construction:
// scheme "://" host [":" port] path ["?" query]. A URI that does not parse
// leaves IsValid() false; nothing is thrown here (the user decides).
class QXPAL_API URI_t {
public:
    URI_t() = default;
    explicit URI_t(const QxPalStr::String_t& text);
    explicit URI_t(const char* utf8);

    const QxPalStr::String_t& ToString() const { return text_; }
    const std::string& GetUtf8() const { return utf8_; }

    bool IsValid() const { return valid_; }
    const std::string& GetScheme() const { return scheme_; }  // lower case
    const std::string& GetHost() const { return host_; }      // brackets of IPv6 removed
    int GetPort() const { return port_; }                      // 0 when absent
    const std::string& GetPathAndQuery() const { return path_; }  // "/" when empty
    // The first character (as a code point) of white space or a control
    // character in the text, or -1 when there is none.
    int FindIllegalCharacter() const { return illegal_; }

private:
    void Parse();

    QxPalStr::String_t text_;
    std::string utf8_;
    std::string scheme_, host_, path_;
    int port_ = 0;
    int illegal_ = -1;
    bool valid_ = false;
};

}  // namespace QxPalNet
