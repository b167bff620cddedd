// Control: the requests a management program sends to a node's control daemon.
#pragma once

#include <dadovu/ControlComponentList.h>
#include <dadovu/ControlUser.h>
#include <dadovu/Export.h>
#include <qxpal/message.h>
#include <qxpal/string.h>
#include <qxpal/uri.h>

namespace DaDovu {

// Static request functions, one overload family per request. A request goes to
// an endpoint URI, to a named node (its URI built by CreateURI), or to the local
// node "localhost". Every function runs on the caller's thread, keeps no state
// and may be called from any number of threads at once. Failures are exceptions
// (see Exceptions.h); every overload lets them pass unchanged. A node name that
// CreateURI refuses, or a text that XML cannot carry, raises
// QxPalMsg::IllegalArgumentError_t before anything is sent.
class DADOVU_API Control {
public:
    class OptionsImpl;

    // Per-request options: an optional target ID and the asynchronous flag.
    // A value type; copies are independent. Not synchronised.
    class DADOVU_API Options {
    public:
        Options();
        Options(const Options& other);
        Options& operator=(const Options& other);
        ~Options();
        // An empty text means no target ID.
        Options& SetTargetID(const QxPalStr::String_t& targetId);
        // Asynchronous start and stop answer at once with a request ID.
        Options& SetAsynchronous(bool asynchronous);

    private:
        friend class OptionsImpl;
        OptionsImpl* impl_;
    };

    // Status detail levels, from the least to the most detail. Only 0 to 7 are
    // valid; other values raise IllegalArgumentError_t before anything is sent.
    enum StatusLevel : int {
        STATUS_NAMES = 0,          // component names
        STATUS_STATES = 1,         // ... and states
        STATUS_PROCESSES = 2,      // ... and process IDs
        STATUS_DESCRIPTIONS = 3,   // ... and descriptions
        STATUS_CATEGORIES = 4,     // ... and categories
        STATUS_PREREQUISITES = 5,  // ... and prerequisites
        STATUS_EVENTS = 6,         // ... and subscribed events
        STATUS_FULL = 7,           // everything the daemon knows
    };

    // Starts the components `target` selects.
    static void Start(const QxPalStr::String_t& target, bool boot, const Options& options, const QxPalNet::URI_t& uri);
    static void Start(const QxPalStr::String_t& target, const QxPalStr::String_t& node, const Options& options);
    static void Start(const QxPalStr::String_t& target, const Options& options);
    // Sets the asynchronous flag on `options` (it stays set), starts, and
    // returns the request ID: the daemon's code widened with its sign.
    static unsigned long long StartAsync(const QxPalStr::String_t& target, bool boot, Options& options,
                                         const QxPalNet::URI_t& uri);

    // Stops the components `target` selects (`kill`: without waiting for them).
    static void Stop(const QxPalStr::String_t& target, bool kill, const Options& options, const QxPalNet::URI_t& uri);
    static void Stop(const QxPalStr::String_t& target, const QxPalStr::String_t& node, const Options& options);
    static void Stop(const QxPalStr::String_t& target, const Options& options);
    static unsigned long long StopAsync(const QxPalStr::String_t& target, bool kill, Options& options,
                                        const QxPalNet::URI_t& uri);

    // Sends `event` with `value` to the components of `target` that subscribe to it.
    static void Notify(const QxPalStr::String_t& event, const QxPalStr::String_t& value,
                       const QxPalStr::String_t& target, const Options& options, const QxPalNet::URI_t& uri);
    static void Notify(const QxPalStr::String_t& event, const QxPalStr::String_t& value,
                       const QxPalStr::String_t& target, const QxPalStr::String_t& node, const Options& options);
    static void Notify(const QxPalStr::String_t& event, const QxPalStr::String_t& value,
                       const QxPalStr::String_t& target, const Options& options);

    // The status of the components `target` selects, as one formatted text.
    static QxPalStr::String_t Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options,
                                     const QxPalNet::URI_t& uri);
    static QxPalStr::String_t Status(StatusLevel level, const QxPalStr::String_t& target,
                                     const QxPalStr::String_t& node, const Options& options);
    static QxPalStr::String_t Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options);

    // The status as records, appended to `list` (its cursor then on the first entry).
    static void Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options,
                       ControlComponentList& list, const QxPalNet::URI_t& uri);
    static void Status(StatusLevel level, const QxPalStr::String_t& target, const QxPalStr::String_t& node,
                       const Options& options, ControlComponentList& list);
    static void Status(StatusLevel level, const QxPalStr::String_t& target, const Options& options,
                       ControlComponentList& list);

    // Which user the daemon's processes run as.
    static const ControlUser GetUser(const Options& options);
    static const ControlUser GetUser(const Options& options, const QxPalNet::URI_t& uri);
    static const ControlUser GetUser(const QxPalStr::String_t& node, const Options& options);

    // The progress of an asynchronous command: the daemon's code, unchecked;
    // `messages` is replaced by the daemon's messages about the command.
    static int GetCommandProgress(unsigned long long requestID, const Options& options,
                                  QxPalMsg::MessageList_t& messages, const QxPalNet::URI_t& uri);
};

}  // namespace DaDovu
