// The implementation of Control::Options.
#pragma once

#include <dadovu/Control.h>

#include "platform/Platform.h"

namespace DaDovu {

class DADOVU_API Control::OptionsImpl {
public:
    OptionsImpl() = default;
    ~OptionsImpl() = default;

    // The implementation of `options`, for reading (and for the asynchronous forms, writing).
    static OptionsImpl& GetImpl(const Options& options) { return *options.impl_; }

    void SetTargetID(const QxPalStr::String_t& targetId) { targetId_ = targetId; }
    QxPalStr::String_t GetTargetID() { return targetId_; }
    const QxPalStr::String_t& TargetID() const { return targetId_; }
    bool TargetIDSet() const { return targetId_.GetLength() != 0; }
    void SetAsynchronous(bool asynchronous) { asynchronous_ = asynchronous; }
    bool GetAsynchronous() const { return asynchronous_; }

private:
    QxPalStr::String_t targetId_;
    bool asynchronous_ = false;
};

}  // namespace DaDovu
