#include "Ctl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace E2e {

ProcessResult Ctl(const std::vector<std::string>& args, const std::string& config) {
    std::vector<std::string> argv{DADOVUCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, Env{{"QXPAL_CONFIG", config}}, std::chrono::seconds(20));
}

std::string Describe(const ProcessResult& r) {
    std::string text = "exit " + std::to_string(r.exitStatus);
    if (r.signal != 0) text += " (signal " + std::to_string(r.signal) + ")";
    if (r.timedOut) text += " (timed out)";
    return text + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

int ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    if (!ok) throw std::runtime_error("bind failed");
    return ntohs(addr.sin_port);
}

}  // namespace E2e
