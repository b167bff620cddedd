// URIs: scheme "://" host [":" port] path ["?" query].
#include <qxpal/uri.h>

#include "utf.h"

#include <algorithm>

namespace QxPalNet {

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// White space or a control character, which a URI never holds unescaped.
bool IsIllegal(char32_t cp) {
    return cp < 0x21 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F) ||
           (cp <= 0xFFFF && QxPalDetail::IsWhiteSpace(static_cast<unsigned>(cp)));
}

bool IsValidScheme(std::string_view scheme) {
    if (scheme.empty() || !IsAlpha(scheme.front())) return false;
    for (char c : scheme) {
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool IsValidHost(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x21 || u == 0x7F || c == '[' || c == ']' || c == '@' || c == '/' || c == '?' || c == '#') {
            return false;
        }
    }
    return true;
}

// A decimal port 1..65535; 0 when the text is not one.
int ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return 0;
    int port = 0;
    for (char c : text) {
        if (!IsDigit(c)) return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

}  // namespace

URI_t::URI_t(const QxPalStr::String_t& text) : text_(text), utf8_(text.ToUtf8()) { Parse(); }

URI_t::URI_t(const char* utf8) : text_(utf8), utf8_(text_.ToUtf8()) { Parse(); }

void URI_t::Parse() {
    const auto& units = text_.Units();
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t cp = units[i];
        if (QxPalDetail::IsHighSurrogate(cp) && i + 1 < units.size() && QxPalDetail::IsLowSurrogate(units[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        }
        if (IsIllegal(cp)) {
            illegal_ = static_cast<int>(cp);
            break;
        }
    }

    const std::string_view text = utf8_;
    const auto separator = text.find("://");
    if (separator == std::string_view::npos || !IsValidScheme(text.substr(0, separator))) return;
    std::string scheme(text.substr(0, separator));
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }

    const std::string_view rest = text.substr(separator + 3);
    const auto authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view hostPort = rest.substr(0, authorityEnd);
    if (const auto at = hostPort.rfind('@'); at != std::string_view::npos) hostPort.remove_prefix(at + 1);

    std::string_view host;
    std::string_view portText;
    bool hasPort = false;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const auto close = hostPort.find(']');
        if (close == std::string_view::npos) return;
        host = hostPort.substr(1, close - 1);
        const std::string_view after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return;
            hasPort = true;
            portText = after.substr(1);
        }
        // An IPv6 address (hex digits, colons, perhaps a dotted IPv4 tail), then perhaps "%zone".
        const std::string_view address = host.substr(0, host.find('%'));
        if (address.find(':') == std::string_view::npos ||
            address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
            return;
        }
    } else {
        const auto colon = hostPort.find(':');
        host = hostPort.substr(0, colon);
        if (colon != std::string_view::npos) {
            hasPort = true;
            portText = hostPort.substr(colon + 1);
        }
    }
    if (!IsValidHost(host)) return;
    int port = 0;
    if (hasPort) {
        port = ParsePort(portText);
        if (port == 0) return;
    }

    std::string_view path = rest.substr(authorityEnd);
    path = path.substr(0, path.find('#'));  // a fragment never travels

    scheme_ = std::move(scheme);
    host_ = std::string(host);
    port_ = port;
    path_.clear();
    if (path.empty() || path.front() != '/') path_ = "/";
    path_.append(path);
    valid_ = true;
}

}  // namespace QxPalNet
