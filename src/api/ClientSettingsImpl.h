// The data behind ClientSettings (not installed).
#pragma once

#include <dadovu/Client.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace DaDovu {

struct ClientSettings::Impl {
    std::string endpoint;            // set by SetEndpoint: a URI
    std::string node = "localhost";  // set by SetNode, used when `endpoint` is empty
    bool secure = false;
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds callTimeout{60000};
    std::string caFile;
    std::string caDirectory;
    std::string certificateFile;
    std::string keyFile;
    bool verifyPeer = true;
    std::string targetId;
    std::size_t maxResponseBytes = std::size_t{64} << 20;
    std::size_t maxIdleConnections = 256;
    bool closeConnectionAfterUse = false;
    LogHook logHook;
    TraceHook traceHook;
};

}  // namespace DaDovu
