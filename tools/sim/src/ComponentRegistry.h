// The components the daemon knows, with their run-time state, and the order
// in which a command visits them. Not synchronised: CommandEngine holds its
// lock around every use.
//
// A registry is cheap to copy: definitions (with their XML text) and the
// table of who needs whom are shared, immutable, between copies, and only
// the run-time state of each component is a copy's own. A simulated fleet
// loads its definitions once and gives every node a copy; a node that adds
// or removes a component gets its own table of dependents at that moment.
#pragma once

#include "ComponentDefinition.h"
#include "TargetExpression.h"

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace DaDovuSim {

// What never changes about a component once it is defined: shared by every
// registry copy that holds the component.
struct SharedDefinition {
    ComponentDefinition definition;
    std::string xml;  // DefinitionToXml(definition), made once
};

struct ComponentEntry {
    std::shared_ptr<const SharedDefinition> shared;  // never null
    const ComponentDefinition& Definition() const { return shared->definition; }
    const std::string& Xml() const { return shared->xml; }

    ComponentState state = ComponentState::Stopped;
    std::string pid;  // simulated process ID while running or stopping, else ""
    // The last value received for each subscribed event that has received one.
    std::map<std::string, std::string, std::less<>> lastValues;
    unsigned long long notifications = 0;
};

class ComponentRegistry {
public:
    // Adds all definitions or none. Throws DefinitionError naming the first
    // problem: a name given twice or already known, a prerequisite that names
    // no component (known or among `definitions`), or a prerequisite cycle
    // ("prerequisite cycle: a -> b -> a").
    void AddAll(std::vector<ComponentDefinition> definitions);

    // Adds one definition; returns Result::kSuccess, kAlreadyExists or
    // kUnknownPrerequisite (a single addition cannot close a cycle: nothing
    // known can name the new component, and none names itself).
    int Add(ComponentDefinition definition);

    // Removes a component; returns Result::kSuccess, kUnknownComponent,
    // kStillRequired (another component names it as a prerequisite) or kBusy
    // (starting or stopping).
    int Remove(std::string_view name);

    ComponentEntry* Find(std::string_view name);
    const ComponentEntry* Find(std::string_view name) const;

    // The selected components' names, in name order.
    std::vector<std::string> Select(const TargetExpression& target) const;

    // The order in which starting `selected` visits components: every
    // prerequisite (transitively) before the components that need it, each
    // component once. Names no longer known are kept in place (the caller
    // reports them).
    std::vector<std::string> StartOrder(const std::vector<std::string>& selected) const;

    // The order in which stopping `selected` visits components: the selected
    // ones plus every component that (transitively) needs one of them and is
    // not stopped, dependents before the components they need.
    std::vector<std::string> StopOrder(const std::vector<std::string>& selected) const;

    std::size_t Size() const { return entries_.size(); }
    const std::map<std::string, ComponentEntry, std::less<>>& Entries() const { return entries_; }

private:
    using Dependents = std::map<std::string, std::set<std::string, std::less<>>, std::less<>>;

    std::map<std::string, ComponentEntry, std::less<>> entries_;
    // For each component, the components that name it as a prerequisite.
    // Shared between copies; never null; changed only through MutableDependents.
    std::shared_ptr<Dependents> dependents_ = std::make_shared<Dependents>();

    // The table of dependents, first copied when another registry shares it.
    Dependents& MutableDependents();
    void Insert(ComponentDefinition definition, Dependents& dependents);
};

}  // namespace DaDovuSim
