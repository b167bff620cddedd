// Node settings (parsing, typed reads, attribute sets, the cache behind Open()),
// traces (masks, the [trace] settings, lines, the trace file) and the node's log.
#include "QxPalTestSupport.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <set>

using namespace qxpal_test;
using Fields = std::vector<std::string>;

namespace {

Configuration_t Open(const char* name) { return QxPalConfig::ConfigNamespace_t(name).Open(); }

unsigned Mask(const char* name) { return TraceObj_t::Get(name).GetMask(); }
using Masks = std::vector<unsigned>;

// Runs `write` on 8 threads, each writing 200 numbered texts of 300 bytes, checks that
// `file` then holds each of them whole, as the last field of a line, and returns the
// distinct values of the lines' second fields.
template <class Write>
std::set<std::string> ExpectWholeLines(const std::string& file, Write&& write) {
    OnThreads(8, [&](int t) {
        for (int n = 0; n < 200; ++n) write("t" + std::to_string(t) + " n" + std::to_string(n) + std::string(300, 'x'));
    });
    std::set<std::string> texts, seconds;
    for (const auto& fields : LineFields(file)) {
        EXPECT_TRUE(std::regex_match(fields.back(), std::regex(R"(t\d n\d+x{300})"))) << fields.back();
        texts.insert(fields.back());
        seconds.insert(fields.at(1));
    }
    EXPECT_EQ(texts.size(), 1600u);
    return seconds;
}

// The fields of each line of `file` after the time, which must have microseconds.
std::vector<Fields> FieldsAfterTime(const std::string& file) {
    std::vector<Fields> lines = LineFields(file);
    for (Fields& fields : lines) {
        EXPECT_TRUE(std::regex_match(fields[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)"))) << fields[0];
        fields.erase(fields.begin());
    }
    return lines;
}

}  // namespace

TEST(Settings, ParsesSectionsKeysValuesAndCommentsUnderLocalAttributes) {
    SettingsFile settings(
        "\xEF\xBB\xBFtop = level\n# note = not a key\n; another = comment\n   [ ctrl ]   \r\n"
        "  CLOSE_CONN_AFTER_USE   =   yes  ; a comment after the value\r\nPATH = /a=b#c;d # why\nEMPTY =\nno equals\n"
        "= value without key\nCOMMENT =  ; all comment\nTABBED = on\t# why\n"
        "DUP = first\nNAME = Grüße \xF0\x9F\x98\x80\n[trace\nHIDDEN = 1\n[ctrl]\nDUP = second\nCase = Upper\n");
    const Configuration_t ctrl = Open("ctrl");
    EXPECT_EQ(ctrl.GetUtf8("CLOSE_CONN_AFTER_USE") + "|" + ctrl.GetUtf8("PATH") + "|" + ctrl.GetUtf8("DUP") + "|" +
                  ctrl.GetString("NAME").ToUtf8() + "|" + Open("").GetUtf8("top"),
              "yes|/a=b#c;d|second|Grüße \xF0\x9F\x98\x80|level");
    EXPECT_EQ(ctrl.GetUtf8("TABBED"), "on");
    for (const char* empty : {"EMPTY", "COMMENT"}) EXPECT_TRUE(ctrl.Find(empty) != nullptr && ctrl.Find(empty)->empty());
    for (const char* key : {"case", "# note", "no equals", "", "HIDDEN"}) EXPECT_EQ(ctrl.Find(key), nullptr) << key;
    EXPECT_TRUE(Open("Ctrl").Find("DUP") == nullptr && Open("trace").Find("HIDDEN") == nullptr);
    for (const Configuration_t& none : {Open("absent"), Configuration_t()}) {
        EXPECT_TRUE(none.Find("top") == nullptr && none.GetString("X").IsEmpty() && !none.GetBool("X"));
        EXPECT_EQ(none.GetUtf8("X", "fallback") + std::to_string(none.GetInt("X", -5)), "fallback-5");
    }
    Configuration_t local = ctrl;  // attributes set locally take precedence, in this copy only
    local.SetAttrValue("DUP", String_t("first"));
    local.SetAttrValue("DUP", "local");
    EXPECT_EQ(local.GetUtf8("DUP") + local.GetUtf8("PATH") + ctrl.GetUtf8("DUP") + Open("ctrl").GetUtf8("DUP"),
              "local/a=b#c;dsecondsecond");
}

TEST(Settings, ReadsBooleansAndIntegersOrNamesNamespaceKeyAndValue) {
    SettingsFile settings("[b]\nt1 = true\nt2 = TRUE\nt3 = Yes\nt4 = on\nt5 = 1\nt6 = oN\nf1 = false\nf2 = False\n"
                          "f3 = NO\nf4 = off\nf5 = 0\nf6 = OfF\nempty =\nCERT_INSTALLED = maybe\nTWO = 2\n"
                          "LONG = truely\n"
                          "a = 42\nb = -7\nc = +3\nd = 4x\ne = 99999999999999999999\nf = -\ng = +-1\n");
    const Configuration_t b = Open("b");
    for (const char* key : {"t1", "t2", "t3", "t4", "t5", "t6"}) EXPECT_TRUE(b.GetBool(key)) << key;
    for (const char* key : {"f1", "f2", "f3", "f4", "f5", "f6", "empty", "none"}) EXPECT_FALSE(b.GetBool(key)) << key;
    for (const char* key : {"TWO", "LONG", "a"}) EXPECT_THROW(b.GetBool(key), IllegalArgumentError_t) << key;
    EXPECT_EQ((std::vector<long long>{b.GetInt("a", 0), b.GetInt("b", 0), b.GetInt("c", 0), b.GetInt("empty", 11)}),
              (std::vector<long long>{42, -7, 3, 11}));
    for (const char* key : {"d", "e", "f", "g"}) EXPECT_THROW(b.GetInt(key, 0), IllegalArgumentError_t) << key;
    const std::string texts = FailureOf<IllegalArgumentError_t>([&] { b.GetBool("CERT_INSTALLED"); }) +
                              FailureOf<IllegalArgumentError_t>([&] { b.GetInt("d", 0); });
    for (const char* part : {"'b'", "CERT_INSTALLED", "'maybe'", "'d'", "'4x'"}) {
        EXPECT_NE(texts.find(part), std::string::npos) << texts;
    }
}

TEST(SettingsCache, ChangesTakeEffectAtTheNextOpen) {
    SettingsFile settings("[ctrl]\nK = 1\n");
    const Configuration_t first = Open("ctrl");
    const auto parses = QxPalConfig::GetConfigParseCount();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(Open(i % 2 == 0 ? "ctrl" : "absent").Find("X"), nullptr);
    EXPECT_EQ(QxPalConfig::GetConfigParseCount(), parses) << "an unchanged file is not read again";
    // Same size, written at once: only the inode (and perhaps the times) tell the versions apart.
    settings.Replace("[ctrl]\nK = 2\n");
    EXPECT_EQ(Open("ctrl").GetUtf8("K") + first.GetUtf8("K"), "21");  // an opened set is a snapshot
    WriteFile(settings.Path(), "[ctrl]\nK = 33\n");  // in place
    EXPECT_EQ(Open("ctrl").GetUtf8("K"), "33");
    // In place, the same size, within the same second (most likely): the
    // modification time's fraction of a second tells the versions apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WriteFile(settings.Path(), "[ctrl]\nK = 44\n");
    EXPECT_EQ(Open("ctrl").GetUtf8("K"), "44");
    std::filesystem::remove(settings.Path());
    EXPECT_EQ(Open("ctrl").Find("K"), nullptr);
}

TEST(SettingsCache, AFileThatCannotBeReadIsAnErrorNotEmptySettingsNorAHang) {
    SettingsFile settings;
    ASSERT_TRUE(std::filesystem::create_directory(settings.Path()));
    EXPECT_NE(FailureOf<IllegalArgumentError_t>([] { Open("ctrl"); }).find(settings.Path()), std::string::npos);
    std::filesystem::remove(settings.Path());
    ASSERT_EQ(::mkfifo(settings.Path().c_str(), 0600), 0);
    EXPECT_NE(FailureOf<IllegalArgumentError_t>([] { Open("ctrl"); }).find("not a regular file"), std::string::npos);
    std::filesystem::remove(settings.Path());
    settings.Replace("[ctrl]\nK = ok\n");  // once readable, the settings work again
    EXPECT_EQ(Open("ctrl").GetUtf8("K"), "ok");
}

TEST(SettingsCache, PathComesFromOverrideThenEnvironmentThenDefault) {
    const char* saved = std::getenv("QXPAL_CONFIG");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::unsetenv("QXPAL_CONFIG");
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/etc/qxpal/node.conf");
    ::setenv("QXPAL_CONFIG", "/tmp/env.conf", 1);
    QxPalConfig::SetConfigPath("/tmp/override.conf");
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/tmp/override.conf");
    QxPalConfig::SetConfigPath("");
    EXPECT_EQ(QxPalConfig::GetConfigPath(), "/tmp/env.conf");
    saved != nullptr ? ::setenv("QXPAL_CONFIG", savedValue.c_str(), 1) : ::unsetenv("QXPAL_CONFIG");
}

TEST(SettingsCache, ConcurrentOpensWhileTheFileChangesSeeWholeVersions) {
    SettingsFile settings;
    std::atomic<int> torn{0};
    std::atomic<bool> stop{false};
    OnThreads(7, [&](int t) {  // one writer of 200 versions, six readers
        for (std::string v; t == 0 && v.size() < 200; v += 'x') settings.Replace("[n]\nA = " + v + "\nB = " + v);
        if (t == 0) stop = true;
        for (Configuration_t n; !stop; n = Open("n")) torn += n.GetUtf8("A") != n.GetUtf8("B");
    });
    EXPECT_EQ(torn.load(), 0) << "every version has A equal to B";
    EXPECT_EQ(Open("n").GetUtf8("A"), std::string(199, 'x'));
}

TEST(Trace, MasksComeFromTheTraceSectionAtTheNextOpenAndEnableLevelsWithAllTheirBits) {
    const std::string section = "[trace]\ntest.cfg.a = 1\ntest.cfg.b = 4\ntest.cfg.bad = lots\n";
    SettingsFile settings(section + "[n]\nK = 1\n");
    Open("any");
    EXPECT_EQ((Masks{Mask("test.cfg.a"), Mask("test.cfg.b"), Mask("test.cfg.bad")}), (Masks{1, 4, 0}));
    QxPalTrc::SetTraceMask("test.cfg.set", 25);
    const QxPalTrc::TraceWrapper_t set("test.cfg.set");
    EXPECT_TRUE(set.IsEnabled(9) && set.IsEnabled(25) && !set.IsEnabled(27) && !set.IsEnabled(2));
    settings.Replace(section + "[n]\nK = 2\n");
    Open("any");
    EXPECT_TRUE(set.IsEnabled(25)) << "a set mask stays while the [trace] section is unchanged";
    settings.Replace("[trace]\ntest.cfg.a = 25\ntest.cfg.c = 8\n");
    EXPECT_EQ(Mask("test.cfg.a"), 1u) << "not before the settings are opened";
    Open("any");
    // Unlisted ones get 0, ones made later the mask in force.
    EXPECT_EQ((Masks{Mask("test.cfg.a"), Mask("test.cfg.b"), Mask("test.cfg.set"), Mask("test.cfg.c")}),
              (Masks{25, 0, 0, 8}));
    settings.Replace("[other]\nX = 1\n");
    Open("any");
    EXPECT_EQ(Mask("test.cfg.a"), 0u);

    std::vector<TraceObj_t*> seen(8, nullptr);  // one object per name, also when made by threads at once
    OnThreads(8, [&](int t) { seen[t] = &TraceObj_t::Get("test.cfg.concurrent"); });
    for (TraceObj_t* object : seen) EXPECT_EQ(object, seen[0]);
}

TEST(Trace, FileTakesWholeSixFieldLinesAndFollowsItsSetting) {
    SettingsFile settings;
    const std::string first = settings.File("first.log"), second = settings.File("second.log");
    settings.Replace("[trace]\nFILE = " + first + "\ntest.file = 1\n");
    Open("any");
    TraceObj_t& trace = TraceObj_t::Get("test.file");
    const auto write = [&](const std::string& text) { trace.DoTrace(1, text.c_str(), "T", 1); };
    EXPECT_EQ(ExpectWholeLines(first, write).size(), 8u) << "the thread ids tell the threads apart";
    settings.Replace("[trace]\nFILE = " + second + "\ntest.file = 1\n");
    Open("any");
    trace.DoTrace(25, QxPalStr::String_t("Initializing messenger object. \xC3\xA9"), "RpcClientImpl", 42);
    trace.DoTrace(1, static_cast<const char*>(nullptr), nullptr, 0);
    // Text from a peer cannot forge a line or add a column.
    const std::string id = std::to_string(::gettid());
    const std::string forged = "root\n2026-12-07T00:00:00.000000Z\t1\tctrl.rpcclient\t1\tX:1\tforged";
    trace.DoTrace(1, QxPalStr::String_t(forged.c_str()), "T", 2);
    trace.DoTrace(1, "a\tb\rc\x1b[2J\x7f\xc2\x9b\xe2\x80\xa8", "T", 3);
    EXPECT_EQ(FieldsAfterTime(second),
              (std::vector<Fields>{{id, "test.file", "25", "RpcClientImpl:42", "Initializing messenger object. \xC3\xA9"},
                                   {id, "test.file", "1", "?:0", ""},
                                   {id, "test.file", "1", "T:2",
                                    "root\\n2026-12-07T00:00:00.000000Z\\t1\\tctrl.rpcclient\\t1\\tX:1\\tforged"},
                                   {id, "test.file", "1", "T:3", "a\\tb\\rc\\x1B[2J\\x7F\\u009B\\u2028"}}));
}

TEST(Log, WritesOneTabSeparatedLinePerMessageWithItsDetailsAppended) {
    SettingsFile settings;
    const std::string file = settings.File("node.log");
    settings.Replace("[log]\nFILE = " + file + "\n");
    const auto detail = [](const char* text) { return ListOf({Message_t(String_t(text))}); };
    QxPalLog::Log(ListOf({CreateError_t(MessageCatalog_t("ctrl"), 12, "Communication error.")
                              .AddDetails(detail("line\xE2\x80\xA8" "b"))}));
    QxPalLog::Log(ListOf({CreateMessage_t(SEVERITY_WARNING, "Grüße"), CreateMessage_t(9, "odd severity"),
                          CreateMessage_t(SEVERITY_INFO, "a").AddDetails(detail("connect failed:\r\nrefused"))}));
    QxPalLog::Log(MessageList_t());
    QxPalLog::Log(ListOf({CreateError_t(MessageCatalog_t("peer\tcat"), 3, "user\nroot\tforged")}));
    EXPECT_EQ(FieldsAfterTime(file), (std::vector<Fields>{{"ERROR", "ctrl", "12", "Communication error. | line\\u2028b"},
                                                          {"WARNING", "", "0", "Grüße"},
                                                          {"9", "", "0", "odd severity"},
                                                          {"INFO", "", "0", "a | connect failed:\\r\\nrefused"},
                                                          {"ERROR", "peer\\tcat", "3", "user\\nroot\\tforged"}}));
    std::filesystem::remove(file);
    ExpectWholeLines(file, [](const std::string& text) { QxPalLog::Log(ListOf({Message_t(String_t(text.c_str()))})); });
}

// Standard error a pipe whose reader has gone: a log entry is a failed write,
// a trace line is dropped, and neither raises SIGPIPE in the caller (which
// would end it), disturbs its signal mask or leaves the signal pending.
// In a child: standard error becomes a pipe whose reader has gone, then a trace
// line and a log entry are written. 0 when the log write failed as an
// IOException_t and SIGPIPE is neither pending nor unblocked.
int WriteToAClosedStandardErrorPipe() {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0) return 2;
    ::close(ends[0]);
    ::close(ends[1]);
    sigset_t before, after, pending;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    TraceObj_t::Get("test.pipe").DoTrace(1, "dropped", "T", 1);
    bool failed = false;
    try {
        QxPalLog::Log(ListOf({Message_t(String_t("lost"))}));
    } catch (const QxPalIo::IOException_t&) {
        failed = true;
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    sigpending(&pending);
    const bool maskKept = sigismember(&before, SIGPIPE) == sigismember(&after, SIGPIPE);
    return failed && maskKept && sigismember(&pending, SIGPIPE) == 0 ? 0 : 3;
}

// A failed write of the log or a trace never ends the caller with SIGPIPE.
TEST(LogDeathTest, AClosedStandardErrorPipeFailsTheWriteWithoutSigpipe) {
    // The child runs the test afresh: a fork of this threaded process could
    // inherit a lock another thread held (sanitizer runtimes are not fork-safe).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SettingsFile settings("[trace]\ntest.pipe = 1\n");
    EXPECT_EXIT(std::_Exit(WriteToAClosedStandardErrorPipe()), ::testing::ExitedWithCode(0), "");
}

TEST(Log, FailuresRaiseIOExceptionNamingTheFileInsteadOfBlocking) {
    SettingsFile settings;
    const std::string directory = settings.File("logdir"), fifo = settings.File("log.fifo");
    std::filesystem::create_directory(directory);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // without a reader
    const MessageList_t lost = ListOf({Message_t(QxPalStr::String_t("lost"))});
    for (const std::string& file : {directory, settings.File("missing-dir/node.log"), fifo}) {
        settings.Replace("[log]\nFILE = " + file + "\n");
        EXPECT_NE(FailureOf<QxPalIo::IOException_t>([&] { QxPalLog::Log(lost); }).find(file), std::string::npos);
    }
    std::filesystem::remove(settings.Path());
    std::filesystem::create_directory(settings.Path());  // settings that cannot be read
    EXPECT_THROW(QxPalLog::Log(lost), QxPalIo::IOException_t);
}
