// The node's log: line format, one line per message, and failures.
#include <qxpal/exception.h>
#include <qxpal/log.h>

#include "test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace QxPalMsg;
using QxPalStr::String_t;

namespace {

const MessageCatalog_t& Ctrl() {
    static const MessageCatalog_t catalog("ctrl");
    return catalog;
}

// Settings whose [log] FILE is a file of the test's own directory.
class LogFile {
public:
    LogFile() : path_(settings_.File("node.log")) { settings_.Replace("[log]\nFILE = " + path_ + "\n"); }
    std::vector<std::string> Lines() const { return qxpal_test::Lines(qxpal_test::ReadFile(path_)); }
    const qxpal_test::SettingsFile& Settings() const { return settings_; }

private:
    qxpal_test::SettingsFile settings_;
    std::string path_;
};

}  // namespace

TEST(Log, OneTabSeparatedLinePerMessage) {
    LogFile log;
    MessageList_t messages;
    messages.Add(CreateError_t(Ctrl(), 12, "Communication error when executing 'Start' method."));
    messages.Add(CreateMessage_t(SEVERITY_WARNING, "Grüße"));
    messages.Add(CreateMessage_t(9, "odd severity"));
    QxPalLog::Log(messages);

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    const auto first = qxpal_test::Split(lines[0], '\t');
    ASSERT_EQ(first.size(), 5u) << lines[0];
    EXPECT_TRUE(std::regex_match(first[0], std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d+)?Z)"))) << first[0];
    EXPECT_EQ(first[1], "ERROR");
    EXPECT_EQ(first[2], "ctrl");
    EXPECT_EQ(first[3], "12");
    EXPECT_EQ(first[4], "Communication error when executing 'Start' method.");

    const auto second = qxpal_test::Split(lines[1], '\t');
    ASSERT_EQ(second.size(), 5u);
    EXPECT_EQ(second[1], "WARNING");
    EXPECT_EQ(second[2], "");
    EXPECT_EQ(second[3], "0");
    EXPECT_EQ(second[4], "Grüße");
    EXPECT_EQ(qxpal_test::Split(lines[2], '\t')[1], "9");
}

TEST(Log, DetailsFollowOnTheSameLineAndLineBreaksBecomeBlanks) {
    LogFile log;
    MessageList_t caught;
    caught.Add(Message_t(String_t("connect failed:\r\nrefused")));
    caught.Add(Message_t(String_t("line\xE2\x80\xA8separator")));
    CreateError_t message(Ctrl(), 12, "Communication error.");
    message.AddDetails(caught);
    MessageList_t messages;
    messages.Add(message);
    QxPalLog::Log(messages);

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    const auto fields = qxpal_test::Split(lines[0], '\t');
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[4], "Communication error. | connect failed:  refused | line separator");
}

TEST(Log, AppendsToWhatIsThere) {
    LogFile log;
    MessageList_t one;
    one.Add(Message_t(String_t("first")));
    QxPalLog::Log(one);
    one.Clear();
    one.Add(Message_t(String_t("second")));
    QxPalLog::Log(one);
    QxPalLog::Log(MessageList_t());  // nothing to write
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(qxpal_test::Split(lines[1], '\t')[4], "second");
}

TEST(Log, ConcurrentWritersKeepLinesWhole) {
    LogFile log;
    const std::string padding(500, 'y');
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < 50; ++n) {
                MessageList_t messages;
                messages.Add(Message_t(String_t(("t" + std::to_string(t) + " " + padding).c_str())));
                QxPalLog::Log(messages);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 400u);
    const std::regex text("t[0-7] y{500}");
    for (const auto& line : lines) {
        const auto fields = qxpal_test::Split(line, '\t');
        ASSERT_EQ(fields.size(), 5u) << line;
        ASSERT_TRUE(std::regex_match(fields[4], text)) << line;
    }
}

TEST(Log, UnwritableFileRaisesIOException) {
    qxpal_test::SettingsFile settings;
    const std::string directory = settings.File("logdir");
    std::filesystem::create_directory(directory);
    settings.Replace("[log]\nFILE = " + directory + "\n");
    MessageList_t messages;
    messages.Add(Message_t(String_t("lost")));
    try {
        QxPalLog::Log(messages);
        FAIL() << "no exception";
    } catch (const QxPalIo::IOException_t& e) {
        EXPECT_NE(std::string(e.what()).find(directory), std::string::npos) << e.what();
    }

    settings.Replace("[log]\nFILE = " + settings.File("missing-dir/node.log") + "\n");
    EXPECT_THROW(QxPalLog::Log(messages), QxPalIo::IOException_t);
}

TEST(Log, FifoWithoutReaderRaisesIOExceptionInsteadOfBlocking) {
    qxpal_test::SettingsFile settings;
    const std::string fifo = settings.File("log.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    settings.Replace("[log]\nFILE = " + fifo + "\n");
    MessageList_t messages;
    messages.Add(Message_t(String_t("nobody listens")));
    EXPECT_THROW(QxPalLog::Log(messages), QxPalIo::IOException_t);
}

TEST(Log, UnreadableSettingsRaiseIOException) {
    qxpal_test::SettingsFile settings;
    std::filesystem::create_directory(settings.Path());
    MessageList_t messages;
    messages.Add(Message_t(String_t("lost")));
    EXPECT_THROW(QxPalLog::Log(messages), QxPalIo::IOException_t);
}
