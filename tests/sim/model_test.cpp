// Definition files, target expressions and the registry's prerequisite order.
#include "ComponentRegistry.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

namespace DaDovuSim {
namespace {

using Names = std::vector<std::string>;

template <typename Call>
std::string ErrorOf(Call call) {
    try {
        call();
    } catch (const DefinitionError& e) {
        return e.what();
    }
    return "";
}

ComponentDefinition Def(const std::string& name, Names prerequisites = {}, const std::string& category = "") {
    auto d = ParseDefinition("category = " + category, name + ".conf");
    d.prerequisites = std::move(prerequisites);
    return d;
}

TEST(Definition, ReadsEveryKeyAndWritesItAsXml) {
    const auto d = ParseDefinition("\xEF\xBB\xBF# comment\r\n; comment\n\ndescription =  x < y & \"z\", Größe – 日本  \n"
                                   "category = web\nprerequisites = db, cache  db,q\n"
                                   "events = reload,rotate:logs reload\nstart_time_ms = 250\nstart_fails = yes\n"
                                   "stop_fails = FALSE\n",
                                   "/d/mail-relay.conf");
    EXPECT_EQ(DefinitionToXml(d), "<component name=\"mail-relay\"><description>x &lt; y &amp; \"z\", Größe – 日本"
                                  "</description><category>web</category><prerequisite>db</prerequisite><prerequisite>"
                                  "cache</prerequisite><prerequisite>q</prerequisite><event>reload</event><event>"
                                  "rotate:logs</event><start timeMs=\"250\" fails=\"true\"/><stop timeMs=\"0\" "
                                  "fails=\"false\"/></component>");
    EXPECT_FALSE(d.Subscribes("Reload"));
}

TEST(Definition, RefusesMistakesNamingFileAndLine) {
    const std::string range = " must be a whole number of milliseconds from 0 to 3600000";
    const std::pair<std::string, std::string> cases[] = {
        {"name = a\ncolour = blue\n", "c.conf:2: unknown key 'colour'"},
        {"name = a\nname = b\n", "c.conf:2: key 'name' given twice"},
        {"just words\n", "c.conf:1: expected 'key = value'"},
        {"start_fails = maybe\n", "c.conf:1: start_fails must be true or false"},
        {"start_time_ms = -1\n", "c.conf:1: start_time_ms" + range},
        {"stop_time_ms = 3600001\n", "c.conf:1: stop_time_ms" + range},
        {"start_time_ms = 12ms\n", "c.conf:1: start_time_ms" + range},
        {"name = a b\n", "c.conf:1: invalid component name 'a b'"},
        {"name = we*b\n", "c.conf:1: invalid component name 'we*b'"},
        {"name = @web\n", "c.conf:1: invalid component name '@web'"},
        {"category = a,b\n", "c.conf:1: invalid category 'a,b'"},
        {"prerequisites = ok, b?d\n", "c.conf:1: invalid prerequisite name 'b?d'"},
        {"events = ok, b@d\n", "c.conf:1: invalid event name 'b@d'"},
        {"name = a\nprerequisites = b, a\n", "c.conf: component 'a' names itself as a prerequisite"},
        {"description = " + std::string(kMaxDefinitionBytes, 'x') + "\n", "c.conf: larger than 65536 bytes"},
    };
    for (const auto& [text, error] : cases) EXPECT_EQ(ErrorOf([&] { ParseDefinition(text, "c.conf"); }), error);
    // Text that could not travel in XML: a control character, bad or overlong UTF-8, a surrogate, U+FFFE.
    for (const std::string bad : {"a\x01z", "\xC3(", "\xC0\xAF", "\xED\xA0\x80", "\xEF\xBF\xBE"})
        EXPECT_EQ(ErrorOf([&] { ParseDefinition("description = " + bad, "c.conf"); }),
                  "c.conf:1: not UTF-8 text, or a control character");
    EXPECT_EQ(ErrorOf([] { ParseDefinition("", "bad name.conf"); }),
              "bad name.conf: no 'name' given, and the file name is not a valid component name");
}

TEST(Definition, DirectoryLoadsConfFilesInNameOrderAndNamesTheFailingOne) {
    SoapTest::TempDir dir;
    for (const char* file : {"b.conf", "a.conf", "notes.txt", "c.conf.off"}) dir.Write(file, "description = x");
    const auto loaded = LoadDefinitionDirectory(dir.Path());
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].name + " " + loaded[1].name, "a b");
    dir.Write("d.conf", "\ncolour = blue\n");
    EXPECT_EQ(ErrorOf([&] { LoadDefinitionDirectory(dir.Path()); }), "d.conf:2: unknown key 'colour'");
}

TEST(Target, MatchesNamesWildcardsAndCategoriesCaseSensitively) {
    const struct {
        const char *target, *name, *category;
        bool selected;
    } cases[] = {
        {"web", "web", "", true},          {"web", "Web", "", false},          {"web", "webserver", "", false},
        {"web", "we", "", false},          {"*", "any.thing-1", "", true},     {"web*", "webserver", "", true},
        {"web*", "web", "", true},         {"web*", "myweb", "", false},       {"db?", "db1", "", true},
        {"db?", "db12", "", false},        {"db[0-4]", "db3", "", true},       {"db[0-4]", "db7", "", false},
        {"db[!0-4]", "db7", "", true},     {"db[!0-4]", "db3", "", false},     {"@storage", "db", "storage", true},
        {"@storage", "storage", "web", false},   {"@storage", "db", "storage2", false},
        {"@stor*", "db", "storage2", true}, {"@*", "db", "", false},          {"@", "db", "storage", false},
        {"", "web", "web", false},         {" , ", "web", "web", false},      {" web , @batch,,db* ", "web", "x", true},
        {" web , @batch,,db* ", "report", "batch", true}, {" web , @batch,,db* ", "db2", "", true},
        {" web , @batch,,db* ", "cache", "storage", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TargetExpression(c.target).Matches(c.name, c.category), c.selected)
            << "'" << c.target << "' on " << c.name << " @" << c.category;
    ComponentRegistry registry;  // selects in name order, each once
    registry.AddAll({Def("web"), Def("db", {}, "storage"), Def("cache"), Def("db2", {}, "storage")});
    EXPECT_EQ(registry.Select(TargetExpression("web,db,web,nosuch")), (Names{"db", "web"}));
    EXPECT_EQ(registry.Select(TargetExpression("@storage,db,*b")), (Names{"db", "db2", "web"}));
}

TEST(Registry, StartOrderPutsEveryPrerequisiteOnceAndFirstAndStopOrderTheDependents) {
    ComponentRegistry registry;
    // app needs left and right, both need base; solo needs base too.
    registry.AddAll({Def("app", {"left", "right"}), Def("left", {"base"}), Def("right", {"base"}), Def("base"),
                     Def("solo", {"base"})});
    EXPECT_EQ(registry.StartOrder({"app"}), (Names{"base", "left", "right", "app"}));
    EXPECT_EQ(registry.StartOrder({"solo", "app"}), (Names{"base", "solo", "left", "right", "app"}));
    for (const char* name : {"app", "left", "base"}) registry.Find(name)->state = ComponentState::Running;
    EXPECT_EQ(registry.StopOrder({"base"}), (Names{"app", "left", "base"}));  // right and solo are stopped
    registry.Find("solo")->state = ComponentState::Failed;                     // not stopped either
    EXPECT_EQ(registry.StopOrder({"base"}).size(), 4u);
    // A removed dependent no longer holds its prerequisite; the others still do.
    EXPECT_EQ(registry.Remove("solo"), 0);
    EXPECT_EQ(registry.StopOrder({"base"}), (Names{"app", "left", "base"}));
    EXPECT_EQ(registry.Remove("app") + registry.Remove("left"), 0);
    EXPECT_EQ(registry.Remove("base"), 86);

    // A chain this deep would overflow the stack of a recursive walk.
    std::vector<ComponentDefinition> chain(50000);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        chain[i].name = "c" + std::to_string(i);
        if (i > 0) chain[i].prerequisites = {chain[i - 1].name};
    }
    registry.AddAll(chain);
    const auto order = registry.StartOrder({chain.back().name});
    ASSERT_EQ(order.size(), chain.size());
    for (std::size_t i = 0; i < chain.size(); ++i) ASSERT_EQ(order[i], chain[i].name);
    for (const auto& name : order) registry.Find(name)->state = ComponentState::Running;
    EXPECT_EQ(registry.StopOrder({"c0"}), Names(order.rbegin(), order.rend()));
}

TEST(Registry, LoadRefusesCyclesUnknownPrerequisitesAndDuplicatesAsAWhole) {
    ComponentRegistry registry;
    const auto errorOf = [&](std::vector<ComponentDefinition> add) { return ErrorOf([&] { registry.AddAll(add); }); };
    EXPECT_EQ(errorOf({Def("a", {"b"}), Def("b", {"a"})}), "a.conf: prerequisite cycle: a -> b -> a");
    EXPECT_EQ(errorOf({Def("x"), Def("p", {"x", "q"}), Def("q", {"r"}), Def("r", {"p"})}),
              "p.conf: prerequisite cycle: p -> q -> r -> p");
    EXPECT_EQ(errorOf({Def("a", {"ghost"})}), "a.conf: prerequisite 'ghost' of component 'a' is not defined");
    EXPECT_EQ(errorOf({Def("a"), Def("a")}), "a.conf: component 'a' is defined more than once");
    EXPECT_EQ(registry.Size(), 0u);  // nothing of a refused load stays
    EXPECT_EQ(errorOf({Def("a")}), "");
    EXPECT_EQ(errorOf({Def("a")}), "a.conf: component 'a' is defined more than once");
    EXPECT_EQ(errorOf({Def("b", {"a"})}), "");  // a later load may build on what is loaded
    EXPECT_EQ(registry.Size(), 2u);
}

}  // namespace
}  // namespace DaDovuSim
