#include "Wsdl.h"

#include "XmlText.h"

namespace DaDovuSim {

std::string WsdlForEndpoint(std::string_view endpoint) {
    std::string text(WsdlText());
    std::string address;
    AppendXmlAttribute(address, endpoint);
    const std::string placeholder = "location=\"" + std::string(kWsdlPlaceholderAddress) + "\"";
    const std::size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), "location=\"" + address + "\"");
    return text;
}

}  // namespace DaDovuSim
