// SOAPArgControlComponentList: writes records as "ctrlcomp" entries and reads
// them back in one streaming pass while the response is parsed.
//
// Parse states:
//   0 outside the argument's element      1 inside it, between entries
//   2 inside an entry, between fields     3..8 in "name", "description",
//                                         "category", "pid", "xml", "state"
// The known elements are recognised by name wherever they stand inside the
// argument (in any order, case-sensitive); any other element is refused, so
// the parser skips it together with everything it contains.
//
// Every "ctrlcomp" entry starts from a fresh record (empty texts,
// COMPONENT_UNKNOWN): a field that an entry lacks is empty, never the value of
// the entry before it. A field outside any entry therefore has no effect, and
// only the end of a "ctrlcomp" element appends a record. After its own element
// has ended the argument takes nothing more until another element of its own
// name starts.
#include "soap/SOAPArgControlComponentList.h"

#include <string_view>
#include <utility>

#include "api/ControlComponentImpl.h"
#include "soap/ElementNames.h"

namespace DaDovu {

using namespace std::string_view_literals;
namespace {

using SoapElement::NameIs;
using SoapElement::WriteText;

enum State : int {
    kOutside = 0,
    kInList = 1,
    kInEntry = 2,
    kInName = 3,
    kInDescription = 4,
    kInCategory = 5,
    kInPid = 6,
    kInXml = 7,
    kInState = 8,
};

// The state that a known element sets, or kOutside for any other name. The
// first code unit picks the one literal the name can equal.
State Classify(const unsigned short* name) {
    if (name == nullptr) {
        return kOutside;
    }
    switch (name[0]) {
        case u'c':
            return NameIs(name, u"ctrlcomp") ? kInEntry : NameIs(name, u"category") ? kInCategory : kOutside;
        case u'n': return NameIs(name, u"name") ? kInName : kOutside;
        case u'd': return NameIs(name, u"description") ? kInDescription : kOutside;
        case u'p': return NameIs(name, u"pid") ? kInPid : kOutside;
        case u'x': return NameIs(name, u"xml") ? kInXml : kOutside;
        case u's': return NameIs(name, u"state") ? kInState : kOutside;
        default: return kOutside;
    }
}

// The memory of one record in the caller's list besides its texts: the list
// node, the record and its implementation, and the heap's bookkeeping of the three.
constexpr std::size_t kRecordCost =
    2 * sizeof(void*) + sizeof(ControlComponent) + sizeof(ControlComponentImpl) + 3 * 2 * sizeof(void*);

std::size_t TextCost(const QxPalStr::String_t& text) {
    return text.Units().capacity() * sizeof(unsigned short);
}

}  // namespace

SOAPArgControlComponentList::SOAPArgControlComponentList(const unsigned short* name,
                                                         std::list<ControlComponent>& list)
    : QxLnkSoap::SOAPArg(name), listSink_(std::in_place, list), sink_(*listSink_) {}

SOAPArgControlComponentList::SOAPArgControlComponentList(const unsigned short* name,
                                                         Engine::ComponentRecordSink& sink)
    : QxLnkSoap::SOAPArg(name), sink_(sink) {}

SOAPArgControlComponentList::~SOAPArgControlComponentList() = default;

void SOAPArgControlComponentList::SetTypeAttribute() { SetXSITypeAttribute("cclist"); }

void SOAPArgControlComponentList::WriteContentTo(const QxPalXml::XmlWriter_t& writer) const {
    if (!listSink_) return;
    for (const ControlComponent& component : listSink_->List()) {
        writer.OpenTag("ctrlcomp"sv);
        WriteText(writer, "name"sv, component.GetName());
        WriteText(writer, "description"sv, component.GetDescription());
        WriteText(writer, "category"sv, component.GetCategory());
        WriteText(writer, "pid"sv, component.GetPID());
        WriteText(writer, "xml"sv, component.GetXML());
        WriteText(writer, "state"sv, QxPalStr::NumToStr(static_cast<int>(component.GetState())));
        writer.CloseTag();
    }
}

QxLnkSoap::SOAPElement* SOAPArgControlComponentList::StartElement(const unsigned short* prefix,
                                                                  const unsigned short* name,
                                                                  const unsigned short* namespaceUri) {
    if (state_ == kOutside) {
        if (!NameIs(name, GetName())) {
            return nullptr;
        }
        QxLnkSoap::SOAPElement::StartElement(prefix, name, namespaceUri);
        state_ = kInList;
        return this;
    }
    const State state = Classify(name);
    if (state == kOutside) {
        return nullptr;
    }
    // The text starts afresh with each element.
    text_.clear();
    if (state == kInEntry) {
        sink_.BeginRecord();
    }
    state_ = state;
    return this;
}

void SOAPArgControlComponentList::EndElement(const unsigned short* prefix, const unsigned short* name,
                                             const unsigned short* namespaceUri) {
    using Field = Engine::ComponentRecordSink::Field;
    switch (state_) {
        case kInName: sink_.TakeText(Field::Name, text_); break;
        case kInDescription: sink_.TakeText(Field::Description, text_); break;
        case kInCategory: sink_.TakeText(Field::Category, text_); break;
        case kInPid: sink_.TakeText(Field::Pid, text_); break;
        case kInXml: sink_.TakeText(Field::Xml, text_); break;
        case kInState: sink_.TakeState(QxPalStr::String_t(text_).ToInt()); break;
        default: {
            // States 0 to 2: the end of an entry, of the argument itself, or of
            // a field that enclosed another field (whose end already returned to 2).
            if (state_ == kInEntry && NameIs(name, u"ctrlcomp")) {
                sink_.EndRecord();
                state_ = kInList;
            } else if (NameIs(name, GetName())) {
                QxLnkSoap::SOAPElement::EndElement(prefix, name, namespaceUri);
                state_ = kOutside;
            }
            return;
        }
    }
    // A field's text has been taken; the next element starts its own.
    text_.clear();
    state_ = kInEntry;
}

void SOAPArgControlComponentList::CharactersUtf8(std::string_view text) {
    if (state_ >= kInName) text_.append(text);
}

// ---- appending to a list ----

void Engine::ComponentListSink::BeginRecord() {
    *ControlComponentImpl::GetImpl(record_) = ControlComponentImpl();
}

void Engine::ComponentListSink::TakeText(Field field, std::string& text) {
    // The text is converted once, straight into the record's field.
    ControlComponentImpl& record = *ControlComponentImpl::GetImpl(record_);
    QxPalStr::String_t converted(text);
    switch (field) {
        case Field::Name: record.TakeName(std::move(converted)); break;
        case Field::Description: record.TakeDescription(std::move(converted)); break;
        case Field::Category: record.TakeCategory(std::move(converted)); break;
        case Field::Pid: record.TakePID(std::move(converted)); break;
        case Field::Xml: record.TakeXML(std::move(converted)); break;
    }
}

void Engine::ComponentListSink::TakeState(int state) {
    ControlComponentImpl::GetImpl(record_)->SetState(static_cast<ComponentState>(state));
}

void Engine::ComponentListSink::EndRecord() {
    ControlComponentImpl& record = *ControlComponentImpl::GetImpl(record_);
    // What the record will hold counts against what one response may build,
    // before it is built (the texts are already there).
    QxLnkSoap::ChargeResponseMemory(kRecordCost + TextCost(record.GetName()) + TextCost(record.GetDescription()) +
                                    TextCost(record.GetCategory()) + TextCost(record.GetPID()) +
                                    TextCost(record.GetXML()));
    list_.emplace_back();
    *ControlComponentImpl::GetImpl(list_.back()) = std::move(record);
}

}  // namespace DaDovu
