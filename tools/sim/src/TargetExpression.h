// Target expressions: which components a request selects.
//
// A target is a comma-separated list of terms; blanks around terms are
// ignored, and so are empty terms. A component is selected when any term
// selects it:
//   name        exactly that component
//   pattern     a shell-style wildcard over names: '*', '?', "[abc]", "[!a-c]"
//   @category   every component of that category ("@" followed by a name or
//               a wildcard pattern over category names)
// Matching is case-sensitive. An empty target selects nothing; "*" selects
// every component.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace DaDovuSim {

class TargetExpression {
public:
    explicit TargetExpression(std::string_view text);

    // Whether the component of that name and category is selected.
    bool Matches(const std::string& name, const std::string& category) const;

    // The terms that are plain names (no wildcard, no '@'), which a caller can
    // look up directly; and whether any term needs a scan of all components.
    const std::vector<std::string>& ExactNames() const { return exact_; }
    bool NeedsScan() const { return !patterns_.empty() || !categories_.empty(); }

private:
    std::vector<std::string> exact_;
    std::vector<std::string> patterns_;
    std::vector<std::string> categories_;  // patterns over category names
};

// Shell-style wildcard match of `text` against `pattern` ('*', '?', bracket
// expressions with '!' or '^' negation and ranges), case-sensitive.
bool WildcardMatch(std::string_view pattern, std::string_view text);

}  // namespace DaDovuSim
