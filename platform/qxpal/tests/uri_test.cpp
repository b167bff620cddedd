// URI_t parsing, and the mutex helpers.
#include <qxpal/thread.h>
#include <qxpal/uri.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using QxPalNet::URI_t;

TEST(UriParse, SchemeHostPortAndPath) {
    const URI_t uri(QxPalStr::String_t("http://localhost:5000/ctrl.daemon/lnkrpcserver"));
    ASSERT_TRUE(uri.IsValid());
    EXPECT_EQ(uri.GetScheme(), "http");
    EXPECT_EQ(uri.GetHost(), "localhost");
    EXPECT_EQ(uri.GetPort(), 5000);
    EXPECT_EQ(uri.GetPathAndQuery(), "/ctrl.daemon/lnkrpcserver");
    EXPECT_TRUE(uri.ToString() == "http://localhost:5000/ctrl.daemon/lnkrpcserver");
    EXPECT_EQ(uri.GetUtf8(), "http://localhost:5000/ctrl.daemon/lnkrpcserver");
    EXPECT_EQ(uri.FindIllegalCharacter(), -1);
}

TEST(UriParse, SchemeIsLowerCasedAndPathDefaults) {
    const URI_t upper("HTTPS://Node-1.example/p?q=1&r=2#frag");
    ASSERT_TRUE(upper.IsValid());
    EXPECT_EQ(upper.GetScheme(), "https");
    EXPECT_EQ(upper.GetHost(), "Node-1.example");
    EXPECT_EQ(upper.GetPort(), 0);
    EXPECT_EQ(upper.GetPathAndQuery(), "/p?q=1&r=2");

    EXPECT_EQ(URI_t("http://h").GetPathAndQuery(), "/");
    EXPECT_EQ(URI_t("http://h:8080").GetPort(), 8080);
    EXPECT_EQ(URI_t("http://h?x=1").GetPathAndQuery(), "/?x=1");
    EXPECT_EQ(URI_t("http://user:pw@h:1/x").GetHost(), "h");
    EXPECT_EQ(URI_t("http://h:65535/").GetPort(), 65535);
}

TEST(UriParse, BracketedIPv6Hosts) {
    const URI_t loopback("http://[::1]:8080/x");
    ASSERT_TRUE(loopback.IsValid());
    EXPECT_EQ(loopback.GetHost(), "::1");
    EXPECT_EQ(loopback.GetPort(), 8080);
    EXPECT_EQ(URI_t("https://[fe80::1%25eth0]/").GetHost(), "fe80::1%25eth0");
    EXPECT_EQ(URI_t("http://[::ffff:127.0.0.1]/").GetHost(), "::ffff:127.0.0.1");
    EXPECT_EQ(URI_t("http://[2001:db8::2]").GetPort(), 0);
}

TEST(UriParse, UnparseableTextIsInvalid) {
    for (const char* text : {"", "localhost:80/x", "http:/h/x", "://h/", "1http://h/", "ht tp://h/", "http://",
                             "http:///path", "http://:80/", "http://h:/", "http://h:0/", "http://h:65536/",
                             "http://h:8a/", "http://h:123456/", "http://a:b:c/", "http://[::1/", "http://[::1]x/",
                             "http://[]/", "http://[zz::1]/", "http://[127.0.0.1]/", "http://h o/"}) {
        EXPECT_FALSE(URI_t(text).IsValid()) << text;
    }
    EXPECT_FALSE(URI_t().IsValid());
    EXPECT_FALSE(URI_t(static_cast<const char*>(nullptr)).IsValid());
}

TEST(UriIllegal, FirstWhiteSpaceOrControlCharacterAsCodePoint) {
    EXPECT_EQ(URI_t("http://h/a b").FindIllegalCharacter(), 0x20);
    EXPECT_EQ(URI_t("http://h/a\tb c").FindIllegalCharacter(), 0x09);
    EXPECT_EQ(URI_t("http://h/\x7F").FindIllegalCharacter(), 0x7F);
    EXPECT_EQ(URI_t("http://h/\x01").FindIllegalCharacter(), 0x01);
    EXPECT_EQ(URI_t("http://h/\xC2\xA0").FindIllegalCharacter(), 0xA0);
    EXPECT_EQ(URI_t("http://h/\xC2\x85").FindIllegalCharacter(), 0x85);
    EXPECT_EQ(URI_t("http://h/\xE2\x80\x83").FindIllegalCharacter(), 0x2003);
    EXPECT_EQ(URI_t(" http://h/").FindIllegalCharacter(), 0x20);
    EXPECT_EQ(URI_t("http://h/caf\xC3\xA9/\xF0\x9F\x98\x80").FindIllegalCharacter(), -1);
    // The path is still parsed; deciding what to do with the character is the caller's.
    EXPECT_TRUE(URI_t("http://h/a b").IsValid());
}

TEST(Mutex, ScopedLockExcludesOtherThreads) {
    QxPalThread::Mutex_t mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                QxPalThread::MutexLock_t lock(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}
