// Namespace declarations in scope, resolved through a salted hash table.

#include "NamespaceScope.h"

#include <algorithm>
#include <atomic>
#include <random>

namespace QxLnkImpl {

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";
constexpr std::size_t kInitialSlots = 16;  // a power of two, as every table size

// One random value per process, drawn once, and a distinct salt per scope
// from it: a peer cannot choose prefixes that collide.
std::uint64_t NextSalt() {
    static const std::uint64_t seed = [] {
        std::random_device entropy;
        return (static_cast<std::uint64_t>(entropy()) << 32) ^ entropy();
    }();
    static std::atomic<std::uint64_t> counter{0};
    return seed ^ (0x9E3779B97F4A7C15ULL * (counter.fetch_add(1, std::memory_order_relaxed) + 1));
}

// FNV-1a from a salted basis, then the splitmix64 finalizer to spread the bits.
std::uint64_t Hash(std::string_view text, std::uint64_t salt) {
    std::uint64_t h = salt;
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 31);
}

}  // namespace

NamespaceScope::NamespaceScope() : slots_(kInitialSlots, 0), salt_(NextSalt()) {}

std::string_view NamespaceScope::PrefixOf(std::size_t binding) const {
    const Binding& b = bindings_[binding];
    return std::string_view(text_).substr(b.prefixAt, b.prefixLength);
}

// The slot that holds `prefix`, or the empty slot where it would go.
std::size_t NamespaceScope::Find(std::string_view prefix) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = static_cast<std::size_t>(Hash(prefix, salt_)) & mask;
    while (slots_[slot] != 0 && PrefixOf(slots_[slot] - 1) != prefix) slot = (slot + 1) & mask;
    return slot;
}

// Rebuilds the table with `slots` slots, entering the bindings in the order
// they were declared, so that each prefix maps to its innermost binding.
void NamespaceScope::Rehash(std::size_t slots) {
    slots_.assign(slots, 0);
    for (std::size_t i = 0; i < bindings_.size(); ++i) {
        const std::size_t slot = Find(PrefixOf(i));
        bindings_[i].shadowed = slots_[slot];
        bindings_[i].slot = slot;
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
}

XML_Error NamespaceScope::Declare(std::string_view prefix, std::string_view uri, int depth) {
    if (prefix == "xmlns") return XML_ERROR_RESERVED_PREFIX_XMLNS;
    if ((prefix == "xml") != (uri == kXmlNamespace))
        return prefix == "xml" ? XML_ERROR_RESERVED_PREFIX_XML : XML_ERROR_RESERVED_NAMESPACE_URI;
    if (uri == kXmlnsNamespace) return XML_ERROR_RESERVED_NAMESPACE_URI;
    if (uri.empty() && !prefix.empty()) return XML_ERROR_UNDECLARING_PREFIX;
    // At most half the slots in use keeps the probes short.
    if (2 * (prefixes_ + 1) > slots_.size()) Rehash(2 * slots_.size());
    Binding binding;
    binding.prefixAt = text_.size();
    binding.prefixLength = prefix.size();
    binding.uriAt = binding.prefixAt + prefix.size();
    binding.uriLength = uri.size();
    binding.depth = depth;
    text_.append(prefix);
    text_.append(uri);
    bindings_.push_back(binding);
    const std::size_t slot = Find(prefix);
    bindings_.back().slot = slot;
    bindings_.back().shadowed = slots_[slot];
    if (slots_[slot] == 0) ++prefixes_;
    slots_[slot] = static_cast<std::uint32_t>(bindings_.size());
    return XML_ERROR_NONE;
}

// Declarations end in the reverse of their order, so the prefix a binding
// added to the table is the last one added that is still there: emptying its
// slot breaks no other prefix's probe sequence.
void NamespaceScope::Pop(int depth) {
    while (!bindings_.empty() && bindings_.back().depth == depth) {
        const Binding& binding = bindings_.back();
        slots_[binding.slot] = binding.shadowed;
        if (binding.shadowed == 0) --prefixes_;
        text_.resize(binding.prefixAt);
        bindings_.pop_back();
    }
}

void NamespaceScope::Clear() {
    bindings_.clear();
    text_.clear();
    prefixes_ = 0;
    // A table a large document grew is not kept for the next one.
    if (slots_.size() > 4 * kInitialSlots) {
        slots_.assign(kInitialSlots, 0);
    } else {
        std::fill(slots_.begin(), slots_.end(), 0);
    }
}

XML_Error NamespaceScope::Resolve(std::string_view raw, Name& name) const {
    const std::size_t colon = raw.find(':');
    if (colon == std::string_view::npos) {
        name.prefix = std::string_view();
        name.local = raw;
    } else {
        name.prefix = raw.substr(0, colon);
        name.local = raw.substr(colon + 1);
        if (name.prefix.empty() || name.local.empty() || name.local.find(':') != std::string_view::npos)
            return XML_ERROR_SYNTAX;
    }
    const std::uint32_t entry = slots_[Find(name.prefix)];
    if (entry != 0) {
        const Binding& binding = bindings_[entry - 1];
        name.uri = std::string_view(text_).substr(binding.uriAt, binding.uriLength);
        return XML_ERROR_NONE;
    }
    name.uri = std::string_view();
    if (name.prefix.empty()) return XML_ERROR_NONE;
    if (name.prefix == "xml") {
        name.uri = kXmlNamespace;
        return XML_ERROR_NONE;
    }
    return XML_ERROR_UNBOUND_PREFIX;
}

}  // namespace QxLnkImpl
