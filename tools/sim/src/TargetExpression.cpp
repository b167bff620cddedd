#include "TargetExpression.h"

#include <fnmatch.h>

namespace DaDovuSim {

namespace {

bool HasWildcard(std::string_view term) { return term.find_first_of("*?[") != std::string_view::npos; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view text) {
    // fnmatch wants NUL-terminated strings; a pattern or text with an embedded
    // NUL cannot name a component anyway.
    if (pattern.find('\0') != std::string_view::npos || text.find('\0') != std::string_view::npos) return false;
    return fnmatch(std::string(pattern).c_str(), std::string(text).c_str(), 0) == 0;
}

TargetExpression::TargetExpression(std::string_view text) {
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string_view term = Trim(text.substr(0, comma));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        if (term.empty()) continue;
        if (term.front() == '@') {
            term.remove_prefix(1);
            if (!term.empty()) categories_.emplace_back(term);
        } else if (HasWildcard(term)) {
            patterns_.emplace_back(term);
        } else {
            exact_.emplace_back(term);
        }
    }
}

bool TargetExpression::Matches(const std::string& name, const std::string& category) const {
    for (const auto& exact : exact_)
        if (exact == name) return true;
    // Stored names and categories never hold a NUL, so c_str() is the whole text.
    for (const auto& pattern : patterns_)
        if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
    if (!category.empty())
        for (const auto& pattern : categories_)
            if (fnmatch(pattern.c_str(), category.c_str(), 0) == 0) return true;
    return false;
}

}  // namespace DaDovuSim
