// Locating the servers of a node from the node settings.

#include <qxlnk/cb.h>
#include <qxlnk/exceptions.h>

#include "Errors.h"

#include <qxpal/config.h>

namespace QxLnkCb {

void LocateServer(const char* node, const char* server, QxPalStr::String_t& host, QxPalStr::String_t& protocol,
                  int& port) {
    const std::string nodeName = node != nullptr ? node : "";
    const std::string serverName = server != nullptr ? server : "";
    const QxPalConfig::Configuration_t servers = QxPalConfig::ConfigNamespace_t("lnk.cb.servers").Open();
    const std::string* value = serverName.empty() ? nullptr : servers.Find(serverName);
    if (value == nullptr)
        throw QxLnkRpc::RpcException(QxLnkImpl::ErrorMessage("The server '" + QxLnkImpl::Printable(serverName) +
                                                             "' is not known on node '" +
                                                             QxLnkImpl::Printable(nodeName) + "'"));
    std::size_t first = value->find_first_not_of(" \t");
    std::size_t last = value->find_last_not_of(" \t");
    long number = -1;
    if (first != std::string::npos && last - first < 6) {
        number = 0;
        for (std::size_t i = first; i <= last && number >= 0; ++i) {
            const char c = (*value)[i];
            number = (c >= '0' && c <= '9') ? number * 10 + (c - '0') : -1;
        }
    }
    if (number < 1 || number > 65535)
        throw QxLnkRpc::RpcException(QxLnkImpl::ErrorMessage(
            "The server '" + QxLnkImpl::Printable(serverName) + "' on node '" + QxLnkImpl::Printable(nodeName) +
            "' has the invalid port '" + QxLnkImpl::Printable(*value) + "'"));
    host = QxPalStr::String_t(nodeName.c_str());
    protocol = "http";
    port = static_cast<int>(number);
}

}  // namespace QxLnkCb
