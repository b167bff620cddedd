// NodeSettings: the settings the request engine reads from the node
// settings file. The namespace objects only hold names: Open() reads the
// settings in force at that moment.

#include "engine/NodeSettings.h"

namespace DaDovu {
namespace Engine {

namespace {

const QxPalConfig::ConfigNamespace_t gMessengerSettings("lnk.http.ext.ctrl");
const QxPalConfig::ConfigNamespace_t gCertificateSettings("sec.cm.certificates");
const QxPalConfig::ConfigNamespace_t gControlSettings("ctrl");

}  // namespace

const QxPalConfig::ConfigNamespace_t& MessengerSettings() { return gMessengerSettings; }

CertificateSetting ReadCertificateSetting() {
    CertificateSetting setting;
    try {
        setting.installed = gCertificateSettings.Open().GetBool("CERT_INSTALLED");
        return setting;
    } catch (const QxPalMsg::Exception_t& e) {
        setting.problem = e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        setting.problem = "the settings cannot be read";
    }
    setting.installed = true;
    return setting;
}

QxPalStr::String_t CertificateProblemText(const std::string& problem) {
    return "The setting CERT_INSTALLED cannot be read as true or false; a certificate is taken as installed: " +
           QxPalStr::String_t(problem.c_str());
}

bool ReadCloseConnectionAfterUse() { return gControlSettings.Open().GetBool("CLOSE_CONN_AFTER_USE"); }

}  // namespace Engine
}  // namespace DaDovu
