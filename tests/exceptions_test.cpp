// The exception family and the message catalog "ctrl".

#include <dadovu/Exceptions.h>
#include <gtest/gtest.h>
#include <vorazudor/secauth.h>

#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using namespace DaDovu;

QxPalMsg::Error_t Message(unsigned number, const char* text) {
    return QxPalMsg::Error_t(Catalog::GetCatalog(), number, text);
}

template <typename T>
class EachException : public ::testing::Test {};

using Family = ::testing::Types<ControlException, ComponentException, TargetException, PrerequisiteException,
                                EventException, CommunicationException, GetUserException>;
TYPED_TEST_SUITE(EachException, Family);

TYPED_TEST(EachException, IsAControlExceptionAndARuntimeException) {
    static_assert(std::is_base_of<ControlException, TypeParam>::value, "");
    static_assert(std::is_base_of<QxPalMsg::RuntimeException_t, TypeParam>::value, "");
    static_assert(std::has_virtual_destructor<TypeParam>::value, "");
    static_assert(!std::is_base_of<ControlException, QxSecAuth::SecAuthException>::value, "");
    static_assert(sizeof(TypeParam) == sizeof(QxPalMsg::RuntimeException_t), "no class adds a data member");
}

TYPED_TEST(EachException, CarriesTheMessageItWasBuiltFrom) {
    const TypeParam e(Message(4, "No component matches target."));
    ASSERT_EQ(e.GetMessageList().GetMessageCount(), 1);
    EXPECT_EQ(e.GetMessageList().GetMessageObject(0).GetMessageNo(), 4u);
    EXPECT_STREQ(e.GetMessageList().GetMessageObject(0).GetMessageCatalog(), "ctrl");
}

TYPED_TEST(EachException, CopiesAndAssignmentsKeepTheMessages) {
    TypeParam original(Message(7, "Error in the target component."));
    const TypeParam copy(original);
    TypeParam assigned(Message(10, "Error. Check logfile for more information."));
    TypeParam& result = (assigned = original);
    EXPECT_EQ(&result, &assigned);
    const std::string text = original.GetMessageList().Format(QxPalMsg::FORMAT_FULL).ToUtf8();
    EXPECT_EQ(copy.GetMessageList().Format(QxPalMsg::FORMAT_FULL).ToUtf8(), text);
    EXPECT_EQ(assigned.GetMessageList().Format(QxPalMsg::FORMAT_FULL).ToUtf8(), text);
    EXPECT_EQ(assigned.GetMessageList().GetMessageCount(), 1);
}

TYPED_TEST(EachException, IsBuiltFromAnyExceptionOfTheBaseLibrary) {
    QxPalMsg::MessageList_t messages;
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("first")));
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("second")));
    const QxPalIo::IOException_t io(QxPalMsg::Message_t(QxPalStr::String_t("disk")));
    const TypeParam fromIo(static_cast<const QxPalMsg::Exception_t&>(io));
    EXPECT_EQ(fromIo.GetMessageList().Format(QxPalMsg::FORMAT_PLAIN).ToUtf8(), "disk");
    const QxPalMsg::Exception_t plain(messages);
    const TypeParam fromPlain(plain);
    EXPECT_EQ(fromPlain.GetMessageList().GetMessageCount(), 2);
}

TYPED_TEST(EachException, CanBeDestroyedThroughTheRootClass) {
    std::unique_ptr<QxPalMsg::Exception_t> e(new TypeParam(Message(5, "x")));
    EXPECT_EQ(e->GetMessageList().GetMessageCount(), 1);
}

TEST(ExceptionTree, ATargetExceptionIsCaughtByEachBaseInOrderOfSpecificity) {
    int caught = 0;
    try {
        throw TargetException(Message(4, "No component matches target."));
    } catch (const ControlException&) {
        caught = 1;
    } catch (const QxPalMsg::RuntimeException_t&) {
        caught = 2;
    }
    EXPECT_EQ(caught, 1);
    try {
        throw TargetException(Message(4, "No component matches target."));
    } catch (const QxPalMsg::Exception_t& e) {
        EXPECT_NE(dynamic_cast<const TargetException*>(&e), nullptr);
    }
}

TEST(ExceptionTree, ASecurityExceptionIsNoControlException) {
    bool caughtAsControl = false;
    try {
        try {
            throw QxSecAuth::SecAuthException(Message(8, "Not authorized."));
        } catch (const ControlException&) {
            caughtAsControl = true;
        }
    } catch (const QxPalMsg::RuntimeException_t&) {
    }
    EXPECT_FALSE(caughtAsControl);
}

TEST(MessageCatalog, IsOneObjectNamedCtrl) {
    const QxPalMsg::MessageCatalog_t& catalog = Catalog::GetCatalog();
    EXPECT_EQ(&catalog, &Catalog::GetCatalog());
    EXPECT_STREQ(catalog.GetCatalogID(), "ctrl");
}

TEST(MessageCatalog, ThreadsGetTheSameObject) {
    std::vector<const QxPalMsg::MessageCatalog_t*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &Catalog::GetCatalog(); });
    for (std::thread& thread : threads) thread.join();
    for (const QxPalMsg::MessageCatalog_t* catalog : seen) EXPECT_EQ(catalog, &Catalog::GetCatalog());
}

}  // namespace
