#include "Fleet.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace DaDovuSim {

namespace {

constexpr std::uint32_t kHostsPerBlock = 254;  // host bytes 1..254

std::uint64_t SplitMix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::size_t Share(std::size_t count, double share) {
    return static_cast<std::size_t>(std::llround(static_cast<double>(count) * share));
}

bool IsShare(double share) { return share >= 0 && share <= 1; }  // false for NaN

}  // namespace

std::uint32_t FleetNodeAddress(std::size_t index) {
    const auto block = static_cast<std::uint32_t>(index / kHostsPerBlock) + 1;  // 127.0.1.0 is block 1
    const auto host = static_cast<std::uint32_t>(index % kHostsPerBlock) + 1;
    return (127u << 24) | (block << 8) | host;
}

std::optional<std::size_t> FleetNodeIndex(std::uint32_t address, std::size_t count) {
    if ((address >> 24) != 127) return std::nullopt;
    const std::uint32_t host = address & 0xFF;
    const std::uint32_t block = (address >> 8) & 0xFFFF;
    if (host == 0 || host == 255 || block == 0) return std::nullopt;
    const std::size_t index = std::size_t{block - 1} * kHostsPerBlock + (host - 1);
    if (index >= count) return std::nullopt;
    return index;
}

std::string Ipv4Text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::vector<NodeRole> DrawNodeRoles(std::size_t count, double deadShare, double refuseShare, std::uint64_t seed) {
    if (!IsShare(deadShare) || !IsShare(refuseShare) || deadShare + refuseShare > 1 + 1e-9)
        throw std::invalid_argument("the shares of dead and refusing nodes must be 0..1 and add up to at most 1");
    const std::size_t dead = Share(count, deadShare);
    const std::size_t refusing = std::min(Share(count, refuseShare), count - std::min(dead, count));
    std::vector<NodeRole> roles(count, NodeRole::Live);
    if (dead + refusing == 0) return roles;
    // The first dead + refusing places of a Fisher-Yates shuffle of the
    // indices, drawn from the seed: the first `dead` die, the rest refuse.
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < dead + refusing && i < count; ++i) {
        const std::size_t j = i + static_cast<std::size_t>(SplitMix64(state) % (count - i));
        std::swap(order[i], order[j]);
        roles[order[i]] = i < dead ? NodeRole::Dead : NodeRole::Refusing;
    }
    return roles;
}

Fleet::Fleet(const FleetOptions& options, std::vector<ComponentDefinition> definitions,
             const EngineOptions& engineOptions, SecurityPolicy policy) {
    if (options.nodes < 1 || options.nodes > kMaxFleetAddresses)
        throw std::invalid_argument("a fleet has 1.." + std::to_string(kMaxFleetAddresses) + " nodes");
    roles_ = DrawNodeRoles(options.nodes, options.deadShare, options.refuseShare, options.seed);
    base_.AddAll(std::move(definitions));
    scheduler_ = std::make_shared<Scheduler>();
    const auto sharedPolicy = std::make_shared<const SecurityPolicy>(std::move(policy));
    nodes_.reserve(options.nodes);
    for (std::size_t i = 0; i < options.nodes; ++i) {
        nodes_.push_back(std::make_unique<Node>(engineOptions, scheduler_, sharedPolicy));
        nodes_.back()->engine.LoadShared(base_);
    }
}

Fleet::~Fleet() { Shutdown(); }

std::size_t Fleet::Count(NodeRole role) const { return static_cast<std::size_t>(std::count(roles_.begin(), roles_.end(), role)); }

void Fleet::Shutdown() {
    for (auto& node : nodes_) node->engine.Shutdown();
}

}  // namespace DaDovuSim
