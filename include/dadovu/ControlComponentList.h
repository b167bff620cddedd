// The caller-owned list of component records that a list status request fills.
#pragma once

#include <dadovu/ControlComponent.h>
#include <dadovu/Export.h>

namespace DaDovu {

class ControlComponentListImpl;

// Records in the order the daemon reported them, with a cursor. Walk it with
//   while (!list.IsAtEnd()) { use(list.GetCurrent()); list.Next(); }
// A value type: copies hold copies of the records and a cursor of their own at
// the same position. Not synchronised: walking moves the cursor even through
// const members, so one list must not be used by two threads at once.
class DADOVU_API ControlComponentList {
public:
    ControlComponentList();
    ControlComponentList(const ControlComponentList& other);
    ControlComponentList& operator=(const ControlComponentList& other);
    ~ControlComponentList();

    // True when the cursor is after the last record.
    bool IsAtEnd() const;
    // A copy of the record under the cursor. IllegalStateError_t (message 98)
    // at the end; the list is unchanged then.
    const ControlComponent GetCurrent() const;
    // Moves the cursor on. IllegalStateError_t (message 98) at the end.
    void Next() const;

private:
    friend class ControlComponentListImpl;
    ControlComponentListImpl* impl_;
};

}  // namespace DaDovu
