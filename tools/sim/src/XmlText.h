// Escaping of text for XML output.
#pragma once

#include <string>
#include <string_view>

namespace DaDovuSim {

// Appends `text` as XML character data: & < > escaped, and a carriage return
// as a character reference so that it survives end-of-line normalisation.
// `text` must be valid UTF-8 (the daemon only stores validated text).
void AppendXmlText(std::string& out, std::string_view text);

// Appends `text` for use inside a double-quoted attribute value: as above,
// plus " and the white-space characters that attribute normalisation would
// otherwise change.
void AppendXmlAttribute(std::string& out, std::string_view text);

}  // namespace DaDovuSim
