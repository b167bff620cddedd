// SOAPArgControlComponentList: the "cclist" argument, a list of component records.
#pragma once

#include <dadovu/ControlComponent.h>
#include <dadovu/Export.h>

#include <list>

#include "platform/Platform.h"

namespace DaDovu {

// Writes the records of `list` as "ctrlcomp" entries, and appends one record to
// it per "ctrlcomp" entry while a response is parsed. `list` must outlive the
// argument. One object serves one request on one thread.
class DADOVU_API SOAPArgControlComponentList : public QxLnkSoap::SOAPArg {
public:
    SOAPArgControlComponentList(const unsigned short* name, std::list<ControlComponent>& list);

    void SetTypeAttribute() override;  // "cclist"
    void WriteContentTo(const QxPalXml::XmlWriter_t& writer) const override;
    QxLnkSoap::SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                                         const unsigned short* namespaceUri) override;
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override;

private:
    std::list<ControlComponent>& list_;
    ControlComponent record_;
    int state_ = 0;
};

}  // namespace DaDovu
