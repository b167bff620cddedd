// Messages, message lists, their text forms, and the exception tree.
#include <qxpal/exception.h>
#include <qxpal/message.h>

#include <gtest/gtest.h>

#include <type_traits>

using namespace QxPalMsg;
using QxPalStr::String_t;

namespace {

const MessageCatalog_t& TestCatalog() {
    static const MessageCatalog_t catalog("qxtest");
    return catalog;
}

// "Outer" (error 23) with two details, the first of which has a detail of its own.
Message_t NestedMessage() {
    Message_t inner = CreateError_t(TestCatalog(), 5, "Inner");
    MessageList_t innerDetails;
    innerDetails.Add(CreateMessage_t(SEVERITY_WARNING, "Deepest"));
    inner.AddDetails(innerDetails);

    MessageList_t details;
    details.Add(inner);
    details.Add(Message_t(String_t("Second")));
    Message_t outer = CreateError_t(TestCatalog(), 23, "Outer");
    outer.AddDetails(details);
    return outer;
}

}  // namespace

// ---- Building messages ----

TEST(MessageBuild, CreateErrorCarriesCatalogNumberAndAppendedText) {
    CreateError_t error(TestCatalog(), 23, "Error while reading: ");
    error << "x" << String_t("y");
    EXPECT_EQ(error.GetSeverity(), SEVERITY_ERROR);
    EXPECT_STREQ(error.GetMessageCatalog(), "qxtest");
    EXPECT_EQ(error.GetMessageNo(), 23u);
    EXPECT_TRUE(error.GetMessageText(FORMAT_TEXT) == "Error while reading: xy");
    EXPECT_TRUE(error.GetMessageText(FORMAT_FULL) == "Error while reading: xy");
}

TEST(MessageBuild, UncataloguedMessagesAndSeverities) {
    const Message_t plain(String_t("hello"));
    EXPECT_EQ(plain.GetSeverity(), SEVERITY_INFO);
    EXPECT_STREQ(plain.GetMessageCatalog(), "");
    EXPECT_EQ(plain.GetMessageNo(), 0u);

    CreateMessage_t fromInt(2, "two");
    EXPECT_EQ(fromInt.GetSeverity(), SEVERITY_ERROR);
    fromInt << " more";
    EXPECT_TRUE(fromInt.GetMessageText(0) == "two more");
    EXPECT_EQ(CreateMessage_t(SEVERITY_FATAL, "f").GetSeverity(), SEVERITY_FATAL);
}

TEST(MessageBuild, ErrorFromMessageKeepsEverythingButSeverity) {
    CreateMessage_t warning(SEVERITY_WARNING, "careful");
    ParmList_t parms;
    parms.AddParm(String_t("p1"));
    warning.AddParms(parms);
    MessageList_t details;
    details.Add(Message_t(String_t("why")));
    warning.AddDetails(details);

    const Error_t error(warning);
    EXPECT_EQ(error.GetSeverity(), SEVERITY_ERROR);
    EXPECT_TRUE(error.GetMessageText(FORMAT_TEXT) == "careful");
    ASSERT_EQ(error.GetParameterList().GetCount(), 1);
    EXPECT_TRUE(error.GetParameterList().GetParm(0).GetText() == "p1");
    EXPECT_EQ(error.GetDetails().GetMessageCount(), 1);

    const Error_t direct(TestCatalog(), 7, "seven");
    EXPECT_EQ(direct.GetMessageNo(), 7u);
    EXPECT_STREQ(direct.GetMessageCatalog(), "qxtest");
}

TEST(MessageBuild, ParametersKeepOrderAndSelfAddIsSafe) {
    ParmList_t parms;
    parms.AddParm(String_t("a"));
    parms.AddParm(Parm_t(String_t("b")));
    Message_t m(String_t("t"));
    m.AddParms(parms);
    m.AddParms(m.GetParameterList());
    ASSERT_EQ(m.GetParameterList().GetCount(), 4);
    EXPECT_TRUE(static_cast<const String_t&>(m.GetParameterList().GetParm(3)) == "b");
    parms.Clear();
    EXPECT_EQ(parms.GetCount(), 0);
    EXPECT_THROW(parms.GetParm(0), std::out_of_range);
}

TEST(MessageBuild, CopiesAreDeep) {
    Message_t original = NestedMessage();
    Message_t copy = original;
    MessageList_t more;
    more.Add(Message_t(String_t("added")));
    copy.AddDetails(more);
    EXPECT_EQ(original.GetDetails().GetMessageCount(), 2);
    EXPECT_EQ(copy.GetDetails().GetMessageCount(), 3);

    Message_t assigned(String_t("x"));
    assigned = original;
    EXPECT_TRUE(assigned.Format(FORMAT_PLAIN) == original.Format(FORMAT_PLAIN));
    assigned = assigned;  // self-assignment keeps the message
    EXPECT_EQ(assigned.GetDetails().GetMessageCount(), 2);

    Message_t moved = std::move(copy);
    EXPECT_EQ(moved.GetDetails().GetMessageCount(), 3);
}

TEST(MessageBuild, AttachingDetailsToThemselvesOrEmpty) {
    Message_t m(String_t("m"));
    m.AddDetails(MessageList_t());
    EXPECT_EQ(m.GetDetails().GetMessageCount(), 0);
    EXPECT_TRUE(m.Format(FORMAT_PLAIN) == "m");

    MessageList_t one;
    one.Add(Message_t(String_t("d")));
    m.AddDetails(one);
    m.AddDetails(m.GetDetails());
    EXPECT_EQ(m.GetDetails().GetMessageCount(), 2);
}

// ---- Text forms ----

TEST(MessageFormat, PlainOfOneMessageWithoutDetailsIsExactlyItsText) {
    MessageList_t list;
    list.Add(Message_t(String_t("ctrlauthorization")));
    EXPECT_TRUE(list.Format(FORMAT_PLAIN) == "ctrlauthorization");
    MessageList_t catalogued;
    catalogued.Add(CreateError_t(TestCatalog(), 12, "Communication error."));
    EXPECT_TRUE(catalogued.Format(FORMAT_PLAIN) == "Communication error.");
    EXPECT_TRUE(MessageList_t().Format(FORMAT_PLAIN).IsEmpty());
}

TEST(MessageFormat, PlainKeepsEachMessageOnOneLineWithDetailsAfterBars) {
    const Message_t nested = NestedMessage();
    EXPECT_TRUE(nested.Format(FORMAT_PLAIN) == "Outer | Inner | Deepest | Second");
    MessageList_t list;
    list.Add(nested);
    list.Add(Message_t(String_t("Next")));
    EXPECT_TRUE(list.Format(FORMAT_PLAIN) == "Outer | Inner | Deepest | Second\nNext");
}

TEST(MessageFormat, TextIsTheBareTextWithoutDetails) {
    const Message_t nested = NestedMessage();
    EXPECT_TRUE(nested.Format(FORMAT_TEXT) == "Outer");
    MessageList_t list;
    list.Add(nested);
    list.Add(Message_t(String_t("Next")));
    EXPECT_TRUE(list.Format(FORMAT_TEXT) == "Outer\nNext");
}

TEST(MessageFormat, FullShowsSeverityCatalogNumberAndIndentedDetails) {
    EXPECT_EQ(NestedMessage().Format(FORMAT_FULL).ToUtf8(),
              "ERROR qxtest 23: Outer\n"
              "    ERROR qxtest 5: Inner\n"
              "        WARNING: Deepest\n"
              "    INFO: Second");
    EXPECT_EQ(CreateMessage_t(7, "odd").Format(FORMAT_FULL).ToUtf8(), "SEVERITY 7: odd");
    EXPECT_EQ(CreateMessage_t(SEVERITY_FATAL, "f").Format(FORMAT_FULL).ToUtf8(), "FATAL: f");

    MessageList_t list;
    list.Add(CreateError_t(TestCatalog(), 1, "a"));
    list.Add(Message_t(String_t("b")));
    EXPECT_EQ(list.Format(FORMAT_FULL).ToUtf8(), "ERROR qxtest 1: a\nINFO: b");
}

// ---- Lists ----

TEST(MessageList, IndexOutsideTheListIsAnIllegalArgument) {
    MessageList_t list;
    EXPECT_THROW(list.GetMessageObject(0), IllegalArgumentError_t);
    list.Add(Message_t(String_t("a")));
    EXPECT_NO_THROW(list.GetMessageObject(0));
    EXPECT_THROW(list.GetMessageObject(1), IllegalArgumentError_t);
    EXPECT_THROW(list.GetMessageObject(-1), IllegalArgumentError_t);
    list.Clear();
    EXPECT_EQ(list.GetMessageCount(), 0);
}

TEST(MessageList, AddingAnElementOfTheSameListIsSafe) {
    MessageList_t list;
    list.Add(NestedMessage());
    for (int i = 0; i < 5; ++i) list.Add(list.GetMessageObject(0));
    EXPECT_EQ(list.GetMessageCount(), 6);
    EXPECT_TRUE(list.GetMessageObject(5).Format(FORMAT_PLAIN) == "Outer | Inner | Deepest | Second");
}

// ---- Exceptions ----

TEST(ExceptionTree, ClassesDeriveAsDocumented) {
    static_assert(std::is_base_of_v<std::exception, Exception_t>);
    static_assert(std::is_base_of_v<Exception_t, RuntimeException_t>);
    static_assert(std::is_base_of_v<Exception_t, LogicError_t>);
    static_assert(std::is_base_of_v<LogicError_t, IllegalArgumentError_t>);
    static_assert(std::is_base_of_v<LogicError_t, IllegalStateError_t>);
    static_assert(std::is_base_of_v<Exception_t, QxPalIo::IOException_t>);
    static_assert(!std::is_base_of_v<LogicError_t, QxPalIo::IOException_t>);
    static_assert(!std::is_base_of_v<RuntimeException_t, LogicError_t>);

    try {
        throw IllegalArgumentError_t(CreateError_t(TestCatalog(), 3, "bad"));
    } catch (const LogicError_t& e) {
        EXPECT_EQ(e.GetMessageList().GetMessageObject(0).GetMessageNo(), 3u);
    }
    try {
        throw QxPalIo::IOException_t(Message_t(String_t("disk")));
    } catch (const Exception_t& e) {
        EXPECT_STREQ(e.what(), "disk");
    }
}

TEST(ExceptionTree, WhatIsThePlainTextInUtf8) {
    const RuntimeException_t e(NestedMessage());
    EXPECT_STREQ(e.what(), "Outer | Inner | Deepest | Second");
    const IllegalStateError_t unicode(Message_t(String_t("Grüße \xF0\x9F\x98\x80")));
    EXPECT_STREQ(unicode.what(), "Grüße \xF0\x9F\x98\x80");
    EXPECT_STREQ(Exception_t().what(), "");
}

TEST(ExceptionTree, WhatFollowsChangesOfTheMessageList) {
    Exception_t e(Message_t(String_t("first")));
    EXPECT_STREQ(e.what(), "first");
    e.GetMessageList().Add(Message_t(String_t("second")));
    EXPECT_STREQ(e.what(), "first\nsecond");
}

TEST(ExceptionTree, CopiesCarryIndependentMessageLists) {
    MessageList_t messages;
    messages.Add(Message_t(String_t("a")));
    messages.Add(Message_t(String_t("b")));
    const Exception_t original(messages);
    Exception_t copy = original;
    copy.GetMessageList().Clear();
    EXPECT_EQ(original.GetMessageList().GetMessageCount(), 2);
    EXPECT_STREQ(original.what(), "a\nb");
    EXPECT_STREQ(copy.what(), "");

    const RuntimeException_t rethrown(original);
    EXPECT_EQ(rethrown.GetMessageList().GetMessageCount(), 2);
    EXPECT_STREQ(rethrown.what(), "a\nb");

    IllegalArgumentError_t a(Message_t(String_t("x")));
    const IllegalArgumentError_t b(Message_t(String_t("y")));
    a = b;
    EXPECT_STREQ(a.what(), "y");
}
