// Definition files: what a valid file yields, which mistakes are refused and
// how, directories, generated components and the definition's XML text.
#include "ComponentDefinition.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace DaDovuSim {
namespace {

using SimTest::ParseXml;
using SimTest::TempDir;

std::string ErrorOf(const std::string& text, const std::string& source = "c.conf") {
    try {
        ParseDefinition(text, source);
    } catch (const DefinitionError& e) {
        return e.what();
    }
    return "";
}

TEST(DefinitionParse, ReadsEveryKey) {
    const auto d = ParseDefinition(
        "# a comment\n"
        "; another\n"
        "\n"
        "name = web\n"
        "description =  Web front end, port 80  \n"
        "category = frontend\n"
        "prerequisites = db, cache  queue\n"
        "events = reload,rotate:logs\n"
        "start_time_ms = 250\n"
        "stop_time_ms=0\n"
        "start_fails = yes\n"
        "stop_fails = FALSE\n",
        "web.conf");
    EXPECT_EQ(d.name, "web");
    EXPECT_EQ(d.description, "Web front end, port 80");
    EXPECT_EQ(d.category, "frontend");
    EXPECT_EQ(d.prerequisites, (std::vector<std::string>{"db", "cache", "queue"}));
    EXPECT_EQ(d.events, (std::vector<std::string>{"reload", "rotate:logs"}));
    EXPECT_EQ(d.startTime.count(), 250);
    EXPECT_EQ(d.stopTime.count(), 0);
    EXPECT_TRUE(d.startFails);
    EXPECT_FALSE(d.stopFails);
    EXPECT_EQ(d.source, "web.conf");
    EXPECT_TRUE(d.Subscribes("reload"));
    EXPECT_FALSE(d.Subscribes("Reload"));
}

TEST(DefinitionParse, DefaultsAndNameFromFileName) {
    const auto d = ParseDefinition("", "/some/dir/mail-relay.conf");
    EXPECT_EQ(d.name, "mail-relay");
    EXPECT_EQ(d.description, "");
    EXPECT_EQ(d.category, "");
    EXPECT_TRUE(d.prerequisites.empty());
    EXPECT_TRUE(d.events.empty());
    EXPECT_EQ(d.startTime.count(), 0);
    EXPECT_FALSE(d.startFails);
    EXPECT_FALSE(d.stopFails);
}

TEST(DefinitionParse, ToleratesBomCrLfAndRepeatedListItems) {
    const auto d = ParseDefinition("\xEF\xBB\xBFname = a\r\nprerequisites = b, b ,c\r\nevents = e e\r\n", "x.conf");
    EXPECT_EQ(d.name, "a");
    EXPECT_EQ(d.prerequisites, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(d.events, (std::vector<std::string>{"e"}));
}

TEST(DefinitionParse, KeepsUtf8Descriptions) {
    EXPECT_EQ(ParseDefinition("description = Größe – 日本\n", "u.conf").description, "Größe – 日本");
}

TEST(DefinitionParse, RefusesMistakesNamingFileAndLine) {
    EXPECT_EQ(ErrorOf("name = a\ncolour = blue\n"), "c.conf:2: unknown key 'colour'");
    EXPECT_EQ(ErrorOf("name = a\nname = b\n"), "c.conf:2: key 'name' given twice");
    EXPECT_EQ(ErrorOf("just words\n"), "c.conf:1: expected 'key = value'");
    EXPECT_EQ(ErrorOf("start_fails = maybe\n"), "c.conf:1: start_fails must be true or false");
    EXPECT_NE(ErrorOf("start_time_ms = -1\n").find("c.conf:1: start_time_ms must be"), std::string::npos);
    EXPECT_NE(ErrorOf("stop_time_ms = 3600001\n").find("c.conf:1: stop_time_ms must be"), std::string::npos);
    EXPECT_NE(ErrorOf("start_time_ms = 12ms\n").find("start_time_ms must be"), std::string::npos);
    EXPECT_EQ(ErrorOf("name = a b\n"), "c.conf:1: invalid component name 'a b'");
    EXPECT_EQ(ErrorOf("name = we*b\n"), "c.conf:1: invalid component name 'we*b'");
    EXPECT_EQ(ErrorOf("name = @web\n"), "c.conf:1: invalid component name '@web'");
    EXPECT_EQ(ErrorOf("category = a,b\n"), "c.conf:1: invalid category 'a,b'");
    EXPECT_EQ(ErrorOf("prerequisites = ok, b?d\n"), "c.conf:1: invalid prerequisite name 'b?d'");
    EXPECT_EQ(ErrorOf("events = ok, b@d\n"), "c.conf:1: invalid event name 'b@d'");
    EXPECT_EQ(ErrorOf("name = a\nprerequisites = b, a\n"), "c.conf: component 'a' names itself as a prerequisite");
    EXPECT_EQ(ErrorOf("", "bad name.conf"),
              "bad name.conf: no 'name' given, and the file name is not a valid component name");
}

TEST(DefinitionParse, RefusesTextThatCouldNotTravelInXml) {
    EXPECT_EQ(ErrorOf("description = a\x01z\n"), "c.conf:1: not UTF-8 text, or a control character");
    EXPECT_EQ(ErrorOf("description = \xC3(\n"), "c.conf:1: not UTF-8 text, or a control character");
    EXPECT_EQ(ErrorOf("description = \xC0\xAF\n"), "c.conf:1: not UTF-8 text, or a control character");  // overlong
    EXPECT_EQ(ErrorOf("description = \xED\xA0\x80\n"), "c.conf:1: not UTF-8 text, or a control character");  // surrogate
    EXPECT_EQ(ErrorOf("description = \xEF\xBF\xBE\n"), "c.conf:1: not UTF-8 text, or a control character");  // U+FFFE
}

TEST(DefinitionParse, RefusesOversizedText) {
    const std::string big = "description = " + std::string(kMaxDefinitionBytes, 'x') + "\n";
    EXPECT_NE(ErrorOf(big).find("larger than"), std::string::npos);
}

TEST(DefinitionXml, IsWellFormedAndEscapesEveryField) {
    ComponentDefinition d;
    d.name = "a.b";
    d.description = "x < y & \"z\"";
    d.category = "c";
    d.prerequisites = {"p1", "p2"};
    d.events = {"e1"};
    d.startTime = std::chrono::milliseconds(5);
    d.stopFails = true;
    std::string error;
    const auto root = ParseXml(DefinitionToXml(d), &error);
    ASSERT_TRUE(root) << error;
    EXPECT_EQ(root->local, "component");
    EXPECT_EQ(*root->Attribute("", "name"), "a.b");
    EXPECT_EQ(root->Child("description")->text, "x < y & \"z\"");
    EXPECT_EQ(root->Child("category")->text, "c");
    ASSERT_EQ(root->ChildrenNamed("prerequisite").size(), 2u);
    EXPECT_EQ(root->ChildrenNamed("prerequisite")[1]->text, "p2");
    EXPECT_EQ(root->Child("event")->text, "e1");
    EXPECT_EQ(*root->Child("start")->Attribute("", "timeMs"), "5");
    EXPECT_EQ(*root->Child("start")->Attribute("", "fails"), "false");
    EXPECT_EQ(*root->Child("stop")->Attribute("", "fails"), "true");
}

TEST(DefinitionDirectory, LoadsConfFilesInNameOrder) {
    TempDir dir;
    dir.Write("b.conf", "description = second\n");
    dir.Write("a.conf", "description = first\n");
    dir.Write("notes.txt", "not a definition\n");
    dir.Write("c.conf.disabled", "colour = blue\n");
    const auto definitions = LoadDefinitionDirectory(dir.Path());
    ASSERT_EQ(definitions.size(), 2u);
    EXPECT_EQ(definitions[0].name, "a");
    EXPECT_EQ(definitions[1].name, "b");
    EXPECT_EQ(definitions[1].description, "second");
}

TEST(DefinitionDirectory, ReportsTheFailingFile) {
    TempDir dir;
    dir.Write("a.conf", "description = fine\n");
    dir.Write("b.conf", "\ncolour = blue\n");
    try {
        LoadDefinitionDirectory(dir.Path());
        FAIL() << "a bad file was accepted";
    } catch (const DefinitionError& e) {
        EXPECT_STREQ(e.what(), "b.conf:2: unknown key 'colour'");
    }
    EXPECT_THROW(LoadDefinitionDirectory(dir.Path() + "/missing"), DefinitionError);
    EXPECT_THROW(LoadDefinitionFile(dir.Path() + "/missing.conf"), DefinitionError);
}

TEST(DefinitionGenerate, NamesCategoriesAndWidth) {
    const auto few = GenerateDefinitions(12);
    ASSERT_EQ(few.size(), 12u);
    EXPECT_EQ(few[0].name, "comp00001");
    EXPECT_EQ(few[0].category, "group01");
    EXPECT_EQ(few[9].category, "group10");
    EXPECT_EQ(few[10].category, "group01");
    EXPECT_EQ(few[11].name, "comp00012");
    EXPECT_TRUE(few[0].Subscribes("ping"));
    EXPECT_EQ(GenerateDefinitions(100000).back().name, "comp100000");
    EXPECT_TRUE(GenerateDefinitions(0).empty());
}

}  // namespace
}  // namespace DaDovuSim
