// Component records and the component list: value semantics, the cursor, the
// end-of-list error and the walking trace lines.
#include <dadovu/ControlComponent.h>
#include <dadovu/ControlComponentList.h>
#include <dadovu/Exceptions.h>
#include <gtest/gtest.h>
#include <qxpal/exception.h>
#include <qxpal/trace.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/ControlComponentImpl.h"
#include "api/ControlComponentListImpl.h"

namespace DaDovu {
namespace {

struct TraceLine {
    std::string level;
    std::string source;  // "file:line"
    std::string text;
};

// Captures the lines of one trace name while it lives, with `mask` in force;
// restores the previous mask and removes the sink on destruction.
class TraceCapture {
public:
    TraceCapture(std::string name, unsigned mask)
        : name_(std::move(name)), previousMask_(QxPalTrc::TraceObj_t::Get(name_).GetMask()) {
        QxPalTrc::SetTraceSink([this](const std::string& line) { Add(line); });
        QxPalTrc::SetTraceMask(name_, mask);
    }
    ~TraceCapture() {
        QxPalTrc::SetTraceSink({});
        QxPalTrc::SetTraceMask(name_, previousMask_);
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<TraceLine> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const TraceLine& line : Lines()) texts.push_back(line.text);
        return texts;
    }

private:
    // time TAB thread TAB name TAB level TAB source:line TAB text
    void Add(const std::string& line) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int i = 0; i < 5; ++i) {
            const std::size_t tab = line.find('\t', start);
            if (tab == std::string::npos) return;
            fields.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        if (fields[2] != name_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({fields[3], fields[4], line.substr(start)});
    }

    std::string name_;
    unsigned previousMask_;
    mutable std::mutex mutex_;
    std::vector<TraceLine> lines_;
};

ControlComponent MakeComponent(const char* name, const char* pid, ComponentState state) {
    ControlComponent component;
    ControlComponentImpl* impl = ControlComponentImpl::GetImpl(component);
    impl->SetName(name);
    impl->SetDescription(QxPalStr::String_t(name) + " description");
    impl->SetCategory("category");
    impl->SetPID(pid);
    impl->SetXML("<component/>");
    impl->SetState(state);
    return component;
}

ControlComponentList MakeList(std::initializer_list<const char*> names) {
    ControlComponentList list;
    int pid = 100;
    for (const char* name : names) {
        ControlComponentListImpl::GetImpl(list)->AddElement(
            MakeComponent(name, std::to_string(pid++).c_str(), COMPONENT_RUNNING));
    }
    return list;
}

std::vector<std::string> Walk(const ControlComponentList& list) {
    std::vector<std::string> names;
    while (!list.IsAtEnd()) {
        names.push_back(list.GetCurrent().GetName().ToUtf8());
        list.Next();
    }
    return names;
}

// Asserts that `action` throws the end-of-list error.
template <typename Action>
void ExpectEndOfList(Action action) {
    try {
        action();
        ADD_FAILURE() << "no exception";
    } catch (const QxPalMsg::IllegalStateError_t& error) {
        const QxPalMsg::MessageList_t& messages = error.GetMessageList();
        ASSERT_EQ(messages.GetMessageCount(), 1);
        const QxPalMsg::Message_t& message = messages.GetMessageObject(0);
        EXPECT_EQ(message.GetMessageNo(), 98u);
        EXPECT_STREQ(message.GetMessageCatalog(), Catalog::GetCatalog().GetCatalogID());
        EXPECT_EQ(message.GetSeverity(), QxPalMsg::SEVERITY_ERROR);
        EXPECT_EQ(message.GetMessageText(QxPalMsg::FORMAT_TEXT).ToUtf8(), "No more components in the list.");
    }
}

TEST(ComponentRecord, DefaultRecordHasEmptyTextsAndUnknownState) {
    const ControlComponent component;
    EXPECT_TRUE(component.GetName().IsEmpty());
    EXPECT_TRUE(component.GetDescription().IsEmpty());
    EXPECT_TRUE(component.GetCategory().IsEmpty());
    EXPECT_TRUE(component.GetPID().IsEmpty());
    EXPECT_TRUE(component.GetXML().IsEmpty());
    EXPECT_EQ(component.GetState(), COMPONENT_UNKNOWN);
}

TEST(ComponentRecord, SettersChangeOnlyTheirOwnField) {
    ControlComponent component;
    ControlComponentImpl* impl = ControlComponentImpl::GetImpl(component);
    impl->SetPID("42");
    EXPECT_EQ(component.GetPID().ToUtf8(), "42");
    EXPECT_TRUE(component.GetName().IsEmpty());
    EXPECT_TRUE(component.GetXML().IsEmpty());
    EXPECT_EQ(component.GetState(), COMPONENT_UNKNOWN);
    impl->SetState(COMPONENT_STOPPING);
    EXPECT_EQ(component.GetPID().ToUtf8(), "42");
    EXPECT_EQ(component.GetState(), COMPONENT_STOPPING);
}

TEST(ComponentRecord, CopiesAreIndependent) {
    ControlComponent original = MakeComponent("alpha", "11", COMPONENT_RUNNING);
    ControlComponent copy(original);
    ControlComponentImpl::GetImpl(copy)->SetName("beta");
    ControlComponentImpl::GetImpl(copy)->SetState(COMPONENT_FAILED);
    EXPECT_EQ(original.GetName().ToUtf8(), "alpha");
    EXPECT_EQ(original.GetState(), COMPONENT_RUNNING);
    EXPECT_NE(ControlComponentImpl::GetImpl(original), ControlComponentImpl::GetImpl(copy));

    ControlComponent assigned;
    assigned = original;
    ControlComponentImpl::GetImpl(original)->SetPID("12");
    EXPECT_EQ(assigned.GetPID().ToUtf8(), "11");
    EXPECT_EQ(assigned.GetDescription().ToUtf8(), "alpha description");
}

TEST(ComponentRecord, AssignmentKeepsReferencesValidAndUpdatesThem) {
    ControlComponent target = MakeComponent("old", "1", COMPONENT_STOPPED);
    const QxPalStr::String_t& name = target.GetName();
    const ControlComponentImpl* implBefore = ControlComponentImpl::GetImpl(target);
    target = MakeComponent("new", "2", COMPONENT_RUNNING);
    EXPECT_EQ(ControlComponentImpl::GetImpl(target), implBefore);
    EXPECT_EQ(name.ToUtf8(), "new");
    EXPECT_EQ(target.GetState(), COMPONENT_RUNNING);
}

TEST(ComponentRecord, SelfAssignmentChangesNothing) {
    ControlComponent component = MakeComponent("self", "7", COMPONENT_STARTING);
    ControlComponent& alias = component;
    component = alias;
    EXPECT_EQ(component.GetName().ToUtf8(), "self");
    EXPECT_EQ(component.GetPID().ToUtf8(), "7");
    EXPECT_EQ(component.GetXML().ToUtf8(), "<component/>");
    EXPECT_EQ(component.GetState(), COMPONENT_STARTING);
}

TEST(ComponentRecord, StatesOutsideTheEnumerationPassThrough) {
    ControlComponent component;
    ControlComponentImpl::GetImpl(component)->SetState(static_cast<ComponentState>(1234));
    EXPECT_EQ(static_cast<int>(ControlComponent(component).GetState()), 1234);
}

TEST(ComponentList, NewListIsAtEndAndBothReadersThrow) {
    const ControlComponentList list;
    EXPECT_TRUE(list.IsAtEnd());
    ExpectEndOfList([&] { list.GetCurrent(); });
    ExpectEndOfList([&] { list.Next(); });
    EXPECT_TRUE(list.IsAtEnd());
    EXPECT_EQ(ControlComponentListImpl::GetImpl(list)->Size(), 0u);
}

TEST(ComponentList, EndOfListErrorIsNotAControlException) {
    const ControlComponentList list;
    EXPECT_THROW(
        {
            try {
                list.Next();
            } catch (const ControlException&) {
                FAIL() << "caught as ControlException";
            }
        },
        QxPalMsg::IllegalStateError_t);
}

TEST(ComponentList, OneEntryIsReadThenTheCursorReachesTheEnd) {
    ControlComponentList list;
    ControlComponentListImpl::GetImpl(list)->AddElement(MakeComponent("one", "5", COMPONENT_STOPPING));
    ASSERT_FALSE(list.IsAtEnd());
    const ControlComponent current = list.GetCurrent();
    EXPECT_EQ(current.GetName().ToUtf8(), "one");
    EXPECT_EQ(current.GetDescription().ToUtf8(), "one description");
    EXPECT_EQ(current.GetCategory().ToUtf8(), "category");
    EXPECT_EQ(current.GetPID().ToUtf8(), "5");
    EXPECT_EQ(current.GetXML().ToUtf8(), "<component/>");
    EXPECT_EQ(current.GetState(), COMPONENT_STOPPING);
    EXPECT_FALSE(list.IsAtEnd());  // reading does not move the cursor
    list.Next();
    EXPECT_TRUE(list.IsAtEnd());
    ExpectEndOfList([&] { list.Next(); });
    EXPECT_TRUE(list.IsAtEnd());
}

TEST(ComponentList, AppendingRewindsTheCursorAndAddsAtTheEnd) {
    ControlComponentList list = MakeList({"a", "b", "c", "d"});
    list.Next();
    list.Next();
    ASSERT_EQ(list.GetCurrent().GetName().ToUtf8(), "c");
    ControlComponentListImpl::GetImpl(list)->AddElement(MakeComponent("e", "1", COMPONENT_RUNNING));
    EXPECT_EQ(list.GetCurrent().GetName().ToUtf8(), "a");
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"a", "b", "c", "d", "e"}));

    // A list read to its end is read again from the start after an append.
    ControlComponentListImpl::GetImpl(list)->AddElement(MakeComponent("f", "2", COMPONENT_RUNNING));
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
}

TEST(ComponentList, AppendedRecordIsACopy) {
    ControlComponentList list;
    ControlComponent record = MakeComponent("kept", "9", COMPONENT_RUNNING);
    ControlComponentListImpl::GetImpl(list)->AddElement(record);
    ControlComponentImpl::GetImpl(record)->SetName("changed");
    EXPECT_EQ(list.GetCurrent().GetName().ToUtf8(), "kept");
}

TEST(ComponentList, GetCurrentReturnsACopy) {
    ControlComponentList list = MakeList({"first", "second"});
    ControlComponent current = list.GetCurrent();
    current = MakeComponent("other", "0", COMPONENT_FAILED);
    ControlComponentImpl::GetImpl(list.GetCurrent())->SetName("through a temporary");
    EXPECT_EQ(list.GetCurrent().GetName().ToUtf8(), "first");
    EXPECT_EQ(list.GetCurrent().GetState(), COMPONENT_RUNNING);
}

TEST(ComponentList, CopyKeepsEntriesAndCursorAndIsIndependent) {
    auto source = std::make_unique<ControlComponentList>(MakeList({"a", "b", "c"}));
    source->Next();
    const ControlComponentList copy(*source);
    EXPECT_EQ(copy.GetCurrent().GetName().ToUtf8(), "b");

    copy.Next();
    EXPECT_EQ(source->GetCurrent().GetName().ToUtf8(), "b");
    EXPECT_EQ(copy.GetCurrent().GetName().ToUtf8(), "c");
    source->Next();
    source->Next();
    EXPECT_TRUE(source->IsAtEnd());
    EXPECT_FALSE(copy.IsAtEnd());

    ControlComponentListImpl::GetImpl(*source)->AddElement(MakeComponent("x", "1", COMPONENT_RUNNING));
    source.reset();
    EXPECT_EQ(copy.GetCurrent().GetName().ToUtf8(), "c");
    copy.Next();
    EXPECT_TRUE(copy.IsAtEnd());
    EXPECT_EQ(ControlComponentListImpl::GetImpl(copy)->Size(), 3u);
}

TEST(ComponentList, CopyOfAListAtItsEndIsAtItsEnd) {
    ControlComponentList source = MakeList({"a", "b"});
    source.Next();
    source.Next();
    const ControlComponentList copy(source);
    EXPECT_TRUE(copy.IsAtEnd());
    ExpectEndOfList([&] { copy.GetCurrent(); });
}

TEST(ComponentList, AssignmentReplacesEntriesAndCopiesTheCursor) {
    auto source = std::make_unique<ControlComponentList>(MakeList({"a", "b", "c"}));
    source->Next();
    source->Next();
    ControlComponentList target = MakeList({"x", "y", "z", "w"});
    target = *source;
    EXPECT_EQ(ControlComponentListImpl::GetImpl(target)->Size(), 3u);
    EXPECT_EQ(target.GetCurrent().GetName().ToUtf8(), "c");

    source->Next();
    EXPECT_TRUE(source->IsAtEnd());
    EXPECT_EQ(target.GetCurrent().GetName().ToUtf8(), "c");
    ControlComponentListImpl::GetImpl(*source)->AddElement(MakeComponent("s", "1", COMPONENT_RUNNING));
    source.reset();

    ControlComponentListImpl::GetImpl(target)->AddElement(MakeComponent("t", "1", COMPONENT_RUNNING));
    EXPECT_EQ(Walk(target), (std::vector<std::string>{"a", "b", "c", "t"}));
}

TEST(ComponentList, AssigningAnEmptyListEmptiesAndPutsTheCursorAtTheEnd) {
    ControlComponentList target = MakeList({"x", "y"});
    target = ControlComponentList();
    EXPECT_TRUE(target.IsAtEnd());
    EXPECT_EQ(ControlComponentListImpl::GetImpl(target)->Size(), 0u);
}

TEST(ComponentList, SelfAssignmentChangesNothing) {
    ControlComponentList list = MakeList({"a", "b", "c"});
    list.Next();
    ControlComponentList& alias = list;
    list = alias;
    EXPECT_EQ(ControlComponentListImpl::GetImpl(list)->Size(), 3u);
    EXPECT_EQ(list.GetCurrent().GetName().ToUtf8(), "b");
    list.Next();
    list.Next();
    EXPECT_TRUE(list.IsAtEnd());
}

TEST(ComponentListTrace, FullWalkOverTwoEntriesWritesSevenLinesInOrder) {
    const ControlComponentList list = MakeList({"a", "b"});
    TraceCapture capture("ctrl.rpcclient", 1);
    EXPECT_EQ(Walk(list), (std::vector<std::string>{"a", "b"}));
    const std::vector<std::string> expected = {
        "Reached the end of the control component list: false",
        "Returning current component from the control component list",
        "Proceeding to the next entry in the control component list",
        "Reached the end of the control component list: false",
        "Returning current component from the control component list",
        "Proceeding to the next entry in the control component list",
        "Reached the end of the control component list: true",
    };
    EXPECT_EQ(capture.Texts(), expected);
    for (const TraceLine& line : capture.Lines()) {
        EXPECT_EQ(line.level, "1");
        EXPECT_EQ(line.source.rfind("RpcClientImpl:", 0), 0u) << line.source;
    }
}

TEST(ComponentListTrace, AppendWritesItsLine) {
    ControlComponentList list;
    TraceCapture capture("ctrl.rpcclient", 1);
    ControlComponentListImpl::GetImpl(list)->AddElement(MakeComponent("a", "1", COMPONENT_RUNNING));
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Added new component to the control component list"});
}

TEST(ComponentListTrace, EndOfListWritesTheLevelFourLineOnly) {
    const ControlComponentList list;
    TraceCapture capture("ctrl.rpcclient", 4);
    ExpectEndOfList([&] { list.GetCurrent(); });
    ExpectEndOfList([&] { list.Next(); });
    const std::vector<TraceLine> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const TraceLine& line : lines) {
        EXPECT_EQ(line.level, "4");
        EXPECT_EQ(line.text, "No more components in the control component list");
    }
}

TEST(ComponentListTrace, NothingIsWrittenWhileTheLevelIsOff) {
    const ControlComponentList list = MakeList({"a"});
    TraceCapture capture("ctrl.rpcclient", 0);
    Walk(list);
    ExpectEndOfList([&] { list.Next(); });
    EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace
}  // namespace DaDovu
