// Control: the public facade. Each overload decides where a request goes (an
// endpoint URI, a named node, or the local node) and hands it to the request
// engine; failures pass through unchanged.

#include <dadovu/Control.h>
#include <dadovu/Functions.h>

#include "engine/ControlImpl.h"
#include "platform/Platform.h"

namespace DaDovu {

namespace {

// The endpoint of the control daemon on `node`, as every by-node request uses it.
QxPalNet::URI_t NodeEndpoint(const QxPalStr::String_t& node) {
    return QxPalNet::URI_t(CreateURI(node, QxPalArray::CharArray_t(SERVER_IDENTIFIER), false));
}

// A request ID is the daemon's signed 32-bit code widened with its sign, so that
// GetCommandProgress sends the same 32 bits back.
unsigned long long RequestID(int code) {
    return static_cast<unsigned long long>(static_cast<long long>(code));
}

}  // namespace

// --- start -------------------------------------------------------------------

void Control::Start(const QxPalStr::String_t& target, bool boot, const Options& options,
                    const QxPalNet::URI_t& uri) {
    ControlImpl_t::Start(target, boot, options, uri);
}

void Control::Start(const QxPalStr::String_t& target, const QxPalStr::String_t& node, const Options& options) {
    ControlImpl_t::Start(target, false, node, options);
}

void Control::Start(const QxPalStr::String_t& target, const Options& options) {
    ControlImpl_t::Start(target, false, QxPalStr::String_t(LOCAL_NODE), options);
}

unsigned long long Control::StartAsync(const QxPalStr::String_t& target, bool boot, Options& options,
                                       const QxPalNet::URI_t& uri) {
    options.SetAsynchronous(true);
    return RequestID(ControlImpl_t::Start(target, boot, options, uri));
}

// --- stop --------------------------------------------------------------------

void Control::Stop(const QxPalStr::String_t& target, bool kill, const Options& options,
                   const QxPalNet::URI_t& uri) {
    ControlImpl_t::Stop(target, kill, options, uri);
}

void Control::Stop(const QxPalStr::String_t& target, const QxPalStr::String_t& node, const Options& options) {
    ControlImpl_t::Stop(target, false, node, options);
}

void Control::Stop(const QxPalStr::String_t& target, const Options& options) {
    ControlImpl_t::Stop(target, false, QxPalStr::String_t(LOCAL_NODE), options);
}

unsigned long long Control::StopAsync(const QxPalStr::String_t& target, bool kill, Options& options,
                                      const QxPalNet::URI_t& uri) {
    options.SetAsynchronous(true);
    return RequestID(ControlImpl_t::Stop(target, kill, options, uri));
}

// --- notify ------------------------------------------------------------------

void Control::Notify(const QxPalStr::String_t& event, const QxPalStr::String_t& value,
                     const QxPalStr::String_t& target, const Options& options, const QxPalNet::URI_t& uri) {
    ControlImpl_t::Notify(event, value, target, options, uri);
}

void Control::Notify(const QxPalStr::String_t& event, const QxPalStr::String_t& value,
                     const QxPalStr::String_t& target, const QxPalStr::String_t& node, const Options& options) {
    ControlImpl_t::Notify(event, value, target, options, NodeEndpoint(node));
}

void Control::Notify(const QxPalStr::String_t& event, const QxPalStr::String_t& value,
                     const QxPalStr::String_t& target, const Options& options) {
    Notify(event, value, target, QxPalStr::String_t(LOCAL_NODE), options);
}

// --- status as text ----------------------------------------------------------

QxPalStr::String_t Control::Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options,
                                   const QxPalNet::URI_t& uri) {
    return ControlImpl_t::Status(level, target, options, uri);
}

QxPalStr::String_t Control::Status(StatusLevel level, const QxPalStr::String_t& target,
                                   const QxPalStr::String_t& node, const Options& options) {
    return ControlImpl_t::Status(level, target, options, NodeEndpoint(node));
}

QxPalStr::String_t Control::Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options) {
    return Status(level, target, QxPalStr::String_t(LOCAL_NODE), options);
}

// --- status as records -------------------------------------------------------

void Control::Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options,
                     ControlComponentList& list, const QxPalNet::URI_t& uri) {
    ControlImpl_t::Status(level, target, options, list, uri);
}

void Control::Status(StatusLevel level, const QxPalStr::String_t& target, const QxPalStr::String_t& node,
                     const Options& options, ControlComponentList& list) {
    ControlImpl_t::Status(level, target, options, list, NodeEndpoint(node));
}

void Control::Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options,
                     ControlComponentList& list) {
    Status(level, target, QxPalStr::String_t(LOCAL_NODE), options, list);
}

// --- user, progress ----------------------------------------------------------

const ControlUser Control::GetUser(const Options& options) {
    return ControlImpl_t::GetUser(QxPalStr::String_t(LOCAL_NODE), options);
}

const ControlUser Control::GetUser(const Options& options, const QxPalNet::URI_t& uri) {
    return ControlImpl_t::GetUser(options, uri);
}

const ControlUser Control::GetUser(const QxPalStr::String_t& node, const Options& options) {
    return ControlImpl_t::GetUser(node, options);
}

int Control::GetCommandProgress(unsigned long long requestID, const Options& options,
                                QxPalMsg::MessageList_t& messages, const QxPalNet::URI_t& uri) {
    return ControlImpl_t::GetCommandProgress(requestID, options, messages, uri);
}

}  // namespace DaDovu
