// Control::Options: a value class over its own Control::OptionsImpl.
#include <dadovu/Control.h>

#include "api/OptionsImpl.h"

namespace DaDovu {

Control::Options::Options() : impl_(new OptionsImpl) {}

Control::Options::Options(const Options& other) : impl_(new OptionsImpl(*other.impl_)) {}

Control::Options& Control::Options::operator=(const Options& other) {
    if (this != &other) *impl_ = *other.impl_;
    return *this;
}

// Releasing the implementation cannot throw (its members are a text and a flag),
// so nothing needs to be swallowed here.
Control::Options::~Options() { delete impl_; }

Control::Options& Control::Options::SetTargetID(const QxPalStr::String_t& targetId) {
    impl_->SetTargetID(targetId);
    return *this;
}

Control::Options& Control::Options::SetAsynchronous(bool asynchronous) {
    impl_->SetAsynchronous(asynchronous);
    return *this;
}

}  // namespace DaDovu
