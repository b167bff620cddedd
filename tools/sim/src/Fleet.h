// A simulated fleet: many independent nodes in one process, each with its
// own components, states, request IDs and process IDs, reached at its own
// loopback address on one port.
//
// Addresses: node 1 is 127.0.1.1, node 2 127.0.1.2, ... node 254 127.0.1.254,
// node 255 127.0.2.1, and so on: host bytes 0 and 255 are skipped, and the
// count continues through the second and third bytes (127.0.255.254, then
// 127.1.0.1, ...). Nothing below 127.0.1.0 is a node, so 127.0.0.1 stays the
// machine's own.
//
// Roles: a share of the nodes may be dead (they accept connections and never
// answer) or refusing (their connections are refused). Which ones is drawn
// from a seed, the same for the same seed, node count and shares.
//
// Memory: the definitions are loaded and checked once and shared by every
// node (ComponentRegistry); a node holds only the run-time state of each of
// its components and of its commands.
#pragma once

#include "CommandEngine.h"
#include "ComponentDefinition.h"
#include "ControlService.h"
#include "Scheduler.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace DaDovuSim {

// At most this many nodes: 254 host addresses in each of the 65535 /24
// blocks from 127.0.1.0 to 127.255.255.0.
inline constexpr std::size_t kMaxFleetAddresses = std::size_t{254} * 65535;

// The IPv4 address (host byte order) of node `index`, counted from 0 (node 1
// of the README is index 0).
std::uint32_t FleetNodeAddress(std::size_t index);
// The index of the node at `address` (host byte order) in a fleet of
// `count` nodes, or nothing when it is none of them.
std::optional<std::size_t> FleetNodeIndex(std::uint32_t address, std::size_t count);
// "127.0.1.1".
std::string Ipv4Text(std::uint32_t address);

enum class NodeRole : std::uint8_t {
    Live,      // answers
    Dead,      // accepts connections and never answers
    Refusing,  // refuses connections
};

// Roles for `count` nodes: round(count * deadShare) dead ones and
// round(count * refuseShare) refusing ones, drawn from `seed` (a shuffle by a
// SplitMix64 sequence, so the same on every machine). The shares are 0..1
// and add up to at most 1.
std::vector<NodeRole> DrawNodeRoles(std::size_t count, double deadShare, double refuseShare, std::uint64_t seed);

struct FleetOptions {
    std::size_t nodes = 1;
    double deadShare = 0;
    double refuseShare = 0;
    std::uint64_t seed = 1;
};

class Fleet {
public:
    // Every node gets `definitions` (checked as ComponentRegistry::AddAll
    // does: throws DefinitionError), `engineOptions` and `policy`. Throws
    // std::invalid_argument for a node count outside 1..kMaxFleetAddresses
    // or shares that are not 0..1 or add up to more than 1.
    Fleet(const FleetOptions& options, std::vector<ComponentDefinition> definitions,
          const EngineOptions& engineOptions, SecurityPolicy policy);
    ~Fleet();  // Shutdown()
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    std::size_t Size() const { return roles_.size(); }
    NodeRole Role(std::size_t index) const { return roles_[index]; }
    std::size_t Count(NodeRole role) const;
    CommandEngine& Engine(std::size_t index) { return nodes_[index]->engine; }
    const ControlService& Service(std::size_t index) const { return nodes_[index]->service; }
    // Components each node was given.
    std::size_t ComponentCount() const { return base_.Size(); }

    // Shuts every node's engine down (CommandEngine::Shutdown). Idempotent.
    void Shutdown();

private:
    struct Node {
        Node(const EngineOptions& options, const std::shared_ptr<Scheduler>& scheduler,
             const std::shared_ptr<const SecurityPolicy>& policy)
            : engine(options, scheduler), service(policy, engine) {}
        CommandEngine engine;
        ControlService service;
    };

    // Kept for the fleet's life, so that what its nodes share stays shared
    // (a node's change to the shared dependents table always copies it).
    ComponentRegistry base_;
    std::shared_ptr<Scheduler> scheduler_;
    std::vector<NodeRole> roles_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace DaDovuSim
