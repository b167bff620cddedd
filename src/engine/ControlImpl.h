// ControlImpl_t: the request engine, one static function per remote method of
// the control daemon, all run by one request frame (see RpcClientImpl.cpp).
//
// Every function runs on the caller's thread; the only shared state is the
// process-wide messenger, guarded while it is tested, created and copied,
// never while a call is in flight.
#pragma once

#include <dadovu/Control.h>
#include <dadovu/ControlComponentList.h>
#include <dadovu/ControlUser.h>
#include <dadovu/Export.h>

#include "platform/Platform.h"

namespace DaDovu {

class DADOVU_API ControlImpl_t {
public:
    using String_t = QxPalStr::String_t;
    using URI_t = QxPalNet::URI_t;

    // "start". Returns the accepted result code (the request ID when asynchronous).
    static int Start(const String_t& target, bool boot, const Control::Options& options, const URI_t& uri);
    static int Start(const String_t& target, bool boot, const String_t& node, const Control::Options& options);

    // "stop".
    static int Stop(const String_t& target, bool kill, const Control::Options& options, const URI_t& uri);
    static int Stop(const String_t& target, bool kill, const String_t& node, const Control::Options& options);

    // "notify". A response without "result" counts as success (0).
    static int Notify(const String_t& event, const String_t& value, const String_t& target,
                      const Control::Options& options, const URI_t& uri);

    // "getuser".
    static const ControlUser GetUser(const Control::Options& options, const URI_t& uri);
    static const ControlUser GetUser(const String_t& node, const Control::Options& options);

    // "status": the status text.
    static String_t Status(Control::StatusLevel level, const String_t& target, const Control::Options& options,
                           const URI_t& uri);
    // "statusaslist": appends the records to `list`; returns the accepted code.
    static int Status(Control::StatusLevel level, const String_t& target, const Control::Options& options,
                      ControlComponentList& list, const URI_t& uri);

    // "requestprogress": the daemon's code unchecked (-1 without "result").
    static int GetCommandProgress(unsigned long long requestID, const Control::Options& options,
                                  QxPalMsg::MessageList_t& messages, const URI_t& uri);

    // "addcomponent" / "deletecomponent": the daemon's code unchecked, or -1 after
    // logging a failure of the call (never throw for one).
    static int AddComponent(String_t fileName, const URI_t& uri);
    static int DeleteComponent(String_t componentName, const URI_t& uri);
};

}  // namespace DaDovu
