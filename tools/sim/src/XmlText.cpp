#include "XmlText.h"

namespace DaDovuSim {

namespace {

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\r': out += "&#13;"; break;
        case '"':
            if (attribute) out += "&quot;"; else out += c;
            break;
        case '\n':
            if (attribute) out += "&#10;"; else out += c;
            break;
        case '\t':
            if (attribute) out += "&#9;"; else out += c;
            break;
        default: out += c;
        }
    }
}

}  // namespace

void AppendXmlText(std::string& out, std::string_view text) { AppendEscaped(out, text, false); }

void AppendXmlAttribute(std::string& out, std::string_view text) { AppendEscaped(out, text, true); }

}  // namespace DaDovuSim
