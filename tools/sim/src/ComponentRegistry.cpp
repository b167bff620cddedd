#include "ComponentRegistry.h"

#include "ResultCodes.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace DaDovuSim {

namespace {

// Iterative depth-first post-order walk (chains may be far deeper than the
// stack would allow recursion): `next(name)` gives a node's successors; each
// node is passed to `emit` after all of its successors, once.
template <typename Next, typename Emit>
void PostOrder(const std::vector<std::string>& roots, Next next, Emit emit) {
    std::unordered_set<std::string> visited;
    struct Frame {
        std::string name;
        std::vector<std::string> successors;
        std::size_t index = 0;
    };
    std::vector<Frame> stack;
    for (const auto& root : roots) {
        if (!visited.insert(root).second) continue;
        stack.push_back(Frame{root, next(root), 0});
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.index < top.successors.size()) {
                std::string successor = top.successors[top.index++];
                if (visited.insert(successor).second) {
                    auto successors = next(successor);
                    stack.push_back(Frame{std::move(successor), std::move(successors), 0});
                }
                continue;
            }
            emit(top.name);
            stack.pop_back();
        }
    }
}

}  // namespace

void ComponentRegistry::AddAll(std::vector<ComponentDefinition> definitions) {
    std::unordered_map<std::string, const ComponentDefinition*> added;
    for (const auto& d : definitions) {
        if (entries_.count(d.name) != 0 || !added.emplace(d.name, &d).second)
            throw DefinitionError(d.source + ": component '" + d.name + "' is defined more than once");
    }
    for (const auto& d : definitions) {
        for (const auto& p : d.prerequisites)
            if (entries_.count(p) == 0 && added.count(p) == 0)
                throw DefinitionError(d.source + ": prerequisite '" + p + "' of component '" + d.name +
                                      "' is not defined");
    }

    // Only the new definitions can form a cycle: known components name known
    // prerequisites only. Colour 1: on the current path; 2: finished.
    std::unordered_map<std::string, int> colour;
    for (const auto& d : definitions) {
        if (colour[d.name] != 0) continue;
        std::vector<std::pair<const ComponentDefinition*, std::size_t>> path{{&d, 0}};
        colour[d.name] = 1;
        while (!path.empty()) {
            auto& [node, index] = path.back();
            if (index == node->prerequisites.size()) {
                colour[node->name] = 2;
                path.pop_back();
                continue;
            }
            const std::string& p = node->prerequisites[index++];
            const auto found = added.find(p);
            if (found == added.end()) continue;
            const int c = colour[p];
            if (c == 1) {
                std::string cycle;
                auto start = std::find_if(path.begin(), path.end(), [&](const auto& f) { return f.first->name == p; });
                for (auto it = start; it != path.end(); ++it) cycle += it->first->name + " -> ";
                throw DefinitionError(d.source + ": prerequisite cycle: " + cycle + p);
            }
            if (c == 0) {
                colour[p] = 1;
                path.emplace_back(found->second, 0);
            }
        }
    }
    // One copy of a shared table for the whole batch, and none when no
    // definition names a prerequisite.
    const bool anyPrerequisite = std::any_of(definitions.begin(), definitions.end(),
                                             [](const ComponentDefinition& d) { return !d.prerequisites.empty(); });
    Dependents* dependents = anyPrerequisite ? &MutableDependents() : dependents_.get();
    for (auto& d : definitions) Insert(std::move(d), *dependents);
}

int ComponentRegistry::Add(ComponentDefinition definition) {
    if (entries_.count(definition.name) != 0) return Result::kAlreadyExists;
    for (const auto& p : definition.prerequisites)
        if (entries_.count(p) == 0) return Result::kUnknownPrerequisite;
    Dependents* dependents = definition.prerequisites.empty() ? dependents_.get() : &MutableDependents();
    Insert(std::move(definition), *dependents);
    return Result::kSuccess;
}

ComponentRegistry::Dependents& ComponentRegistry::MutableDependents() {
    // Only a registry that holds the table can hand it to another (under the
    // owning engine's lock), so a count of one cannot grow meanwhile; a count
    // that drops concurrently only costs a needless copy.
    if (dependents_.use_count() > 1) dependents_ = std::make_shared<Dependents>(*dependents_);
    return *dependents_;
}

void ComponentRegistry::Insert(ComponentDefinition definition, Dependents& dependents) {
    for (const auto& p : definition.prerequisites) dependents[p].insert(definition.name);
    auto shared = std::make_shared<SharedDefinition>();
    shared->xml = DefinitionToXml(definition);
    shared->definition = std::move(definition);
    ComponentEntry entry;
    entry.shared = std::move(shared);
    const std::string name = entry.Definition().name;
    entries_.emplace(name, std::move(entry));
}

int ComponentRegistry::Remove(std::string_view name) {
    const auto it = entries_.find(name);
    if (it == entries_.end()) return Result::kUnknownComponent;
    {
        const auto deps = dependents_->find(name);
        if (deps != dependents_->end() && !deps->second.empty()) return Result::kStillRequired;
    }
    const ComponentState state = it->second.state;
    if (state == ComponentState::Starting || state == ComponentState::Stopping) return Result::kBusy;
    const auto& prerequisites = it->second.Definition().prerequisites;
    const bool listed = !prerequisites.empty() || dependents_->count(name) != 0;
    if (listed) {
        Dependents& dependents = MutableDependents();
        for (const auto& p : prerequisites) {
            const auto pd = dependents.find(p);
            if (pd == dependents.end()) continue;
            pd->second.erase(it->first);
            if (pd->second.empty()) dependents.erase(pd);
        }
        dependents.erase(it->first);
    }
    entries_.erase(it);
    return Result::kSuccess;
}

ComponentEntry* ComponentRegistry::Find(std::string_view name) {
    const auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : &it->second;
}

const ComponentEntry* ComponentRegistry::Find(std::string_view name) const {
    const auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> ComponentRegistry::Select(const TargetExpression& target) const {
    std::vector<std::string> names;
    if (target.NeedsScan()) {
        for (const auto& [name, entry] : entries_)
            if (target.Matches(name, entry.Definition().category)) names.push_back(name);
        return names;
    }
    for (const auto& exact : target.ExactNames())
        if (entries_.count(exact) != 0) names.push_back(exact);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<std::string> ComponentRegistry::StartOrder(const std::vector<std::string>& selected) const {
    std::vector<std::string> order;
    PostOrder(
        selected,
        [this](const std::string& name) {
            const ComponentEntry* entry = Find(name);
            return entry ? entry->Definition().prerequisites : std::vector<std::string>{};
        },
        [&order](const std::string& name) { order.push_back(name); });
    return order;
}

std::vector<std::string> ComponentRegistry::StopOrder(const std::vector<std::string>& selected) const {
    const std::unordered_set<std::string> chosen(selected.begin(), selected.end());
    std::vector<std::string> order;
    PostOrder(
        selected,
        [this](const std::string& name) {
            const auto it = dependents_->find(name);
            return it == dependents_->end() ? std::vector<std::string>{}
                                           : std::vector<std::string>(it->second.begin(), it->second.end());
        },
        [&](const std::string& name) {
            const ComponentEntry* entry = Find(name);
            if (chosen.count(name) != 0 || (entry && entry->state != ComponentState::Stopped)) order.push_back(name);
        });
    return order;
}

}  // namespace DaDovuSim
