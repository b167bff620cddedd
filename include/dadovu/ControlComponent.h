// A component record as the control daemon reports it.
#pragma once

#include <dadovu/Export.h>
#include <qxpal/string.h>

namespace DaDovu {

// The states a supervised component passes through. The numbers are the wire
// values that the daemon sends; other numbers pass through unchanged.
enum ComponentState : int {
    COMPONENT_UNKNOWN = -1,   // state not reported (the initial state of a record)
    COMPONENT_STOPPED = 0,
    COMPONENT_STARTING = 1,
    COMPONENT_RUNNING = 2,
    COMPONENT_STOPPING = 3,
    COMPONENT_FAILED = 4,
    COMPONENT_OTHER = -2,     // a number that names no state (Client's records; see Component)
};

class ControlComponentImpl;

// One component: name, description, category, process ID (as text), the
// component's definition as XML text, and its state. A value type: copies are
// independent. A default record has empty texts and COMPONENT_UNKNOWN.
// Not synchronised.
class DADOVU_API ControlComponent {
public:
    ControlComponent();
    ControlComponent(const ControlComponent& other);
    ControlComponent& operator=(const ControlComponent& other);
    ~ControlComponent();

    // References into the record; valid while it lives; an assignment to the
    // record changes the text they refer to.
    const QxPalStr::String_t& GetName() const;
    const QxPalStr::String_t& GetDescription() const;
    const QxPalStr::String_t& GetCategory() const;
    const QxPalStr::String_t& GetPID() const;
    const QxPalStr::String_t& GetXML() const;
    ComponentState GetState() const;

private:
    friend class ControlComponentImpl;
    ControlComponentImpl* impl_;
};

}  // namespace DaDovu
