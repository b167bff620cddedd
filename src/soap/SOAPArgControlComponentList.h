// SOAPArgControlComponentList: the "cclist" argument, a list of component records.
#pragma once

#include <dadovu/ControlComponent.h>
#include <dadovu/Export.h>

#include <list>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace DaDovu {

namespace Engine {

// Receives the records of a "cclist" as its response is parsed, one field at
// a time: BeginRecord, the fields the entry has (in the response's order),
// EndRecord. Used on the parsing thread only.
class ComponentRecordSink {
public:
    enum class Field { Name, Description, Category, Pid, Xml };

    virtual ~ComponentRecordSink() = default;
    // A "ctrlcomp" entry starts: the record starts afresh (empty texts,
    // COMPONENT_UNKNOWN), whatever the entry before it held.
    virtual void BeginRecord() = 0;
    // A field's text, UTF-8 as the response carries it; the sink may take it
    // (move from it) or copy it.
    virtual void TakeText(Field field, std::string& text) = 0;
    virtual void TakeState(int state) = 0;
    // The entry ends: the sink charges the record's memory to the response
    // (QxLnkSoap::ChargeResponseMemory, which may throw) and keeps it.
    virtual void EndRecord() = 0;
    // The answer is complete (called by the request frame, after the call
    // returned and before its result code is looked at).
    virtual void Complete() {}
};

// Appends records to a list of ControlComponent.
class ComponentListSink : public ComponentRecordSink {
public:
    explicit ComponentListSink(std::list<ControlComponent>& list) : list_(list) {}
    void BeginRecord() override;
    void TakeText(Field field, std::string& text) override;
    void TakeState(int state) override;
    void EndRecord() override;
    const std::list<ControlComponent>& List() const { return list_; }

private:
    std::list<ControlComponent>& list_;
    ControlComponent record_;
};

}  // namespace Engine

// Writes the records of a list as "ctrlcomp" entries, and hands one record per
// "ctrlcomp" entry to a sink while a response is parsed: with a list, the
// records are appended to it. The list or sink must outlive the argument. One
// object serves one request on one thread.
class DADOVU_API SOAPArgControlComponentList : public QxLnkSoap::SOAPArg, public QxLnkSoap::SOAPUtf8Text {
public:
    SOAPArgControlComponentList(const unsigned short* name, std::list<ControlComponent>& list);
    // Parsing only: writes no entries.
    SOAPArgControlComponentList(const unsigned short* name, Engine::ComponentRecordSink& sink);
    ~SOAPArgControlComponentList() override;

    void SetTypeAttribute() override;  // "cclist"
    void WriteContentTo(const QxPalXml::XmlWriter_t& writer) const override;
    QxLnkSoap::SOAPElement* StartElement(const unsigned short* prefix, const unsigned short* name,
                                         const unsigned short* namespaceUri) override;
    void EndElement(const unsigned short* prefix, const unsigned short* name,
                    const unsigned short* namespaceUri) override;
    // A field's text, as the response carries it: converted (if at all) only
    // by the sink, once.
    void CharactersUtf8(std::string_view text) override;

private:
    std::optional<Engine::ComponentListSink> listSink_;
    Engine::ComponentRecordSink& sink_;
    int state_ = 0;
    std::string text_;  // the text of the field being read
};

}  // namespace DaDovu
