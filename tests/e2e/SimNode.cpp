#include "SimNode.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace E2e {

SimNode::SimNode(const std::string& componentsDir, const std::vector<std::string>& extraArgs)
    : logPath_(dir_.Path() + "/sim.log") {
    std::vector<std::string> argv{DADOVU_SIM_PATH, "--listen", "127.0.0.1:0", "--components", componentsDir};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<ChildProcess>(argv, Env{}, logPath_);
    try {
        uri_ = process_->ReadLine(std::chrono::seconds(10));
    } catch (const std::exception& e) {
        process_->Stop();
        throw std::runtime_error(std::string("dadovu-sim did not come up: ") + e.what() + "\n" + Log());
    }
}

std::string SimNode::HostPort() const {
    static const std::regex hostPort(R"(^https?://([^/]+)/)");
    std::smatch m;
    if (!std::regex_search(uri_, m, hostPort)) throw std::runtime_error("no host and port in " + uri_);
    return m[1];
}

std::string SimNode::Log() const {
    std::ifstream file(logPath_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace E2e
