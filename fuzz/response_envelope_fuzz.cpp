// Fuzz target: the streaming response parser with both payload arguments bound.
#include "FuzzTargets.h"

#include <dadovu/ControlComponent.h>
#include <qxlnk/soap.h>
#include <qxpal/message.h>

#include <list>
#include <string_view>

#include "soap/SOAPArgControlComponentList.h"
#include "soap/SOAPArgControlMessageList.h"

namespace DadovuFuzz {

int ResponseEnvelope(const std::uint8_t* data, std::size_t size) {
    static const QxPalStr::String_t kResult("result"), kStatus("status"), kList("complist"), kMessages("MsgList");
    int result = -1;
    unsigned short* status = nullptr;
    std::list<DaDovu::ControlComponent> components;
    QxPalMsg::MessageList_t messages;
    QxLnkSoap::SOAPArgInt resultArg(kResult.Data(), &result);
    QxLnkSoap::SOAPArgUnicodeString statusArg(kStatus.Data(), &status);
    DaDovu::SOAPArgControlComponentList listArg(kList.Data(), components);
    DaDovu::SOAPArgControlMessageList messageArg(kMessages.Data(), messages);
    QxLnkSoap::SOAPArg* const outputs[] = {&resultArg, &statusArg, &listArg, &messageArg};
    try {
        QxLnkSoap::ParseResponseEnvelope(std::string_view(reinterpret_cast<const char*>(data), size), 4, outputs,
                                         std::size_t{1} << 20);
    } catch (const QxLnkSoap::SoapException&) {
        // Malformed, not an envelope, a document type, too deep, or a Fault.
    }
    // What a caller does next with whatever was filled, even after a refusal.
    std::size_t total = status != nullptr ? QxPalStr::String_t(status).ToUtf8().size() : 0;
    for (const DaDovu::ControlComponent& component : components) {
        total += component.GetName().ToUtf8().size() + component.GetXML().ToUtf8().size() +
                 static_cast<std::size_t>(component.GetState());
    }
    total += messages.Format(QxPalMsg::FORMAT_FULL).ToUtf8().size();
    return total == static_cast<std::size_t>(-1) ? 1 : 0;
}

}  // namespace DadovuFuzz
