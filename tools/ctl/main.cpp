// dadovuctl: asks the control daemons of one node or of many to start and
// stop components, send events, report status and follow commands, from the
// command line.

#include "CommandLine.h"
#include "Commands.h"
#include "Completion.h"
#include "ExitStatus.h"
#include "NodeInput.h"
#include "Output.h"
#include "Runner.h"
#include "SettingsCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using namespace DaDovuCtl;

// A standard descriptor the caller left closed would be reused by the first
// file or socket opened, and output meant for it would land there: each is
// held by /dev/null opened for the other direction, so that writing to a
// closed standard output fails as it should ("write error").
void HoldClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int held = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
}

int Main(int argc, char** argv) {
    CommandLine commandLine;
    if (const std::optional<int> status = commandLine.Parse(argc, argv)) return *status;
    const Invocation& inv = commandLine.Get();

    if (inv.command == "completion") {
        std::cout << (inv.shell == "bash" ? BashCompletion(commandLine.App()) : ZshCompletion(commandLine.App()));
        return ToInt(Exit::Ok);
    }

    // Before the first request: the library reads the settings afresh from here on.
    if (!inv.config.empty() && ::setenv("QXPAL_CONFIG", inv.config.c_str(), 1) != 0) {
        std::cerr << "dadovuctl: cannot set QXPAL_CONFIG\n";
        return ToInt(Exit::Failure);
    }
    const SettingsFindings settings = CheckSettingsFile(inv.config);
    if (!settings.error.empty()) {
        std::cerr << "dadovuctl: " << settings.error << "\n";
        return ToInt(Exit::Usage);
    }
    if (!inv.run.quiet)
        for (const std::string& warning : settings.warnings) std::cerr << "dadovuctl: warning: " << warning << "\n";

    if (inv.command == "uri") return ToInt(PrintUri(inv.uriNode, inv.locate, inv.run.https, inv.run.json));

    Command command;
    if (inv.command == "start") {
        command = StartCommand(inv.startStop);
    } else if (inv.command == "stop") {
        command = StopCommand(inv.startStop);
    } else if (inv.command == "notify") {
        command = NotifyCommand(inv.notify);
    } else if (inv.command == "status") {
        command = StatusCommand(inv.status);
    } else if (inv.command == "user") {
        command = UserCommand();
    } else if (inv.command == "progress") {
        command = ProgressCommand(inv.progress);
    } else if (inv.command == "add") {
        command = AddCommand(inv.addFile);
    } else {
        command = DeleteCommand(inv.deleteName);
    }
    try {
        return Run(inv.run, command);
    } catch (const UsageError& e) {
        std::cerr << "dadovuctl: " << e.what() << "\n";
        return ToInt(Exit::Usage);
    }
}

// What a write error on standard output turns `status` into: like coreutils
// and git, "write error" and a failure, as the output is not what was asked.
int CheckedOutput(int status) {
    errno = 0;
    std::cout.flush();
    const bool failed = !std::cout || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (failed) {
        const int error = errno;
        std::cerr << "dadovuctl: write error" << (error != 0 ? std::string(": ") + std::strerror(error) : "") << "\n";
        status = ToInt(Exit::Failure);
    }
    std::cerr.flush();
    if (!std::cerr || std::fflush(stderr) != 0 || std::ferror(stderr) != 0) return ToInt(Exit::Failure);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    HoldClosedStandardDescriptors();
    int status = ToInt(Exit::Failure);
    try {
        status = Main(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "dadovuctl: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "dadovuctl: unknown failure\n";
    }
    return CheckedOutput(status);
}
