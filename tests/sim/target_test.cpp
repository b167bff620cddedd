// Target expressions: exact names, wildcards, categories, lists.
#include "ComponentRegistry.h"
#include "TargetExpression.h"

#include <gtest/gtest.h>

namespace DaDovuSim {
namespace {

TEST(TargetMatch, ExactNameIsCaseSensitiveAndWhole) {
    const TargetExpression t("web");
    EXPECT_TRUE(t.Matches("web", ""));
    EXPECT_FALSE(t.Matches("Web", ""));
    EXPECT_FALSE(t.Matches("webserver", ""));
    EXPECT_FALSE(t.Matches("we", ""));
    EXPECT_FALSE(t.NeedsScan());
    EXPECT_EQ(t.ExactNames(), (std::vector<std::string>{"web"}));
}

TEST(TargetMatch, ShellWildcards) {
    EXPECT_TRUE(TargetExpression("*").Matches("anything.at-all", ""));
    EXPECT_TRUE(TargetExpression("web*").Matches("webserver", ""));
    EXPECT_TRUE(TargetExpression("web*").Matches("web", ""));
    EXPECT_FALSE(TargetExpression("web*").Matches("myweb", ""));
    EXPECT_TRUE(TargetExpression("db?").Matches("db1", ""));
    EXPECT_FALSE(TargetExpression("db?").Matches("db12", ""));
    EXPECT_TRUE(TargetExpression("db[0-4]").Matches("db3", ""));
    EXPECT_FALSE(TargetExpression("db[0-4]").Matches("db7", ""));
    EXPECT_TRUE(TargetExpression("db[!0-4]").Matches("db7", ""));
    EXPECT_FALSE(TargetExpression("db[!0-4]").Matches("db3", ""));
    EXPECT_TRUE(TargetExpression("*").NeedsScan());
}

TEST(TargetMatch, CategoriesByAtSign) {
    const TargetExpression t("@storage");
    EXPECT_TRUE(t.Matches("db", "storage"));
    EXPECT_FALSE(t.Matches("storage", "web"));  // '@' never selects by name
    EXPECT_FALSE(t.Matches("db", "storage2"));
    EXPECT_TRUE(TargetExpression("@stor*").Matches("db", "storage2"));
    EXPECT_FALSE(TargetExpression("@*").Matches("db", ""));  // no category, no match
    EXPECT_FALSE(TargetExpression("@").Matches("db", "storage"));
}

TEST(TargetMatch, ListsAreUnionsAndIgnoreBlanksAndEmptyTerms) {
    const TargetExpression t(" web , @batch,,db* ");
    EXPECT_TRUE(t.Matches("web", "x"));
    EXPECT_TRUE(t.Matches("report", "batch"));
    EXPECT_TRUE(t.Matches("db2", ""));
    EXPECT_FALSE(t.Matches("cache", "storage"));
}

TEST(TargetMatch, EmptyTargetSelectsNothing) {
    EXPECT_FALSE(TargetExpression("").Matches("web", "web"));
    EXPECT_FALSE(TargetExpression(" , ").Matches("web", "web"));
}

TEST(TargetSelect, RegistrySelectsInNameOrderOnce) {
    ComponentRegistry registry;
    std::vector<ComponentDefinition> definitions;
    for (const char* name : {"web", "db", "cache", "db2"}) {
        ComponentDefinition d;
        d.name = name;
        d.category = std::string(name).substr(0, 2) == "db" ? "storage" : "other";
        definitions.push_back(d);
    }
    registry.AddAll(definitions);
    EXPECT_EQ(registry.Select(TargetExpression("web,db,web,nosuch")), (std::vector<std::string>{"db", "web"}));
    EXPECT_EQ(registry.Select(TargetExpression("*")), (std::vector<std::string>{"cache", "db", "db2", "web"}));
    EXPECT_EQ(registry.Select(TargetExpression("@storage,db")), (std::vector<std::string>{"db", "db2"}));
    EXPECT_TRUE(registry.Select(TargetExpression("nosuch")).empty());
    EXPECT_TRUE(registry.Select(TargetExpression("")).empty());
}

}  // namespace
}  // namespace DaDovuSim
