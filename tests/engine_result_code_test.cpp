// The daemon's result codes: which are accepted and returned, which exception
// each rejected code raises (class, catalog, number, text), which handlers
// catch it, and what each method makes of a response without "result".

#include <dadovu/dadovu.h>
#include <gtest/gtest.h>
#include <vorazudor/secauth.h>

#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "TestDaemon.h"
#include "engine/ControlImpl.h"
#include "engine_support.h"

namespace {

using DaDovu::Control;
using DaDovu::ControlImpl_t;
using EngineTest::EngineFixture;
using SoapTest::Reply;

struct RejectedCode {
    int code;
    const std::type_info* type;
    unsigned number;
    const char* text;
};

std::string Describe(const RejectedCode& row) { return "code " + std::to_string(row.code); }

const std::vector<RejectedCode> kRejected = {
    {64, &typeid(DaDovu::ComponentException), 7, "Error in the target component."},
    {65, &typeid(DaDovu::TargetException), 4, "No component matches target."},
    {70, &typeid(QxSecAuth::SecAuthException), 8, "Not authorized."},
    {71, &typeid(DaDovu::PrerequisiteException), 6, "Error in one of the target prerequisites."},
    {73, &typeid(DaDovu::EventException), 5, "No target component subscribed for this event."},
    {74, &typeid(QxSecAuth::SecAuthException), 9, "Not authenticated."},
    {75, &typeid(DaDovu::GetUserException), 91, "Can not get username for Q-Tier processes."},
    {66, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
    {72, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
    {76, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
    {127, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
    {192, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
    {-1, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
    {-2147483647 - 1 + 64, &typeid(DaDovu::ControlException), 10, "Error. Check logfile for more information."},
};

// The exception must carry exactly one message: catalog "ctrl", the row's
// number and text, error severity and no details from the daemon.
void ExpectOnlyMessage(const QxPalMsg::Exception_t& e, unsigned number, const std::string& text) {
    const QxPalMsg::MessageList_t& messages = e.GetMessageList();
    ASSERT_EQ(messages.GetMessageCount(), 1);
    const QxPalMsg::Message_t& message = messages.GetMessageObject(0);
    EXPECT_STREQ(message.GetMessageCatalog(), "ctrl");
    EXPECT_EQ(message.GetMessageNo(), number);
    EXPECT_EQ(message.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), text);
    EXPECT_EQ(message.GetSeverity(), QxPalMsg::SEVERITY_ERROR);
    EXPECT_EQ(message.GetDetails().GetMessageCount(), 0);
}

class EngineResultCode : public EngineFixture {};

TEST_F(EngineResultCode, AcceptedCodesAreReturned) {
    for (int code : {0, 1, 63, 128, -65, 2147483647 - 64}) {
        daemon_.Enqueue(Reply::Result(code));
        EXPECT_EQ(ControlImpl_t::Start("t", false, options_, Uri()), code);
    }
}

TEST_F(EngineResultCode, EveryRejectedCodeRaisesItsExceptionWithItsMessage) {
    for (const RejectedCode& row : kRejected) {
        SCOPED_TRACE(Describe(row));
        daemon_.Enqueue(Reply::Result(row.code));
        try {
            ControlImpl_t::Start("t", false, options_, Uri());
            ADD_FAILURE() << "no exception";
        } catch (const QxPalMsg::Exception_t& e) {
            EXPECT_EQ(typeid(e), *row.type) << typeid(e).name();
            ExpectOnlyMessage(e, row.number, row.text);
        }
    }
}

TEST_F(EngineResultCode, ATargetExceptionIsCaughtAsControlExceptionRuntimeExceptionAndException) {
    for (int handler = 0; handler < 3; ++handler) {
        daemon_.Enqueue(Reply::Result(65));
        int caughtBy = -1;
        try {
            try {
                try {
                    ControlImpl_t::Start("t", false, options_, Uri());
                } catch (const DaDovu::ControlException&) {
                    caughtBy = 0;
                    if (handler > 0) throw;
                }
            } catch (const QxPalMsg::RuntimeException_t&) {
                caughtBy = 1;
                if (handler > 1) throw;
            }
        } catch (const QxPalMsg::Exception_t&) {
            caughtBy = 2;
        }
        EXPECT_EQ(caughtBy, handler);
    }
}

TEST_F(EngineResultCode, ASecurityCodeIsNotCaughtAsControlException) {
    for (int code : {70, 74}) {
        daemon_.Enqueue(Reply::Result(code));
        bool caughtAsSecurity = false;
        try {
            try {
                ControlImpl_t::Start("t", false, options_, Uri());
            } catch (const DaDovu::ControlException&) {
                ADD_FAILURE() << "caught as ControlException: " << code;
            }
        } catch (const QxSecAuth::SecAuthException& e) {
            caughtAsSecurity = true;
            const QxPalMsg::RuntimeException_t& runtime = e;  // both families share this base
            EXPECT_EQ(runtime.GetMessageList().GetMessageCount(), 1);
        }
        EXPECT_TRUE(caughtAsSecurity) << code;
    }
}

// The code is checked for every method of the frame but "requestprogress";
// the registration methods return it unchecked.
TEST_F(EngineResultCode, CheckedMethodsRejectAndUncheckedMethodsReturnTheCode) {
    for (const EngineTest::Request& request : EngineTest::AllRequests()) {
        SCOPED_TRACE(request.name);
        daemon_.Enqueue(Reply::Result(65));
        const bool checked = request.framed && request.method != "requestprogress";
        bool threw = false;
        try {
            request.run(options_, Uri());
        } catch (const DaDovu::TargetException&) {
            threw = true;
        }
        EXPECT_EQ(threw, checked);
    }
    QxPalMsg::MessageList_t messages;
    daemon_.Enqueue(Reply::Result(65));
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(1, options_, messages, Uri()), 65);
    daemon_.Enqueue(Reply::Result(74));
    EXPECT_EQ(ControlImpl_t::AddComponent("f", Uri()), 74);
    daemon_.Enqueue(Reply::Result(65));
    EXPECT_EQ(ControlImpl_t::DeleteComponent("c", Uri()), 65);
}

TEST_F(EngineResultCode, NotifyRaisesEventExceptionForCode73) {
    daemon_.Enqueue(Reply::Result(73));
    EXPECT_THROW(ControlImpl_t::Notify("e", "v", "t", options_, Uri()), DaDovu::EventException);
}

TEST_F(EngineResultCode, AnAsynchronousRequestIdIsCheckedLikeAnyCode) {
    options_.SetAsynchronous(true);
    daemon_.Enqueue(Reply::Result(-65));
    EXPECT_EQ(ControlImpl_t::Start("t", false, options_, Uri()), -65);
    daemon_.Enqueue(Reply::Result(64));
    EXPECT_THROW(ControlImpl_t::Stop("t", false, options_, Uri()), DaDovu::ComponentException);
}

// --- A response without "result" ------------------------------------------

void ExpectGeneralControlException(const std::function<void()>& request) {
    try {
        request();
        ADD_FAILURE() << "no exception";
    } catch (const DaDovu::ControlException& e) {
        EXPECT_EQ(typeid(e), typeid(DaDovu::ControlException));
        ExpectOnlyMessage(e, 10, "Error. Check logfile for more information.");
    }
}

TEST_F(EngineResultCode, WithoutResultStartStopGetUserAndStatusRaiseTheGeneralException) {
    for (int i = 0; i < 5; ++i) daemon_.Enqueue(Reply::Empty());
    ExpectGeneralControlException([this] { ControlImpl_t::Start("t", false, options_, Uri()); });
    ExpectGeneralControlException([this] { ControlImpl_t::Stop("t", false, options_, Uri()); });
    ExpectGeneralControlException([this] { ControlImpl_t::GetUser(options_, Uri()); });
    ExpectGeneralControlException([this] { ControlImpl_t::Status(Control::STATUS_NAMES, "t", options_, Uri()); });
    ExpectGeneralControlException([this] {
        DaDovu::ControlComponentList list;
        ControlImpl_t::Status(Control::STATUS_NAMES, "t", options_, list, Uri());
    });
    EXPECT_EQ(daemon_.RequestCount(), 5u);
}

// Kept on purpose: a daemon may answer an event or a registration with an
// empty response, and callers rely on that counting as success.
TEST_F(EngineResultCode, WithoutResultNotifyAndAddComponentReturnZero) {
    daemon_.Enqueue(Reply::Empty());
    EXPECT_EQ(ControlImpl_t::Notify("e", "v", "t", options_, Uri()), 0);
    daemon_.Enqueue(Reply::Empty());
    EXPECT_EQ(ControlImpl_t::AddComponent("f", Uri()), 0);
    daemon_.Enqueue(Reply::Empty());
    EXPECT_EQ(ControlImpl_t::DeleteComponent("c", Uri()), 0);
}

TEST_F(EngineResultCode, WithoutResultRequestProgressReturnsMinusOne) {
    daemon_.Enqueue(Reply::Empty());
    QxPalMsg::MessageList_t messages;
    EXPECT_EQ(ControlImpl_t::GetCommandProgress(3, options_, messages, Uri()), -1);
}

}  // namespace
