// The registry: prerequisite order (chains, diamonds), cycles and unknown
// prerequisites refused at load time, stop order, registration codes.
#include "ComponentRegistry.h"
#include "ResultCodes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace DaDovuSim {
namespace {

ComponentDefinition Def(const std::string& name, std::vector<std::string> prerequisites = {}) {
    ComponentDefinition d;
    d.name = name;
    d.source = name + ".conf";
    d.prerequisites = std::move(prerequisites);
    return d;
}

std::size_t IndexOf(const std::vector<std::string>& order, const std::string& name) {
    return static_cast<std::size_t>(std::find(order.begin(), order.end(), name) - order.begin());
}

std::string LoadError(ComponentRegistry& registry, std::vector<ComponentDefinition> definitions) {
    try {
        registry.AddAll(std::move(definitions));
    } catch (const DefinitionError& e) {
        return e.what();
    }
    return "";
}

TEST(RegistryOrder, DiamondStartsEveryPrerequisiteOnceAndFirst) {
    // app needs left and right; both need base.
    ComponentRegistry registry;
    registry.AddAll({Def("app", {"left", "right"}), Def("left", {"base"}), Def("right", {"base"}), Def("base")});
    const auto order = registry.StartOrder({"app"});
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order.front(), "base");
    EXPECT_EQ(order.back(), "app");
    EXPECT_LT(IndexOf(order, "left"), IndexOf(order, "app"));
    EXPECT_LT(IndexOf(order, "right"), IndexOf(order, "app"));
}

TEST(RegistryOrder, DeepChainNeedsNoDeepRecursion) {
    constexpr int kDepth = 50000;
    std::vector<ComponentDefinition> definitions;
    definitions.push_back(Def("c0"));
    for (int i = 1; i < kDepth; ++i) definitions.push_back(Def("c" + std::to_string(i), {"c" + std::to_string(i - 1)}));
    ComponentRegistry registry;
    registry.AddAll(std::move(definitions));
    const auto order = registry.StartOrder({"c" + std::to_string(kDepth - 1)});
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kDepth));
    for (int i = 0; i < kDepth; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], "c" + std::to_string(i));

    const auto stop = registry.StopOrder({"c0"});
    EXPECT_EQ(stop, std::vector<std::string>{"c0"});  // the others are stopped already
}

TEST(RegistryOrder, SeveralSelectedShareTheirPrerequisites) {
    ComponentRegistry registry;
    registry.AddAll({Def("a", {"base"}), Def("b", {"base"}), Def("base")});
    const auto order = registry.StartOrder({"a", "b"});
    EXPECT_EQ(order, (std::vector<std::string>{"base", "a", "b"}));
}

TEST(RegistryOrder, StopTakesRunningDependentsFirst) {
    ComponentRegistry registry;
    registry.AddAll({Def("app", {"mid"}), Def("mid", {"base"}), Def("base"), Def("idle", {"base"})});
    for (const char* name : {"app", "mid", "base"}) registry.Find(name)->state = ComponentState::Running;
    const auto order = registry.StopOrder({"base"});
    // "idle" is stopped, so it is left alone.
    EXPECT_EQ(order, (std::vector<std::string>{"app", "mid", "base"}));
    registry.Find("idle")->state = ComponentState::Failed;
    const auto withFailed = registry.StopOrder({"base"});
    EXPECT_EQ(withFailed.size(), 4u);
    EXPECT_EQ(withFailed.back(), "base");
}

TEST(RegistryLoad, RefusesCyclesNamingThem) {
    ComponentRegistry registry;
    EXPECT_EQ(LoadError(registry, {Def("a", {"b"}), Def("b", {"a"})}), "a.conf: prerequisite cycle: a -> b -> a");
    EXPECT_NE(LoadError(registry, {Def("x"), Def("p", {"x", "q"}), Def("q", {"r"}), Def("r", {"p"})})
                  .find("prerequisite cycle: p -> q -> r -> p"),
              std::string::npos);
    EXPECT_EQ(registry.Size(), 0u);  // nothing of a refused load stays
}

TEST(RegistryLoad, RefusesUnknownPrerequisitesAndDuplicates) {
    ComponentRegistry registry;
    EXPECT_EQ(LoadError(registry, {Def("a", {"ghost"})}), "a.conf: prerequisite 'ghost' of component 'a' is not defined");
    EXPECT_EQ(LoadError(registry, {Def("a"), Def("a")}), "a.conf: component 'a' is defined more than once");
    registry.AddAll({Def("a")});
    EXPECT_EQ(LoadError(registry, {Def("a")}), "a.conf: component 'a' is defined more than once");
    // A later load may build on what is loaded.
    EXPECT_EQ(LoadError(registry, {Def("b", {"a"})}), "");
    EXPECT_EQ(registry.Size(), 2u);
}

TEST(RegistryChange, AddCodes) {
    ComponentRegistry registry;
    registry.AddAll({Def("base")});
    EXPECT_EQ(registry.Add(Def("base")), Result::kAlreadyExists);
    EXPECT_EQ(registry.Add(Def("app", {"missing"})), Result::kUnknownPrerequisite);
    EXPECT_EQ(registry.Find("app"), nullptr);
    EXPECT_EQ(registry.Add(Def("app", {"base"})), Result::kSuccess);
    EXPECT_EQ(registry.StartOrder({"app"}), (std::vector<std::string>{"base", "app"}));
}

TEST(RegistryChange, RemoveCodes) {
    ComponentRegistry registry;
    registry.AddAll({Def("base"), Def("app", {"base"}), Def("busy")});
    EXPECT_EQ(registry.Remove("ghost"), Result::kUnknownComponent);
    EXPECT_EQ(registry.Remove("base"), Result::kStillRequired);
    registry.Find("busy")->state = ComponentState::Starting;
    EXPECT_EQ(registry.Remove("busy"), Result::kBusy);
    registry.Find("busy")->state = ComponentState::Stopping;
    EXPECT_EQ(registry.Remove("busy"), Result::kBusy);
    registry.Find("busy")->state = ComponentState::Running;
    EXPECT_EQ(registry.Remove("busy"), Result::kSuccess);
    EXPECT_EQ(registry.Remove("app"), Result::kSuccess);
    // With its last dependent gone, the prerequisite may go too.
    EXPECT_EQ(registry.Remove("base"), Result::kSuccess);
    EXPECT_EQ(registry.Size(), 0u);
}

TEST(RegistryChange, RemovedDependentNoLongerHoldsItsPrerequisite) {
    ComponentRegistry registry;
    registry.AddAll({Def("base"), Def("a", {"base"}), Def("b", {"base"})});
    EXPECT_EQ(registry.Remove("a"), Result::kSuccess);
    EXPECT_EQ(registry.Remove("base"), Result::kStillRequired);  // b still needs it
    registry.Find("b")->state = ComponentState::Running;
    EXPECT_EQ(registry.StopOrder({"base"}), (std::vector<std::string>{"b", "base"}));
}

}  // namespace
}  // namespace DaDovuSim
