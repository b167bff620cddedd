// Traces: masks, the line format, the [trace] settings and the trace file.
#include <qxpal/config.h>
#include <qxpal/trace.h>

#include "test_files.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

using QxPalConfig::ConfigNamespace_t;
using QxPalTrc::TraceObj_t;
using QxPalTrc::TraceWrapper_t;

namespace {

// Captures trace lines for the life of a test.
class CapturedLines {
public:
    CapturedLines() {
        QxPalTrc::SetTraceSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~CapturedLines() { QxPalTrc::SetTraceSink({}); }
    CapturedLines(const CapturedLines&) = delete;
    CapturedLines& operator=(const CapturedLines&) = delete;

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

void OpenSettings() { ConfigNamespace_t("any").Open(); }

const std::regex kTimestamp(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z)");

}  // namespace

// ---- Masks ----

TEST(TraceMask, LevelIsEnabledWhenAllItsBitsAreInTheMask) {
    qxpal_test::SettingsFile settings;
    QxPalTrc::SetTraceMask("test.mask.levels", 25);
    const TraceWrapper_t trace("test.mask.levels", 2);
    EXPECT_TRUE(trace.IsEnabled(1));
    EXPECT_TRUE(trace.IsEnabled(8));
    EXPECT_TRUE(trace.IsEnabled(25));
    EXPECT_TRUE(trace.IsEnabled(9));
    EXPECT_FALSE(trace.IsEnabled(4));
    EXPECT_FALSE(trace.IsEnabled(2));
    EXPECT_FALSE(trace.IsEnabled(27));
    QxPalTrc::SetTraceMask("test.mask.levels", 0);
    EXPECT_FALSE(trace.IsEnabled(1));
}

TEST(TraceMask, HandlesShareOneObjectPerName) {
    qxpal_test::SettingsFile settings;
    static const TraceWrapper_t first("test.mask.shared");
    const TraceWrapper_t second("test.mask.shared");
    TraceObj_t* object = first.InitObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(second.InitObject(), object);
    EXPECT_EQ(&TraceObj_t::Get("test.mask.shared"), object);
    EXPECT_EQ(object->GetName(), "test.mask.shared");
    EXPECT_STREQ(first.GetName(), "test.mask.shared");

    std::vector<TraceObj_t*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &seen] { seen[t] = &TraceObj_t::Get("test.mask.concurrent"); });
    }
    for (auto& thread : threads) thread.join();
    for (TraceObj_t* p : seen) EXPECT_EQ(p, seen[0]);
}

// ---- Settings ----

TEST(TraceSettings, MasksComeFromTheTraceSection) {
    qxpal_test::SettingsFile settings("[trace]\ntest.cfg.a = 25\ntest.cfg.b = 4\ntest.cfg.bad = lots\n");
    OpenSettings();
    EXPECT_EQ(TraceObj_t::Get("test.cfg.a").GetMask(), 25u);
    EXPECT_EQ(TraceObj_t::Get("test.cfg.b").GetMask(), 4u);
    EXPECT_EQ(TraceObj_t::Get("test.cfg.bad").GetMask(), 0u);
    EXPECT_EQ(TraceObj_t::Get("test.cfg.unlisted").GetMask(), 0u);
}

TEST(TraceSettings, ChangedSectionTakesEffectAtTheNextOpen) {
    qxpal_test::SettingsFile settings("[trace]\ntest.chg.a = 1\ntest.chg.b = 4\n");
    OpenSettings();
    const TraceWrapper_t a("test.chg.a");
    const TraceWrapper_t b("test.chg.b");
    ASSERT_EQ(a.InitObject()->GetMask(), 1u);
    ASSERT_EQ(b.InitObject()->GetMask(), 4u);

    settings.Replace("[trace]\ntest.chg.a = 25\ntest.chg.c = 8\n");
    EXPECT_EQ(a.InitObject()->GetMask(), 1u);  // not before the settings are opened
    OpenSettings();
    EXPECT_EQ(a.InitObject()->GetMask(), 25u);
    EXPECT_EQ(b.InitObject()->GetMask(), 0u);  // no longer listed
    EXPECT_EQ(TraceObj_t::Get("test.chg.c").GetMask(), 8u);  // created after the change

    settings.Replace("[other]\nX = 1\n");
    OpenSettings();
    EXPECT_EQ(a.InitObject()->GetMask(), 0u);
}

TEST(TraceSettings, TestMaskStaysUntilTheTraceSectionChanges) {
    qxpal_test::SettingsFile settings("[trace]\ntest.keep.other = 1\n[n]\nK = 1\n");
    OpenSettings();
    QxPalTrc::SetTraceMask("test.keep", 4);
    for (int i = 0; i < 3; ++i) OpenSettings();
    EXPECT_EQ(TraceObj_t::Get("test.keep").GetMask(), 4u);
    // Another namespace changes; the [trace] section does not.
    settings.Replace("[trace]\ntest.keep.other = 1\n[n]\nK = 2\n");
    OpenSettings();
    EXPECT_EQ(TraceObj_t::Get("test.keep").GetMask(), 4u);
    settings.Replace("[trace]\ntest.keep.other = 2\n");
    OpenSettings();
    EXPECT_EQ(TraceObj_t::Get("test.keep").GetMask(), 0u);
}

// ---- Lines ----

TEST(TraceLine, SixTabSeparatedFields) {
    qxpal_test::SettingsFile settings;
    CapturedLines captured;
    TraceObj_t& trace = TraceObj_t::Get("test.line.format");
    trace.DoTrace(25, QxPalStr::String_t("Initializing messenger object. \xC3\xA9"), "RpcClientImpl", 42);
    trace.DoTrace(4, "narrow text", "SOAPArgControlMessageList", 7);
    trace.DoTrace(1, static_cast<const char*>(nullptr), nullptr, 0);

    const auto lines = captured.Lines();
    ASSERT_EQ(lines.size(), 3u);
    const auto fields = qxpal_test::Split(lines[0], '\t');
    ASSERT_EQ(fields.size(), 6u) << lines[0];
    EXPECT_TRUE(std::regex_match(fields[0], kTimestamp)) << fields[0];
    EXPECT_EQ(fields[1], std::to_string(::gettid()));
    EXPECT_EQ(fields[2], "test.line.format");
    EXPECT_EQ(fields[3], "25");
    EXPECT_EQ(fields[4], "RpcClientImpl:42");
    EXPECT_EQ(fields[5], "Initializing messenger object. \xC3\xA9");

    EXPECT_EQ(qxpal_test::Split(lines[1], '\t')[5], "narrow text");
    const auto empty = qxpal_test::Split(lines[2], '\t');
    ASSERT_EQ(empty.size(), 6u);
    EXPECT_EQ(empty[4], "?:0");
    EXPECT_EQ(empty[5], "");
}

TEST(TraceLine, ThreadIdsTellThreadsApart) {
    qxpal_test::SettingsFile settings;
    CapturedLines captured;
    TraceObj_t& trace = TraceObj_t::Get("test.line.threads");
    trace.DoTrace(1, "main", "T", 1);
    std::thread([&trace] { trace.DoTrace(1, "other", "T", 2); }).join();
    const auto lines = captured.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(qxpal_test::Split(lines[0], '\t')[1], qxpal_test::Split(lines[1], '\t')[1]);
}

TEST(TraceFile, ConcurrentLinesNeverInterleave) {
    qxpal_test::SettingsFile settings;
    const std::string file = settings.File("trace.log");
    settings.Replace("[trace]\nFILE = " + file + "\ntest.file.lines = 1\n");
    OpenSettings();
    const TraceWrapper_t trace("test.file.lines");
    ASSERT_TRUE(trace.IsEnabled(1));

    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    const std::string padding(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLines; ++n) {
                trace.InitObject()->DoTrace(1, ("t" + std::to_string(t) + " n" + std::to_string(n) + " " + padding).c_str(),
                                            "TraceTest", n);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const auto lines = qxpal_test::Lines(qxpal_test::ReadFile(file));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    std::set<std::string> texts;
    const std::regex text(R"(t\d n\d+ x{300})");
    for (const auto& line : lines) {
        const auto fields = qxpal_test::Split(line, '\t');
        ASSERT_EQ(fields.size(), 6u) << line;
        ASSERT_TRUE(std::regex_match(fields[5], text)) << line;
        EXPECT_EQ(fields[2], "test.file.lines");
        texts.insert(fields[5]);
    }
    EXPECT_EQ(texts.size(), lines.size());
}

TEST(TraceFile, ChangedFileSettingMovesTheLines) {
    qxpal_test::SettingsFile settings;
    const std::string first = settings.File("first.log");
    const std::string second = settings.File("second.log");
    settings.Replace("[trace]\nFILE = " + first + "\ntest.file.move = 1\n");
    OpenSettings();
    TraceObj_t& trace = TraceObj_t::Get("test.file.move");
    trace.DoTrace(1, "one", "T", 1);
    settings.Replace("[trace]\nFILE = " + second + "\ntest.file.move = 1\n");
    OpenSettings();
    trace.DoTrace(1, "two", "T", 2);
    const auto a = qxpal_test::Lines(qxpal_test::ReadFile(first));
    const auto b = qxpal_test::Lines(qxpal_test::ReadFile(second));
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(qxpal_test::Split(a[0], '\t')[5], "one");
    EXPECT_EQ(qxpal_test::Split(b[0], '\t')[5], "two");
}

TEST(TraceFile, SinkTakesLinesInsteadOfTheFileUntilRemoved) {
    qxpal_test::SettingsFile settings;
    const std::string file = settings.File("trace.log");
    settings.Replace("[trace]\nFILE = " + file + "\ntest.file.sink = 1\n");
    OpenSettings();
    TraceObj_t& trace = TraceObj_t::Get("test.file.sink");
    {
        CapturedLines captured;
        trace.DoTrace(1, "captured", "T", 1);
        EXPECT_EQ(captured.Lines().size(), 1u);
    }
    trace.DoTrace(1, "written", "T", 2);
    const auto lines = qxpal_test::Lines(qxpal_test::ReadFile(file));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(qxpal_test::Split(lines[0], '\t')[5], "written");
}
