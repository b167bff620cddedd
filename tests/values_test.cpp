// The value types: the component list with its cursor and trace lines,
// component records, request options and the exception family.

#include "TestEnvironment.h"

namespace {

using namespace DaDovuTest;
using namespace DaDovu;

ControlComponentList List(std::initializer_list<const char*> names) {
    ControlComponentList list;
    Append(list, names);
    return list;
}

TEST(ComponentList, ReadersThrowMessage98AtTheEnd) {
    const ControlComponentList list;
    TraceCapture trace(4);
    const std::string end = "QxPalMsg::IllegalStateError_t ctrl 98 2: No more components in the list. | ";
    EXPECT_TRUE(list.IsAtEnd());
    EXPECT_EQ(Outcome([&] { list.GetCurrent(); }), end);
    EXPECT_EQ(Outcome([&] { list.Next(); }), end);
    EXPECT_TRUE(list.IsAtEnd());
    EXPECT_EQ(trace.Get(), Texts(2, "No more components in the control component list"));
}

TEST(ComponentList, AFullWalkWritesSevenLines) {
    const ControlComponentList list = List({"a", "b"});
    TraceCapture trace(1);
    EXPECT_EQ(Walk(list), (Texts{"a", "b"}));
    const std::string atEnd = "Reached the end of the control component list: ";
    const std::string current = "Returning current component from the control component list";
    const std::string next = "Proceeding to the next entry in the control component list";
    EXPECT_EQ(trace.Get(), (Texts{atEnd + "false", current, next, atEnd + "false", current, next, atEnd + "true"}));
    for (const TraceCapture::Line& line : trace.Lines()) {
        EXPECT_EQ(line.level, 1u);
        EXPECT_EQ(line.source.rfind("RpcClientImpl:", 0), 0u) << line.source;
    }
}

TEST(ComponentList, AppendingRewindsTheCursorAndRecordsAreCopies) {
    ControlComponentList list = List({"a|d|c|1|<x/>|3", "b", "c"});
    list.Next();
    list.Next();
    ControlComponent record = Record("d");
    ControlComponentListImpl::GetImpl(list)->AddElement(record);
    ControlComponentImpl::GetImpl(record)->SetName("changed");
    ControlComponentImpl::GetImpl(list.GetCurrent())->SetName("through a temporary");
    ControlComponent current = list.GetCurrent();
    current = Record("other|||||4");
    EXPECT_EQ(Fields(list.GetCurrent()), "a|d|c|1|<x/>|3");
    EXPECT_EQ(Walk(list), (Texts{"a", "b", "c", "d"}));
    Append(list, {"e"});  // a list read to its end is read again from the start
    EXPECT_EQ(Walk(list), (Texts{"a", "b", "c", "d", "e"}));
}

TEST(ComponentList, CopiesAndAssignmentsAreIndependentCursorIncluded) {
    auto source = std::make_unique<ControlComponentList>(List({"a", "b", "c"}));
    source->Next();
    const ControlComponentList copy(*source);
    ControlComponentList assigned = List({"x", "y", "z", "w"});
    assigned = *source;
    copy.Next();
    EXPECT_EQ(source->GetCurrent().GetName().ToUtf8(), "b");
    Append(*source, {"s"});
    source.reset();
    EXPECT_EQ(Walk(copy), Texts{"c"});
    EXPECT_EQ(Walk(assigned), (Texts{"b", "c"}));
    ControlComponentList atEnd(copy);
    EXPECT_TRUE(atEnd.IsAtEnd());

    ControlComponentList& alias = assigned;
    assigned = List({"a", "b", "c"});
    assigned.Next();
    assigned = alias;
    EXPECT_EQ(Walk(assigned), (Texts{"b", "c"}));
    assigned = ControlComponentList();
    EXPECT_TRUE(assigned.IsAtEnd());
    EXPECT_EQ(ControlComponentListImpl::GetImpl(assigned)->Size(), 0u);
}

TEST(ComponentRecord, CopiesAndAssignmentsAreIndependent) {
    EXPECT_EQ(Fields(ControlComponent()), "|||||-1");
    const ControlComponent original = Record("alpha|d|c|11|<x/>|1234");  // any state passes through
    const ControlComponent copy(original);
    ControlComponent assigned = Record("old");
    const QxPalStr::String_t& name = assigned.GetName();
    assigned = original;
    ControlComponent& alias = assigned;
    assigned = alias;
    ControlComponentImpl::GetImpl(original)->SetName("changed");
    EXPECT_EQ(Fields(copy), "alpha|d|c|11|<x/>|1234");
    EXPECT_EQ(Fields(assigned), "alpha|d|c|11|<x/>|1234");
    EXPECT_EQ(name.ToUtf8(), "alpha") << "a reference follows the assignment";
}

TEST(Options, AnEmptyTargetIdIsNoneAndCopiesAreIndependent) {
    const auto state = [](const Control::Options& options) {
        const Control::OptionsImpl& impl = Control::OptionsImpl::GetImpl(options);
        return (impl.TargetIDSet() ? "'" + impl.TargetID().ToUtf8() + "'" : "none") +
               (impl.GetAsynchronous() ? " async" : "");
    };
    Control::Options options;
    EXPECT_EQ(state(options), "none");
    EXPECT_EQ(state(options.SetTargetID(" ").SetAsynchronous(true)), "' ' async");
    EXPECT_EQ(state(options.SetTargetID("")), "none async");
    options.SetTargetID("a");
    Control::Options copy(options);
    Control::Options assigned;
    assigned = options;
    Control::Options& alias = assigned;
    assigned = alias;
    options.SetTargetID("b").SetAsynchronous(false);
    EXPECT_EQ(state(copy), "'a' async");
    EXPECT_EQ(state(assigned), "'a' async");
    EXPECT_EQ(state(options), "'b'");
}

template <typename... Classes>
constexpr bool kControlExceptions = (std::is_base_of_v<ControlException, Classes> && ...);
static_assert(kControlExceptions<ComponentException, TargetException, PrerequisiteException, EventException,
                                 CommunicationException, GetUserException>, "the family's tree");
static_assert(std::is_base_of_v<QxPalMsg::RuntimeException_t, ControlException> &&
                  !std::is_base_of_v<ControlException, QxSecAuth::SecAuthException>, "a security exception is apart");

TEST(Exceptions, CarryTheirMessagesThroughCopiesAndAssignments) {
    const TargetException original(QxPalMsg::Error_t(Catalog::GetCatalog(), 7, "first"));
    TargetException assigned(QxPalMsg::Error_t(Catalog::GetCatalog(), 10, "second"));
    assigned = original;
    const std::unique_ptr<QxPalMsg::Exception_t> copy(new TargetException(assigned));  // destroyed through the root
    EXPECT_EQ(Describe(*copy), "ctrl 7 2: first | ");
    QxPalMsg::MessageList_t messages;
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("one")));
    messages.Add(QxPalMsg::Message_t(QxPalStr::String_t("two")));
    EXPECT_EQ(CommunicationException(QxPalMsg::Exception_t(messages)).GetMessageList().GetMessageCount(), 2);
}

}  // namespace
