#include "SettingsCheck.h"

#include "Output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace DaDovuCtl {

namespace {

const char kDefaultPath[] = "/etc/qxpal/node.conf";

// The keys the requests read, by section.
const std::map<std::string, std::set<std::string>>& KnownKeys() {
    static const std::map<std::string, std::set<std::string>> known{
        {"lnk.http.ext.ctrl",
         {"TIMEOUT_MS", "CONNECT_TIMEOUT_MS", "MAX_RESPONSE_BYTES", "VERIFY_PEER", "CA_FILE", "CA_DIR", "CLIENT_CERT",
          "CLIENT_KEY", "MAX_IDLE_CONNECTIONS"}},
        {"sec.cm.certificates", {"CERT_INSTALLED"}},
        {"ctrl", {"CLOSE_CONN_AFTER_USE"}},
    };
    return known;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r";
    const std::size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// The known key closest to `key`: the same but for case, or a prefix of it
// ("TIMEOUT" for "TIMEOUT_MS"), or one edit away.
std::string Closest(const std::string& key, const std::set<std::string>& known) {
    for (const std::string& candidate : known)
        if (::strcasecmp(candidate.c_str(), key.c_str()) == 0) return candidate;
    for (const std::string& candidate : known)
        if (key.size() >= 4 && candidate.compare(0, key.size(), key) == 0) return candidate;
    for (const std::string& candidate : known) {
        if (candidate.size() + 1 < key.size() || key.size() + 1 < candidate.size()) continue;
        std::size_t i = 0, j = 0, edits = 0;
        while (i < key.size() && j < candidate.size() && edits <= 1) {
            if (key[i] == candidate[j]) {
                ++i, ++j;
            } else {
                ++edits;
                if (key.size() > candidate.size()) {
                    ++i;
                } else if (key.size() < candidate.size()) {
                    ++j;
                } else {
                    ++i, ++j;
                }
            }
        }
        edits += (key.size() - i) + (candidate.size() - j);
        if (edits <= 1) return candidate;
    }
    return {};
}

}  // namespace

SettingsFindings CheckSettingsFile(const std::string& flagPath, std::size_t maxWarnings) {
    SettingsFindings findings;
    std::string path = flagPath, origin = "--config";
    if (path.empty()) {
        const char* env = std::getenv("QXPAL_CONFIG");
        if (env != nullptr && *env != '\0') {
            path = env;
            origin = "QXPAL_CONFIG";
        } else {
            path = kDefaultPath;
            origin.clear();
        }
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int error = errno;
        if (origin.empty() && (error == ENOENT || error == ENOTDIR)) return findings;  // no settings: the defaults
        findings.error = (origin.empty() ? "the settings file " : origin + " names the settings file ") +
                         Sanitize(path, false) + ", which cannot be read: " + std::strerror(error) +
                         "; its TLS settings would be missed";
        return findings;
    }
    const std::string shown = Sanitize(path, false);
    std::size_t more = 0;
    const auto warn = [&](std::size_t line, const std::string& text) {
        if (findings.warnings.size() < maxWarnings) {
            findings.warnings.push_back(shown + ":" + std::to_string(line) + ": " + text);
        } else {
            ++more;
        }
    };
    const std::map<std::string, std::set<std::string>>& known = KnownKeys();
    const std::set<std::string>* section = nullptr;  // the keys of a section checked; null for the others
    std::string sectionName;
    std::string text;
    std::size_t number = 0;
    while (std::getline(file, text)) {
        ++number;
        if (number == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        const std::string line = Trim(text);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            const std::size_t close = line.find(']');
            if (close == std::string::npos) {
                warn(number, "a section line without ']': the keys below it are ignored");
                section = nullptr;
                sectionName.clear();
                continue;
            }
            sectionName = Trim(line.substr(1, close - 1));
            const auto found = known.find(sectionName);
            section = found == known.end() ? nullptr : &found->second;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || Trim(line.substr(0, eq)).empty()) {
            warn(number, "not a [section], a 'KEY = value' line or a comment: ignored");
            continue;
        }
        const std::string key = Trim(line.substr(0, eq));
        if (section == nullptr || section->count(key) != 0) continue;
        std::string warning = "unknown key '" + Sanitize(key, false) + "' in [" + sectionName + "]: ignored";
        const std::string closest = Closest(key, *section);
        if (!closest.empty()) warning += "; did you mean " + closest + "?";
        warn(number, warning);
    }
    if (more != 0) findings.warnings.push_back(shown + ": " + std::to_string(more) + " more such lines");
    return findings;
}

}  // namespace DaDovuCtl
