// dadovuctl's look at the node settings file before a run: the library reads
// it leniently and quietly, skipping what it cannot parse; an operator wants
// to hear about a misspelt key or a file that is not settings at all.
#pragma once

#include <string>
#include <vector>

namespace DaDovuCtl {

struct SettingsFindings {
    std::string error;                  // the file cannot be used at all; empty when it can
    std::vector<std::string> warnings;  // "FILE:LINE: ..." each
};

// Checks the settings file the library will read: `path` when not empty
// (--config), else $QXPAL_CONFIG, else /etc/qxpal/node.conf. A file named by
// --config or QXPAL_CONFIG that cannot be read is an error (the TLS settings
// would be lost with it); the default file may be missing. Warns of lines
// that do not parse and of unknown keys in the sections dadovuctl's requests
// read ([lnk.http.ext.ctrl], [sec.cm.certificates], [ctrl]), at most
// `maxWarnings` lines and a count of the rest.
SettingsFindings CheckSettingsFile(const std::string& path, std::size_t maxWarnings = 8);

}  // namespace DaDovuCtl
