// The implementation of ControlComponent: the six fields of a record.
#pragma once

#include <dadovu/ControlComponent.h>

#include "platform/Platform.h"

namespace DaDovu {

class DADOVU_API ControlComponentImpl {
public:
    ControlComponentImpl() = default;
    ControlComponentImpl(const ControlComponentImpl&) = default;
    ControlComponentImpl& operator=(const ControlComponentImpl&) = default;
    // Moves let the parser hand a finished record to a list without copying its texts.
    ControlComponentImpl(ControlComponentImpl&&) noexcept = default;
    ControlComponentImpl& operator=(ControlComponentImpl&&) noexcept = default;

    static ControlComponentImpl* GetImpl(const ControlComponent& component) { return component.impl_; }

    const QxPalStr::String_t& GetName() { return name_; }
    const QxPalStr::String_t& GetDescription() { return description_; }
    const QxPalStr::String_t& GetCategory() { return category_; }
    const QxPalStr::String_t& GetPID() { return pid_; }
    const QxPalStr::String_t& GetXML() { return xml_; }
    ComponentState GetState() { return state_; }

    void SetName(const QxPalStr::String_t& text) { name_ = text; }
    void SetDescription(const QxPalStr::String_t& text) { description_ = text; }
    void SetCategory(const QxPalStr::String_t& text) { category_ = text; }
    void SetPID(const QxPalStr::String_t& text) { pid_ = text; }
    void SetXML(const QxPalStr::String_t& text) { xml_ = text; }
    void SetState(ComponentState state) { state_ = state; }

    // Move-in setters for the parser, which copies each text once.
    void TakeName(QxPalStr::String_t&& text) { name_ = std::move(text); }
    void TakeDescription(QxPalStr::String_t&& text) { description_ = std::move(text); }
    void TakeCategory(QxPalStr::String_t&& text) { category_ = std::move(text); }
    void TakePID(QxPalStr::String_t&& text) { pid_ = std::move(text); }
    void TakeXML(QxPalStr::String_t&& text) { xml_ = std::move(text); }

private:
    QxPalStr::String_t name_;
    QxPalStr::String_t description_;
    QxPalStr::String_t category_;
    QxPalStr::String_t pid_;
    QxPalStr::String_t xml_;
    ComponentState state_ = COMPONENT_UNKNOWN;
};

}  // namespace DaDovu
