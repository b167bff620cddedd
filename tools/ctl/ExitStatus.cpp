#include "ExitStatus.h"

namespace DaDovuCtl {

namespace {

int Rank(Exit e) {
    if (e == Exit::Failure) return 1000;
    return ToInt(e);
}

}  // namespace

Exit Worst(Exit a, Exit b) { return Rank(b) > Rank(a) ? b : a; }

Exit StatusOfResultCode(int code) {
    if ((code & 64) == 0) return Exit::Ok;
    switch (code) {
        case 64: return Exit::Component;
        case 65: return Exit::Target;
        case 70:
        case 74: return Exit::Security;
        case 71: return Exit::Prerequisite;
        case 73: return Exit::Event;
        case 75: return Exit::User;
        default: return Exit::Daemon;
    }
}

std::string ExitStatusTable() {
    return "Exit status:\n"
           "   0  success\n"
           "   1  any other failure\n"
           "   2  usage: the command line is wrong\n"
           "   3  no component matches the target\n"
           "   4  the target component reported an error\n"
           "   5  a prerequisite of the target failed\n"
           "   6  no component subscribes to the event\n"
           "   7  the daemon cannot name the user of its processes\n"
           "   8  the daemon reported another error (see its log)\n"
           "   9  communication failed (node unreachable, TLS, timeout, bad answer)\n"
           "  10  security: not authenticated or not authorized\n"
           "  11  illegal argument (e.g. a status level outside 0..7)\n"
           "  12  progress --wait: the command did not end before --timeout\n"
           "A command followed by progress that ended in failure gives the status\n"
           "its code selects (e.g. 4 when a component failed), as start and stop do.\n"
           "With several --node options the status is the worst of the nodes':\n"
           "the highest number, except that 1 outranks all others.\n";
}

}  // namespace DaDovuCtl
