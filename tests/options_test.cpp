// Control::Options and its implementation.

#include <dadovu/Control.h>
#include <gtest/gtest.h>

#include "api/OptionsImpl.h"

namespace {

using DaDovu::Control;

const Control::OptionsImpl& Impl(const Control::Options& options) { return Control::OptionsImpl::GetImpl(options); }

TEST(Options, DefaultHasNoTargetIdAndIsSynchronous) {
    const Control::Options options;
    EXPECT_FALSE(Impl(options).TargetIDSet());
    EXPECT_EQ(Impl(options).TargetID().ToUtf8(), "");
    EXPECT_FALSE(Impl(options).GetAsynchronous());
}

TEST(Options, AnEmptyTargetIdIsNoTargetIdButABlankIs) {
    Control::Options options;
    options.SetTargetID("");
    EXPECT_FALSE(Impl(options).TargetIDSet());
    options.SetTargetID(" ");
    EXPECT_TRUE(Impl(options).TargetIDSet());
    EXPECT_EQ(Control::OptionsImpl::GetImpl(options).GetTargetID().ToUtf8(), " ");
    options.SetTargetID("");
    EXPECT_FALSE(Impl(options).TargetIDSet());
}

TEST(Options, SettersChainOnTheSameObject) {
    Control::Options options;
    Control::Options& result = options.SetTargetID("node-3").SetAsynchronous(true);
    EXPECT_EQ(&result, &options);
    EXPECT_EQ(Impl(options).TargetID().ToUtf8(), "node-3");
    EXPECT_TRUE(Impl(options).GetAsynchronous());
}

TEST(Options, CopiesAreIndependent) {
    Control::Options original;
    original.SetTargetID("a").SetAsynchronous(true);
    Control::Options copy(original);
    copy.SetTargetID("b").SetAsynchronous(false);
    EXPECT_EQ(Impl(original).TargetID().ToUtf8(), "a");
    EXPECT_TRUE(Impl(original).GetAsynchronous());
    EXPECT_EQ(Impl(copy).TargetID().ToUtf8(), "b");
    EXPECT_NE(&Impl(copy), &Impl(original));
}

TEST(Options, AssignmentCopiesBothFieldsAndKeepsItsOwnImplementation) {
    Control::Options source;
    source.SetTargetID("x").SetAsynchronous(true);
    Control::Options target;
    const Control::OptionsImpl* before = &Impl(target);
    Control::Options& result = (target = source);
    EXPECT_EQ(&result, &target);
    EXPECT_EQ(&Impl(target), before);
    EXPECT_EQ(Impl(target).TargetID().ToUtf8(), "x");
    EXPECT_TRUE(Impl(target).GetAsynchronous());
    source.SetTargetID("y");
    EXPECT_EQ(Impl(target).TargetID().ToUtf8(), "x");
}

TEST(Options, SelfAssignmentChangesNothing) {
    Control::Options options;
    options.SetTargetID("keep").SetAsynchronous(true);
    Control::Options& alias = options;
    options = alias;
    EXPECT_EQ(Impl(options).TargetID().ToUtf8(), "keep");
    EXPECT_TRUE(Impl(options).GetAsynchronous());
}

}  // namespace
