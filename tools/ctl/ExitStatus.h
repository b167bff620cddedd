// Exit statuses of dadovuctl: one per kind of failure a script may want to
// tell apart, and how the statuses of several nodes combine into one.
#pragma once

#include <dadovu/Client.h>

#include <string>

namespace DaDovuCtl {

enum class Exit : int {
    Ok = 0,
    Failure = 1,           // anything not listed below (e.g. server location found no port)
    Usage = 2,             // the command line or the nodes file is wrong
    Target = 3,            // NoMatchingComponent: no component matches the target
    Component = 4,         // ComponentFailed: a component of the target failed
    Prerequisite = 5,      // PrerequisiteFailed: a prerequisite of the target failed
    Event = 6,             // EventNotSubscribed: no component subscribes to the event
    User = 7,              // UserUnknown: the daemon cannot name its user
    Daemon = 8,            // DaemonError: the daemon reported another error
    Communication = 9,     // NotSent, NoAnswer, Tls, MalformedAnswer
    Security = 10,         // NotAuthenticated, NotAuthorized
    IllegalArgument = 11,  // InvalidArgument, e.g. a status level out of range
    WaitTimeout = 12,      // progress --wait: the command did not end in time
    UnknownRequest = 13,   // progress: the daemon knows no command of that ID (any more)
};

inline int ToInt(Exit e) { return static_cast<int>(e); }

// The worse of two statuses: the higher number, except that Failure (an
// unexpected fault) outranks every other status, and Ok ranks lowest.
Exit Worst(Exit a, Exit b);

// The status of a failure of `kind`.
Exit StatusOfKind(DaDovu::ErrorKind kind);

// The kind a failing result code stands for (as the library classes the
// codes of its requests), for the code of a command followed by progress.
DaDovu::ErrorKind KindOfResultCode(int code);

// The status for a failing result code (the progress code of a failed
// command): the status of its kind. Ok for a code whose bit of value 64 is clear.
Exit StatusOfResultCode(int code);

// The stable snake_case name of `kind` that --json and the summary use:
// "no_matching_component", "not_sent", ...
const char* KindName(DaDovu::ErrorKind kind);

// The table of exit statuses for --help and the README, one status a line.
std::string ExitStatusTable();

}  // namespace DaDovuCtl
