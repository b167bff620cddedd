// Exit statuses of dadovuctl: one per kind of failure a script may want to
// tell apart, and how the statuses of several nodes combine into one.
#pragma once

#include <string>

namespace DaDovuCtl {

enum class Exit : int {
    Ok = 0,
    Failure = 1,           // anything not listed below (e.g. server location found no port)
    Usage = 2,             // the command line does not parse
    Target = 3,            // TargetException: no component matches the target
    Component = 4,         // ComponentException: the target component reported an error
    Prerequisite = 5,      // PrerequisiteException: a prerequisite of the target failed
    Event = 6,             // EventException: no component subscribes to the event
    User = 7,              // GetUserException: the daemon cannot name its user
    Daemon = 8,            // any other ControlException: the daemon reported an error
    Communication = 9,     // CommunicationException (and a failed add/delete call)
    Security = 10,         // QxSecAuth::SecAuthException: not authenticated or not authorized
    IllegalArgument = 11,  // QxPalMsg::IllegalArgumentError_t, e.g. a status level out of range
    WaitTimeout = 12,      // progress --wait: the command did not end in time
};

inline int ToInt(Exit e) { return static_cast<int>(e); }

// The worse of two statuses: the higher number, except that Failure (an
// unexpected fault) outranks every other status, and Ok ranks lowest.
Exit Worst(Exit a, Exit b);

// The status for a failing result code that the library hands back unchecked
// (addcomponent, deletecomponent, and the progress code of a failed command):
// the class the same code selects for the other requests. Ok for a code whose
// bit of value 64 is clear.
Exit StatusOfResultCode(int code);

// The table of exit statuses for --help and the README, one status a line.
std::string ExitStatusTable();

}  // namespace DaDovuCtl
