// What the request engine reads from the node settings file (not installed).
// Configuration is read, never written.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace DaDovu {
namespace Engine {

// The namespace that configures a messenger: "lnk.http.ext.ctrl".
const QxPalConfig::ConfigNamespace_t& MessengerSettings();

// "CERT_INSTALLED" of "sec.cm.certificates". Absent or empty means no
// certificate. A value that is not a boolean, and settings that cannot be
// read, count as installed, with `problem` saying why: a security setting
// that cannot be read must never turn TLS off. Never throws but
// std::bad_alloc.
struct CertificateSetting {
    bool installed = true;
    std::string problem;  // empty when the setting was read
};
CertificateSetting ReadCertificateSetting();

// The text that reports a CertificateSetting's problem.
QxPalStr::String_t CertificateProblemText(const std::string& problem);

// "CLOSE_CONN_AFTER_USE" of "ctrl". Throws what reading settings throws.
bool ReadCloseConnectionAfterUse();

}  // namespace Engine
}  // namespace DaDovu
