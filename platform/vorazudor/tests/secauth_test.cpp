#include <vorazudor/vorazudor.h>

#include <gtest/gtest.h>

TEST(SecAuthException, IsARuntimeExceptionCarryingItsMessage) {
    QxPalMsg::MessageCatalog_t catalog("sec");
    try {
        throw QxSecAuth::SecAuthException(QxPalMsg::Error_t(catalog, 8, "Not authorized."));
    } catch (const QxPalMsg::RuntimeException_t& e) {
        ASSERT_EQ(e.GetMessageList().GetMessageCount(), 1);
        EXPECT_TRUE(e.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN) == "Not authorized.");
        EXPECT_EQ(e.GetMessageList().GetMessageObject(0).GetMessageNo(), 8u);
    }
}
