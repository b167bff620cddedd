// The implementation of ControlComponentList: the records and the cursor.
#pragma once

#include <dadovu/ControlComponentList.h>

#include <list>

#include "platform/Platform.h"

namespace DaDovu {

class DADOVU_API ControlComponentListImpl {
public:
    ControlComponentListImpl();
    ControlComponentListImpl(const ControlComponentListImpl& other);  // cursor at the same index
    ControlComponentListImpl& operator=(const ControlComponentListImpl& other);

    static ControlComponentListImpl* GetImpl(const ControlComponentList& list) { return list.impl_; }

    // Appends a copy of `component` and rewinds the cursor to the first entry.
    void AddElement(const ControlComponent& component);
    // Moves every record of `components` to the end, in order, leaving it empty:
    // the same as AddElement for each (the cursor, a trace line per record),
    // without copying a record.
    void AddElements(std::list<ControlComponent>& components);
    bool IsAtEnd();
    const ControlComponent GetCurrent();
    void Next();

    std::size_t Size() const { return entries_.size(); }

private:
    [[noreturn]] void AtEndEx();

    std::list<ControlComponent> entries_;
    std::list<ControlComponent>::iterator cursor_;
};

}  // namespace DaDovu
