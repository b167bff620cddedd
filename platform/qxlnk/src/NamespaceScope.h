// The namespace declarations in scope while a response is read (not installed).
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace QxLnkImpl {

// The prefixes declared by the open elements of one document, innermost
// first, with the checks that namespace-aware parsing makes. Resolving a name
// costs O(1) expected however many declarations are in scope: a salted hash
// table maps each prefix to its innermost declaration. Copying keeps the
// capacity of the copy's buffers, so that a saved scope is restored without
// allocating. Not synchronised.
class NamespaceScope {
public:
    struct Name {
        std::string_view uri, local, prefix;  // views of the scope and of the raw name
    };

    NamespaceScope();

    // Declares `prefix` ("" for the default namespace) as `uri` on the element
    // at `depth`. Returns XML_ERROR_NONE, or the error for a declaration that
    // namespaces forbid (nothing is declared then).
    XML_Error Declare(std::string_view prefix, std::string_view uri, int depth);
    // Splits `raw` into prefix and local name and finds the prefix's
    // namespace. Returns XML_ERROR_NONE, or the error for a name that is not
    // namespace well-formed or a prefix that is not declared.
    XML_Error Resolve(std::string_view raw, Name& name) const;
    // Ends the declarations of the element at `depth`, the innermost open one.
    void Pop(int depth);
    // Forgets every declaration.
    void Clear();

private:
    struct Binding {
        std::size_t prefixAt, prefixLength, uriAt, uriLength;
        int depth;
        std::uint32_t shadowed;  // the slot's previous entry: 0, or 1 + the binding this one hides
        std::size_t slot;
    };

    std::string_view PrefixOf(std::size_t binding) const;
    std::size_t Find(std::string_view prefix) const;
    void Rehash(std::size_t slots);

    std::vector<Binding> bindings_;
    std::string text_;                 // the prefixes and URIs of bindings_
    std::vector<std::uint32_t> slots_; // 0 for empty, else 1 + the innermost binding of a prefix
    std::size_t prefixes_ = 0;         // distinct prefixes in slots_
    std::uint64_t salt_;
};

}  // namespace QxLnkImpl
