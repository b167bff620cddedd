// ControlComponent: a value record that owns its implementation object.
#include <dadovu/ControlComponent.h>

#include "api/ControlComponentImpl.h"

namespace DaDovu {

ControlComponent::ControlComponent() : impl_(new ControlComponentImpl()) {}

ControlComponent::ControlComponent(const ControlComponent& other)
    : impl_(new ControlComponentImpl(*other.impl_)) {}

// Copies into the existing implementation object, so references obtained from
// the getters stay valid and show the new values.
ControlComponent& ControlComponent::operator=(const ControlComponent& other) {
    if (this != &other) {
        *impl_ = *other.impl_;
    }
    return *this;
}

ControlComponent::~ControlComponent() { delete impl_; }

const QxPalStr::String_t& ControlComponent::GetName() const { return impl_->GetName(); }
const QxPalStr::String_t& ControlComponent::GetDescription() const { return impl_->GetDescription(); }
const QxPalStr::String_t& ControlComponent::GetCategory() const { return impl_->GetCategory(); }
const QxPalStr::String_t& ControlComponent::GetPID() const { return impl_->GetPID(); }
const QxPalStr::String_t& ControlComponent::GetXML() const { return impl_->GetXML(); }
ComponentState ControlComponent::GetState() const { return impl_->GetState(); }

}  // namespace DaDovu
