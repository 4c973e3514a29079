// The logic family: comparisons over paired lists, truth values, conditional branches.
#include "nodes/logic.h"
#include "tests/nodes/family_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

using famtest::Fixed;
using famtest::Flat;
using famtest::SetFixed;
using famtest::SolveAt;

std::vector<double> Values(CNoteEventList& list) {
    std::vector<double> out;
    for (SongEvent* e = list.head; e; e = e->next) out.push_back(e->GetValue());
    return out;
}

template <class T> std::vector<double> Compare(std::vector<float> l, std::vector<float> r) {
    T node;
    Fixed* a = SetFixed(node, 1);
    for (float v : l) a->Value(v);
    Fixed* b = SetFixed(node, 2);
    for (float v : r) b->Value(v);
    CNoteEventList list;
    SolveAt(node, list, 0);
    return Values(list);
}

TEST(Comparisons, PairListsOfDifferentLengths) {
    EXPECT_EQ(Compare<EqualTo>({3}, {3}), (std::vector<double>{1}));
    EXPECT_EQ(Compare<EqualTo>({3}, {4}), (std::vector<double>{0}));
    EXPECT_EQ(Compare<GreaterThan>({5, 7}, {4}), (std::vector<double>{1, 7}))
        << "the unpaired left value is kept";
    EXPECT_EQ(Compare<LessThan>({5}, {4, 9}), (std::vector<double>{0}));
    EXPECT_EQ(Compare<LessThan>({}, {4}), (std::vector<double>{}));
    // The left value is taken at single precision, the right one as it is.
    EXPECT_EQ(Compare<EqualTo>({0.1f}, {0.1f}), (std::vector<double>{1}));
    EXPECT_EQ(Compare<GreaterThan>({NAN}, {1}), (std::vector<double>{0}));
}

TEST(Not, InvertsTruth) {
    Not n;
    SetFixed(n, 1)->Value(0.5f).Value(0.0f).Value(-2.0f);
    CNoteEventList list;
    SolveAt(n, list, 0);
    EXPECT_EQ(Values(list), (std::vector<double>{0, 1, 0}));
}

TEST(LogicalAnd, SolvesItsConditionAtTimeZeroInFixedSteps) {
    LogicalAnd a;
    a.duration = 10000;
    Probe* cond = PutProbe(a.childOne);
    cond->yield = true;
    Fixed* right = SetFixed(a, 2);
    right->Value(42.0f, 5000);
    CNoteEventList list;
    list.now = 5000;
    list.next = kNoTime;
    a.Solve(list);
    EXPECT_EQ(cond->nows, (std::vector<uint32_t>{0}));
    EXPECT_EQ(cond->offsets, (std::vector<int32_t>{0}));
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"5000:v42"}));
    EXPECT_EQ(right->solves, 1);
}

TEST(LogicalAnd, SolvesItsRightBranchOncePerTrueValue) {
    LogicalAnd a;
    SetFixed(a, 1)->Value(1).Value(0).Value(-3);
    Fixed* right = SetFixed(a, 2);
    right->Value(9);
    CNoteEventList list;
    SolveAt(a, list, 0);
    EXPECT_EQ(right->solves, 2);
    EXPECT_EQ(Values(list), (std::vector<double>{9}));
}

TEST(LogicalOr, SolvesItsRightBranchOnlyForFalseValues) {
    LogicalOr o;
    Fixed* left = SetFixed(o, 1);
    left->Value(1);
    Fixed* right = SetFixed(o, 2);
    right->Value(9);
    CNoteEventList list;
    SolveAt(o, list, 0);
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(right->solves, 0);
    left->events.clear();
    left->Value(0);
    SolveAt(o, list, 0);
    EXPECT_EQ(Values(list), (std::vector<double>{9}));
}

TEST(LogicFamily, NeverAPurelyNumericSubtree) {
    for (const NodeFactoryEntry& e : LogicNodeTypes()) {
        ProtoType* n = e.create(false);
        EXPECT_FALSE(n->Supports(8)) << e.info->typeName;
        EXPECT_TRUE(n->Supports(1));
        delete n;
    }
    std::unique_ptr<ProtoType> g(CreateNode("GreaterThan"));
    EXPECT_EQ(g->GetName(), "Greater Than");
}

} // namespace
