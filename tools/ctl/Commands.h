// The requests of dadovuctl, one Command per subcommand (see Runner.h).
#pragma once

#include "Runner.h"

#include <chrono>
#include <set>
#include <string>

namespace DaDovuCtl {

struct StartStopArgs {
    std::string target;
    bool boot = false;   // start: as part of the node's boot
    bool kill = false;   // stop: without waiting for the components to end
    bool async = false;  // answer at once with the request ID (printed)
};

struct NotifyArgs {
    std::string event, value, target;
};

struct StatusArgs {
    std::string target;
    int level = 1;           // passed unchecked: the library refuses levels outside 0..7
    bool list = false;       // the component table instead of the daemon's text
    bool noHeaders = false;  // the table without its heading
};

// What a progress code says: the command is still running when the code is
// one of `running`; otherwise it has ended, in failure when the code's bit of
// value 64 is set (the same rule as for every result code), else in success.
struct ProgressCodes {
    std::set<int> running{1};
};

struct ProgressArgs {
    unsigned long long requestId = 0;
    bool wait = false;
    std::chrono::milliseconds waitTimeout{60000};  // --wait: give up after this long
    std::chrono::milliseconds interval{200};       // --wait: between two requests
    ProgressCodes codes;
};

Command StartCommand(const StartStopArgs& args);
Command StopCommand(const StartStopArgs& args);
Command NotifyCommand(const NotifyArgs& args);
Command StatusCommand(const StatusArgs& args);
Command UserCommand();
// Asks until the command ends when `args.wait`: a daemon that cannot be
// reached (not sent, no answer) is asked again until the wait's end.
Command ProgressCommand(const ProgressArgs& args);
Command AddCommand(const std::string& fileName);
Command DeleteCommand(const std::string& componentName);

// `uri NODE [--locate]`: prints the endpoint URI of the node's control
// daemon; with `json`, as the one line a request's node prints.
Exit PrintUri(const std::string& node, bool locate, bool https, bool json);

}  // namespace DaDovuCtl
