// SOAPArgControlMessageList: the "msglist" argument, a whole message list.
#pragma once

#include <dadovu/Export.h>

#include "platform/Platform.h"

namespace DaDovu {

// Writes the messages of `list`, and while a response is parsed replaces the
// content of `list` by the messages of its own element (cleared when that
// element starts; untouched when the response lacks it). `list` must outlive
// the argument. One object serves one request on one thread.
class DADOVU_API SOAPArgControlMessageList : public QxLnkSoap::SOAPArg {
public:
    SOAPArgControlMessageList(const unsigned short* name, QxPalMsg::MessageList_t& list);

    void SetTypeAttribute() override;  // "msglist"
    void WriteContentTo(const QxPalXml::XmlWriter_t& writer) const override;
    QxLnkSoap::SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                                         const unsigned short* namespaceUri) override;
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override;

private:
    QxPalMsg::MessageList_t& list_;
    int severity_ = QxPalMsg::SEVERITY_INFO;
    QxPalStr::String_t catalogId_;
    QxPalStr::String_t messageNo_;
    QxPalStr::String_t messageText_;
    QxPalMsg::ParmList_t pendingParms_;
    int state_ = 0;
};

}  // namespace DaDovu
