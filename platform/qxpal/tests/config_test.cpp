// Node settings: parsing, typed reads, the cache behind Open(), and change detection.
#include <qxpal/config.h>
#include <qxpal/exception.h>

#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <cstdlib>
#include <thread>
#include <vector>

using QxPalConfig::ConfigNamespace_t;
using QxPalConfig::Configuration_t;
using QxPalMsg::IllegalArgumentError_t;
using qxpal_test::SettingsFile;

namespace {

std::string PlainText(const QxPalMsg::Exception_t& e) { return e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8(); }

}  // namespace

// ---- Reading ----

TEST(SettingsRead, MissingFileNamespaceAndKeyReadAsEmpty) {
    SettingsFile settings;  // no file written
    const Configuration_t none = ConfigNamespace_t("ctrl").Open();
    EXPECT_EQ(none.GetNamespace(), "ctrl");
    EXPECT_EQ(none.Find("X"), nullptr);
    EXPECT_TRUE(none.GetString("X").IsEmpty());
    EXPECT_EQ(none.GetUtf8("X", "fallback"), "fallback");
    EXPECT_FALSE(none.GetBool("X"));
    EXPECT_EQ(none.GetInt("X", -5), -5);

    settings.Replace("[other]\nX = 1\n");
    const Configuration_t missingNamespace = ConfigNamespace_t("ctrl").Open();
    EXPECT_EQ(missingNamespace.Find("X"), nullptr);
    const Configuration_t other = ConfigNamespace_t("other").Open();
    EXPECT_EQ(other.Find("Y"), nullptr);
    EXPECT_EQ(other.GetUtf8("X"), "1");
}

TEST(SettingsRead, SectionsKeysValuesAndComments) {
    SettingsFile settings(
        "\xEF\xBB\xBF"
        "top = level\n"
        "# a comment = not a key\n"
        "; another = comment\n"
        "   [ ctrl ]   \r\n"
        "  CLOSE_CONN_AFTER_USE   =   yes  \r\n"
        "PATH = /a=b#c ; d\n"
        "EMPTY =\n"
        "no equals sign here\n"
        "= value without key\n"
        "DUP = first\n"
        "[sec.cm.certificates]\n"
        "CERT_INSTALLED=true\n"
        "[ctrl]\n"
        "DUP = second\n"
        "Case = Upper\n");
    const Configuration_t ctrl = ConfigNamespace_t("ctrl").Open();
    EXPECT_EQ(ctrl.GetUtf8("CLOSE_CONN_AFTER_USE"), "yes");
    EXPECT_TRUE(ctrl.GetBool("CLOSE_CONN_AFTER_USE"));
    EXPECT_EQ(ctrl.GetUtf8("PATH"), "/a=b#c ; d");
    ASSERT_NE(ctrl.Find("EMPTY"), nullptr);
    EXPECT_EQ(*ctrl.Find("EMPTY"), "");
    EXPECT_EQ(ctrl.GetUtf8("DUP"), "second");
    EXPECT_EQ(ctrl.Find("case"), nullptr);  // keys are case-sensitive
    EXPECT_EQ(ctrl.Find("# a comment"), nullptr);
    EXPECT_EQ(ctrl.Find("no equals sign here"), nullptr);
    EXPECT_TRUE(ConfigNamespace_t("sec.cm.certificates").Open().GetBool("CERT_INSTALLED"));
    EXPECT_EQ(ConfigNamespace_t("").Open().GetUtf8("top"), "level");
    EXPECT_EQ(ConfigNamespace_t("Ctrl").Open().Find("DUP"), nullptr);  // so are namespaces
}

TEST(SettingsRead, KeysUnderAMalformedSectionLineAreIgnored) {
    SettingsFile settings("[a]\nK = 1\n[trace\nK = 2\nL = 3\n[b]\nK = 4\n");
    EXPECT_EQ(ConfigNamespace_t("a").Open().GetUtf8("K"), "1");
    EXPECT_EQ(ConfigNamespace_t("a").Open().Find("L"), nullptr);
    EXPECT_EQ(ConfigNamespace_t("trace").Open().Find("K"), nullptr);
    EXPECT_EQ(ConfigNamespace_t("b").Open().GetUtf8("K"), "4");
}

TEST(SettingsRead, ValuesAreUtf8Text) {
    SettingsFile settings("[n]\nname = Grüße \xF0\x9F\x98\x80\n");
    const Configuration_t n = ConfigNamespace_t("n").Open();
    EXPECT_TRUE(n.GetString("name") == "Grüße \xF0\x9F\x98\x80");
}

TEST(SettingsRead, BooleansInEverySpelling) {
    SettingsFile settings(
        "[b]\n"
        "t1 = true\nt2 = TRUE\nt3 = Yes\nt4 = on\nt5 = 1\nt6 = oN\n"
        "f1 = false\nf2 = False\nf3 = NO\nf4 = off\nf5 = 0\nf6 = OfF\nempty =\n");
    const Configuration_t b = ConfigNamespace_t("b").Open();
    for (const char* key : {"t1", "t2", "t3", "t4", "t5", "t6"}) EXPECT_TRUE(b.GetBool(key)) << key;
    for (const char* key : {"f1", "f2", "f3", "f4", "f5", "f6", "empty", "missing"}) {
        EXPECT_FALSE(b.GetBool(key)) << key;
    }
}

TEST(SettingsRead, InvalidBooleanNamesNamespaceKeyAndValue) {
    SettingsFile settings("[sec.cm.certificates]\nCERT_INSTALLED = maybe\nTWO = 2\nLONG = truely\n");
    const Configuration_t c = ConfigNamespace_t("sec.cm.certificates").Open();
    try {
        c.GetBool("CERT_INSTALLED");
        FAIL() << "no exception";
    } catch (const IllegalArgumentError_t& e) {
        const std::string text = PlainText(e);
        EXPECT_NE(text.find("sec.cm.certificates"), std::string::npos) << text;
        EXPECT_NE(text.find("CERT_INSTALLED"), std::string::npos) << text;
        EXPECT_NE(text.find("'maybe'"), std::string::npos) << text;
    }
    EXPECT_THROW(c.GetBool("TWO"), IllegalArgumentError_t);
    EXPECT_THROW(c.GetBool("LONG"), IllegalArgumentError_t);
}

TEST(SettingsRead, IntegersWithFallbackAndErrors) {
    SettingsFile settings("[i]\na = 42\nb = -7\nc = +3\nd = 4x\ne = 99999999999999999999\nf = -\ng = +-1\n");
    const Configuration_t i = ConfigNamespace_t("i").Open();
    EXPECT_EQ(i.GetInt("a", 0), 42);
    EXPECT_EQ(i.GetInt("b", 0), -7);
    EXPECT_EQ(i.GetInt("c", 0), 3);
    EXPECT_EQ(i.GetInt("missing", 11), 11);
    for (const char* key : {"d", "e", "f", "g"}) {
        EXPECT_THROW(i.GetInt(key, 0), IllegalArgumentError_t) << key;
    }
    try {
        i.GetInt("d", 0);
    } catch (const IllegalArgumentError_t& e) {
        EXPECT_NE(PlainText(e).find("'i'"), std::string::npos) << PlainText(e);
        EXPECT_NE(PlainText(e).find("'4x'"), std::string::npos) << PlainText(e);
    }
}

// ---- Attribute sets ----

TEST(AttributeSet, LocalValuesReplaceAndTakePrecedence) {
    Configuration_t call;
    EXPECT_EQ(call.GetNamespace(), "");
    call.SetAttrValue("APP_NAME", "client");
    call.SetAttrValue("APP_VERSION", QxPalStr::String_t("1.5.0.0"));
    call.SetAttrValue("APP_NAME", "renamed");
    EXPECT_EQ(call.GetUtf8("APP_NAME"), "renamed");
    EXPECT_TRUE(call.GetString("APP_VERSION") == "1.5.0.0");
    EXPECT_EQ(call.Find("SECURE_COMM"), nullptr);

    Configuration_t copy = call;
    copy.SetAttrValue("SECURE_COMM", "SSL");
    EXPECT_EQ(call.Find("SECURE_COMM"), nullptr);

    SettingsFile settings("[n]\nK = file\nL = kept\n");
    Configuration_t opened = ConfigNamespace_t("n").Open();
    opened.SetAttrValue("K", "local");
    EXPECT_EQ(opened.GetUtf8("K"), "local");
    EXPECT_EQ(opened.GetUtf8("L"), "kept");
    EXPECT_EQ(ConfigNamespace_t("n").Open().GetUtf8("K"), "file");  // the shared settings are untouched
}

// ---- Changes and the cache ----

TEST(SettingsCache, UnchangedFileIsNotReadAgain) {
    SettingsFile settings("[ctrl]\nK = 1\n");
    ConfigNamespace_t("ctrl").Open();
    const auto before = QxPalConfig::GetConfigParseCount();
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(ConfigNamespace_t("ctrl").Open().GetUtf8("K"), "1");
        EXPECT_EQ(ConfigNamespace_t("absent").Open().Find("K"), nullptr);
    }
    EXPECT_EQ(QxPalConfig::GetConfigParseCount(), before);
}

TEST(SettingsCache, ReplacedFileOfSameSizeTakesEffectAtNextOpen) {
    SettingsFile settings("[ctrl]\nK = 1\n");
    const Configuration_t old = ConfigNamespace_t("ctrl").Open();
    EXPECT_EQ(old.GetUtf8("K"), "1");
    // Same size, written at once: only the inode (and perhaps the times) tell the versions apart.
    settings.Replace("[ctrl]\nK = 2\n");
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().GetUtf8("K"), "2");
    EXPECT_EQ(old.GetUtf8("K"), "1");  // an opened set is a snapshot
}

TEST(SettingsCache, FileRewrittenInPlaceWithOtherSizeTakesEffect) {
    SettingsFile settings("[ctrl]\nK = 1\n");
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().GetUtf8("K"), "1");
    qxpal_test::WriteFile(settings.Path(), "[ctrl]\nK = 22\n");
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().GetUtf8("K"), "22");
}

TEST(SettingsCache, FileThatAppearsAndDisappears) {
    SettingsFile settings;
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().Find("K"), nullptr);
    settings.Replace("[ctrl]\nK = here\n");
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().GetUtf8("K"), "here");
    std::remove(settings.Path().c_str());
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().Find("K"), nullptr);
}

TEST(SettingsCache, SwitchingBetweenFilesGivesEachItsOwnSettings) {
    SettingsFile a("[n]\nK = a\n");
    qxpal_test::TempDir dir;
    const std::string other = dir.File("other.conf");
    qxpal_test::WriteFile(other, "[n]\nK = b\n");
    EXPECT_EQ(ConfigNamespace_t("n").Open().GetUtf8("K"), "a");
    QxPalConfig::SetConfigPath(other);
    EXPECT_EQ(QxPalConfig::GetConfigPath(), other);
    EXPECT_EQ(ConfigNamespace_t("n").Open().GetUtf8("K"), "b");
    QxPalConfig::SetConfigPath(a.Path());
    EXPECT_EQ(ConfigNamespace_t("n").Open().GetUtf8("K"), "a");
}

TEST(SettingsCache, FileThatExistsButCannotBeReadIsAnError) {
    SettingsFile settings;
    ASSERT_TRUE(std::filesystem::create_directory(settings.Path()));
    try {
        ConfigNamespace_t("ctrl").Open();
        FAIL() << "no exception";
    } catch (const IllegalArgumentError_t& e) {
        EXPECT_NE(PlainText(e).find(settings.Path()), std::string::npos) << PlainText(e);
    }
    // Once readable, the settings work again.
    std::filesystem::remove(settings.Path());
    settings.Replace("[ctrl]\nK = ok\n");
    EXPECT_EQ(ConfigNamespace_t("ctrl").Open().GetUtf8("K"), "ok");
}

TEST(SettingsCache, FifoAtThePathIsAnErrorNotAHang) {
    SettingsFile settings;
    ASSERT_EQ(::mkfifo(settings.Path().c_str(), 0600), 0);
    try {
        ConfigNamespace_t("ctrl").Open();
        FAIL() << "no exception";
    } catch (const IllegalArgumentError_t& e) {
        EXPECT_NE(PlainText(e).find("not a regular file"), std::string::npos) << PlainText(e);
    }
}

TEST(SettingsCache, PathComesFromOverrideThenEnvironmentThenDefault) {
    QxPalConfig::SetConfigPath("");
    const char* saved = std::getenv("QXPAL_CONFIG");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::unsetenv("QXPAL_CONFIG");
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/etc/qxpal/node.conf");
    ::setenv("QXPAL_CONFIG", "/tmp/somewhere.conf", 1);
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/tmp/somewhere.conf");
    QxPalConfig::SetConfigPath("/tmp/override.conf");
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/tmp/override.conf");
    QxPalConfig::SetConfigPath("");
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/tmp/somewhere.conf");
    if (saved != nullptr) {
        ::setenv("QXPAL_CONFIG", savedValue.c_str(), 1);
    } else {
        ::unsetenv("QXPAL_CONFIG");
    }
}

TEST(SettingsCache, ConcurrentOpensWhileTheFileChangesSeeWholeVersions) {
    SettingsFile settings("[n]\nA = 0\nB = 0\n");
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const Configuration_t n = ConfigNamespace_t("n").Open();
                // Every version has A equal to B: a mixed view would show a torn read.
                if (n.GetUtf8("A") != n.GetUtf8("B")) ++torn;
            }
        });
    }
    for (int version = 1; version <= 200; ++version) {
        const std::string v = std::to_string(version);
        settings.Replace("[n]\nA = " + v + "\nB = " + v + "\n");
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(ConfigNamespace_t("n").Open().GetUtf8("A"), "200");
}
