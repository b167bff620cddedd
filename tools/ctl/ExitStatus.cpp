#include "ExitStatus.h"

namespace DaDovuCtl {

namespace {

int Rank(Exit e) {
    if (e == Exit::Failure) return 1000;
    return ToInt(e);
}

}  // namespace

Exit Worst(Exit a, Exit b) { return Rank(b) > Rank(a) ? b : a; }

Exit StatusOfKind(DaDovu::ErrorKind kind) {
    using DaDovu::ErrorKind;
    switch (kind) {
    case ErrorKind::NoMatchingComponent: return Exit::Target;
    case ErrorKind::ComponentFailed: return Exit::Component;
    case ErrorKind::PrerequisiteFailed: return Exit::Prerequisite;
    case ErrorKind::EventNotSubscribed: return Exit::Event;
    case ErrorKind::UserUnknown: return Exit::User;
    case ErrorKind::DaemonError: return Exit::Daemon;
    case ErrorKind::NotSent:
    case ErrorKind::NoAnswer:
    case ErrorKind::Tls:
    case ErrorKind::MalformedAnswer: return Exit::Communication;
    case ErrorKind::NotAuthenticated:
    case ErrorKind::NotAuthorized: return Exit::Security;
    case ErrorKind::InvalidArgument: return Exit::IllegalArgument;
    }
    return Exit::Failure;
}

DaDovu::ErrorKind KindOfResultCode(int code) {
    using DaDovu::ErrorKind;
    switch (code) {
    case 64: return ErrorKind::ComponentFailed;
    case 65: return ErrorKind::NoMatchingComponent;
    case 70: return ErrorKind::NotAuthorized;
    case 71: return ErrorKind::PrerequisiteFailed;
    case 73: return ErrorKind::EventNotSubscribed;
    case 74: return ErrorKind::NotAuthenticated;
    case 75: return ErrorKind::UserUnknown;
    default: return ErrorKind::DaemonError;
    }
}

Exit StatusOfResultCode(int code) {
    if ((code & 64) == 0) return Exit::Ok;
    return StatusOfKind(KindOfResultCode(code));
}

const char* KindName(DaDovu::ErrorKind kind) {
    using DaDovu::ErrorKind;
    switch (kind) {
    case ErrorKind::NoMatchingComponent: return "no_matching_component";
    case ErrorKind::ComponentFailed: return "component_failed";
    case ErrorKind::PrerequisiteFailed: return "prerequisite_failed";
    case ErrorKind::EventNotSubscribed: return "event_not_subscribed";
    case ErrorKind::UserUnknown: return "user_unknown";
    case ErrorKind::NotAuthenticated: return "not_authenticated";
    case ErrorKind::NotAuthorized: return "not_authorized";
    case ErrorKind::DaemonError: return "daemon_error";
    case ErrorKind::NotSent: return "not_sent";
    case ErrorKind::NoAnswer: return "no_answer";
    case ErrorKind::Tls: return "tls";
    case ErrorKind::MalformedAnswer: return "malformed_answer";
    case ErrorKind::InvalidArgument: return "invalid_argument";
    }
    return "failure";
}

std::string ExitStatusTable() {
    return "Exit status:\n"
           "   0  success\n"
           "   1  any other failure, and a write error on standard output\n"
           "   2  usage: the command line or the nodes file is wrong\n"
           "   3  no component matches the target (delete: no component of that name)\n"
           "   4  a component of the target failed\n"
           "   5  a prerequisite of the target failed\n"
           "   6  no component subscribes to the event\n"
           "   7  the daemon cannot name the user of its processes\n"
           "   8  the daemon reported another error (add and delete: a refusal, in words)\n"
           "   9  communication failed (not sent, no answer, TLS, malformed answer)\n"
           "  10  security: not authenticated or not authorized\n"
           "  11  invalid argument (e.g. a status level outside 0..7, or add: not a plain file name)\n"
           "  12  progress --wait: the command did not end before --wait-timeout\n"
           "  13  progress: the daemon does not know the request ID (never, or no longer)\n"
           " 130  the run was interrupted by SIGINT (143: by SIGTERM)\n"
           "A command followed by progress that ended in failure gives the status\n"
           "its code selects (e.g. 4 when a component failed), as start and stop do.\n"
           "With several nodes the status is the worst of the nodes': the highest\n"
           "number, except that 1 outranks all others; 2 when the nodes file has a\n"
           "bad line, 130 or 143 when the run was interrupted.\n";
}

}  // namespace DaDovuCtl
