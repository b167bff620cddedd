// The function-style interface: plain calls with default options and a node
// given as a UTF-8 C string. Nothing is caught here: failures reach the caller
// as the same exceptions that Control throws.

#include <dadovu/Control.h>
#include <dadovu/Functions.h>

#include <utility>

#include "engine/ControlImpl.h"
#include "platform/Platform.h"

namespace DaDovu {

int Start(QxPalStr::String_t target, const char* node) {
    const QxPalStr::String_t nodeName(node);
    const Control::Options options;
    return ControlImpl_t::Start(target, false, nodeName, options);
}

int Stop(QxPalStr::String_t target, const char* node) {
    const QxPalStr::String_t nodeName(node);
    const Control::Options options;
    return ControlImpl_t::Stop(target, false, nodeName, options);
}

int Status(int level, QxPalStr::String_t target, QxPalStr::String_t& status, const char* node) {
    const QxPalStr::String_t nodeName(node);
    const Control::Options options;
    // The enumeration has a fixed underlying type, so every int converts; the
    // engine rejects levels outside 0 to 7 before anything is sent.
    QxPalStr::String_t text = Control::Status(static_cast<Control::StatusLevel>(level), target, nodeName, options);
    // Assigned only now, so that a failed request leaves the caller's text as it was.
    status = std::move(text);
    return 0;
}

int Notify(QxPalStr::String_t event, QxPalStr::String_t value, QxPalStr::String_t target, const char* node) {
    const QxPalStr::String_t nodeName(node);
    const QxPalNet::URI_t uri(CreateURI(nodeName, QxPalArray::CharArray_t(SERVER_IDENTIFIER), false));
    const Control::Options options;
    return ControlImpl_t::Notify(event, value, target, options, uri);
}

int AddComponent(QxPalStr::String_t fileName, const QxPalNet::URI_t& uri) {
    return ControlImpl_t::AddComponent(std::move(fileName), uri);
}

int DeleteComponent(QxPalStr::String_t componentName, const QxPalNet::URI_t& uri) {
    return ControlImpl_t::DeleteComponent(std::move(componentName), uri);
}

}  // namespace DaDovu
