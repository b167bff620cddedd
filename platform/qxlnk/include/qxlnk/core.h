// QxLnkCore: base of the library's handle classes.
#pragma once

#include <qxlnk/export.h>

#include <memory>

namespace QxLnkCore {

// A handle: copies share one underlying object, which lives while any handle
// to it does. Copying and assigning handles is thread-safe on distinct handles;
// one handle object must not be assigned by two threads at once.
class QXLNK_API Object {
public:
    virtual ~Object();
    // True when the handle refers to an object (false when default-constructed).
    bool IsValid() const { return impl_ != nullptr; }

protected:
    Object() = default;
    explicit Object(std::shared_ptr<void> impl) : impl_(std::move(impl)) {}
    Object(const Object&) = default;
    Object(Object&&) noexcept = default;
    Object& operator=(const Object&) = default;
    Object& operator=(Object&&) noexcept = default;

    std::shared_ptr<void> impl_;
};

}  // namespace QxLnkCore
