// ControlComponentList: the caller's records with a cursor, and their traces
// on the request trace "ctrl.rpcclient".
#include <dadovu/ControlComponentList.h>
#include <dadovu/Exceptions.h>

#include <iterator>

#include "api/ControlComponentListImpl.h"

namespace DaDovu {
namespace {

constexpr unsigned kTraceWalk = 1;
constexpr unsigned kTraceFailure = 4;
constexpr const char* kTraceSource = "RpcClientImpl";

const QxPalTrc::TraceWrapper_t& RequestTrace() {
    static const QxPalTrc::TraceWrapper_t trace("ctrl.rpcclient");
    return trace;
}

void Trace(unsigned level, const char* text, int line) {
    const QxPalTrc::TraceWrapper_t& trace = RequestTrace();
    if (trace.IsEnabled(level)) {
        trace.InitObject()->DoTrace(level, text, kTraceSource, line);
    }
}

}  // namespace

ControlComponentListImpl::ControlComponentListImpl() : cursor_(entries_.end()) {}

ControlComponentListImpl::ControlComponentListImpl(const ControlComponentListImpl& other)
    : entries_(other.entries_) {
    const auto index = std::distance(other.entries_.cbegin(),
                                     std::list<ControlComponent>::const_iterator(other.cursor_));
    cursor_ = std::next(entries_.begin(), index);
}

// Copies first and swaps afterwards, so a failed copy leaves this list as it was.
ControlComponentListImpl& ControlComponentListImpl::operator=(const ControlComponentListImpl& other) {
    if (this != &other) {
        std::list<ControlComponent> copy(other.entries_);
        const auto index = std::distance(other.entries_.cbegin(),
                                         std::list<ControlComponent>::const_iterator(other.cursor_));
        entries_.swap(copy);
        cursor_ = std::next(entries_.begin(), index);
    }
    return *this;
}

void ControlComponentListImpl::AddElement(const ControlComponent& component) {
    entries_.push_back(component);
    cursor_ = entries_.begin();
    Trace(kTraceWalk, "Added new component to the control component list", __LINE__);
}

void ControlComponentListImpl::AddElements(std::list<ControlComponent>& components) {
    if (components.empty()) return;
    const std::size_t count = components.size();
    entries_.splice(entries_.end(), components);
    cursor_ = entries_.begin();
    for (std::size_t i = 0; i < count; ++i)
        Trace(kTraceWalk, "Added new component to the control component list", __LINE__);
}

bool ControlComponentListImpl::IsAtEnd() {
    const bool atEnd = cursor_ == entries_.end();
    Trace(kTraceWalk,
          atEnd ? "Reached the end of the control component list: true"
                : "Reached the end of the control component list: false",
          __LINE__);
    return atEnd;
}

const ControlComponent ControlComponentListImpl::GetCurrent() {
    if (cursor_ == entries_.end()) {
        AtEndEx();
    }
    Trace(kTraceWalk, "Returning current component from the control component list", __LINE__);
    return *cursor_;
}

void ControlComponentListImpl::Next() {
    if (cursor_ == entries_.end()) {
        AtEndEx();
    }
    Trace(kTraceWalk, "Proceeding to the next entry in the control component list", __LINE__);
    ++cursor_;
}

void ControlComponentListImpl::AtEndEx() {
    Trace(kTraceFailure, "No more components in the control component list", __LINE__);
    throw QxPalMsg::IllegalStateError_t(
        QxPalMsg::CreateError_t(Catalog::GetCatalog(), 98, "No more components in the list."));
}

ControlComponentList::ControlComponentList() : impl_(new ControlComponentListImpl()) {}

ControlComponentList::ControlComponentList(const ControlComponentList& other)
    : impl_(new ControlComponentListImpl(*other.impl_)) {}

ControlComponentList& ControlComponentList::operator=(const ControlComponentList& other) {
    if (this != &other) {
        *impl_ = *other.impl_;
    }
    return *this;
}

ControlComponentList::~ControlComponentList() { delete impl_; }

bool ControlComponentList::IsAtEnd() const { return impl_->IsAtEnd(); }
const ControlComponent ControlComponentList::GetCurrent() const { return impl_->GetCurrent(); }
void ControlComponentList::Next() const { impl_->Next(); }

}  // namespace DaDovu
