// The numeric family: operators over paired lists, leaves, and Evaluate over sample blocks.
#include "nodes/float_sound.h"
#include "nodes/logic.h"
#include "nodes/node_params.h"
#include "nodes/numeric.h"
#include "tests/nodes/family_helpers.h"
#include "tree/random.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using famtest::Fixed;
using famtest::Flat;
using famtest::SetFixed;
using famtest::SolveAt;

// The values a one- or two-branch node yields for the given inputs.
std::vector<double> Yields(ProtoType& node, std::vector<float> left,
                           std::vector<float> right = {}) {
    Fixed* l = SetFixed(node, 1);
    for (float v : left) l->Value(v);
    if (node.childTwo) {
        Fixed* r = SetFixed(node, 2);
        for (float v : right) r->Value(v);
    }
    CNoteEventList list;
    SolveAt(node, list, 0);
    std::vector<double> out;
    for (SongEvent* e = list.head; e; e = e->next) out.push_back(e->GetValue());
    return out;
}

double One(ProtoType&& node, float a, float b) {
    std::vector<double> v = Yields(node, {a}, {b});
    return v.empty() ? -999.0 : v[0];
}

TEST(NumericOperators, PairFirstWithFirstAndKeepTheRest) {
    Add add;
    EXPECT_EQ(Yields(add, {1, 2, 3}, {10}), (std::vector<double>{11, 2, 3}));
    Multiply mul;
    EXPECT_EQ(Yields(mul, {2}, {3, 4, 5}), (std::vector<double>{6})) << "surplus right values drop";
    Subtract sub;
    EXPECT_TRUE(Yields(sub, {}, {1}).empty());
    EXPECT_EQ(One(Max(), 2, 5), 5);
    EXPECT_EQ(One(Min(), 2, 5), 2);
    EXPECT_FLOAT_EQ(One(Exponential(), 2, 10), 1024);
    EXPECT_FLOAT_EQ(One(Sine(), 0.25f, 6.2831855f), 1.0f);
    EXPECT_FLOAT_EQ(One(Cosine(), 0.5f, 6.2831855f), -1.0f);
}

TEST(NumericOperators, RemainderAndRoundingKeepTheSignOfTheLeft) {
    EXPECT_EQ(One(Modulus(), -7, 3), -1);
    EXPECT_EQ(One(Modulus(), 7, -3), 1);
    EXPECT_EQ(One(Modulus(), 4, 3), 1);
    EXPECT_EQ(One(RoundTo(), 7.9f, 2), 6);
    EXPECT_EQ(One(RoundTo(), -7.9f, 2), -6);
    EXPECT_EQ(One(RoundTo(), 3e9f, 1), 3e9f) << "large quotients stay exact";
}

TEST(NumericOperators, InfinitiesAndNaNFlowOn) {
    EXPECT_TRUE(std::isinf(One(Divide(), 1, 0)));
    EXPECT_TRUE(std::isnan(One(Divide(), 0, 0)));
    EXPECT_TRUE(std::isnan(One(Modulus(), 5, 0)));
    EXPECT_TRUE(std::isnan(One(RoundTo(), 5, 0)));
    EXPECT_TRUE(std::isnan(One(Add(), NAN, 1)));
    Log log;
    log.logBase = kLogBaseE;
    EXPECT_TRUE(std::isinf(Yields(log, {0})[0]));
    EXPECT_TRUE(std::isnan(Yields(log, {-1})[0]));
    // A NaN reaching a MIDI node becomes a 0 byte, not a fault.
    PitchBend pb;
    Divide* div = Put<Divide>(pb.childOne, "Divide");
    PutConstant(div->childOne, 0);
    PutConstant(div->childTwo, 0);
    CNoteEventList list;
    SolveAt(pb, list, 0);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"0:me0,0,64,0/0"}));
}

TEST(NumericFunctions, LimitLogAbs) {
    Limit lim;
    EXPECT_EQ(Yields(lim, {1.5f, -0.5f, 0.25f}), (std::vector<double>{1.0, 0.0, 0.25}));
    Log log;
    EXPECT_DOUBLE_EQ(Yields(log, {8})[0], 3);
    log.logBase = kLogBase10;
    EXPECT_DOUBLE_EQ(Yields(log, {1000})[0], 3);
    log.logBase = kLogBaseE;
    EXPECT_NEAR(Yields(log, {2.7182817f})[0], 1.0, 1e-6);
    log.logBase = 3;
    EXPECT_DOUBLE_EQ(Yields(log, {8})[0], 8) << "unknown code: unchanged";
    AbsVal abs;
    EXPECT_EQ(Yields(abs, {-2.5f, 3})[0], 2.5);
}

TEST(NumericLeaves, TimesAndValues) {
    Constant c;
    c.value = 4.5f;
    CNoteEventList list;
    list.Add(new EventValue(1.0f, 2));
    SolveAt(c, list, 5000);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"0:v4.5"}));

    Temporal t;
    SolveAt(t, list, 1234);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"1234:v1234"}));

    SeedRandom(7);
    uint32_t state = 7;
    Random r;
    for (int i = 0; i < 3; ++i) {
        state = state * 214013u + 2531011u;
        const int expected = static_cast<int>((state >> 16) & 0x7FFF);
        SolveAt(r, list, 10);
        ASSERT_EQ(list.Count(), 1);
        EXPECT_EQ(list.head->time, 10u);
        EXPECT_FLOAT_EQ(static_cast<float>(list.head->GetValue()),
                        static_cast<float>(expected) * (1.0f / 32767.0f));
    }
}

TEST(TemporalPhase, SolveRisesOncePerLoop) {
    TemporalPhase tp;
    CNoteEventList list;
    SolveAt(tp, list, 1000);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"1000:v0.25"}));
    SolveAt(tp, list, 4000);
    EXPECT_EQ(list.head->GetValue(), 0.0);
    tp.phaseOffset = 500;
    SolveAt(tp, list, 7000);
    EXPECT_EQ(list.head->GetValue(), 0.875);
    tp.loopLength = 0; // not from a file or dialog, but must not fault
    SolveAt(tp, list, 7000);
    EXPECT_TRUE(std::isnan(list.head->GetValue()));
}

TEST(TemporalPhase, UseHzSetsTheLoopLength) {
    TemporalPhase tp;
    tp.useHz = 1;
    tp.frequency = 441.0f;
    nodes::ApplyUseHz(tp);
    EXPECT_EQ(tp.loopLength, 2);
    tp.frequency = 2000.0f;
    nodes::ApplyUseHz(tp);
    EXPECT_EQ(tp.loopLength, 1) << "0 becomes 1";
    tp.frequency = 0.0f;
    nodes::ApplyUseHz(tp);
    EXPECT_EQ(tp.loopLength, INT32_MAX) << "saturated, not undefined";
    tp.useHz = 0;
    tp.loopLength = 250;
    nodes::ApplyUseHz(tp);
    EXPECT_EQ(tp.loopLength, 250);
}

std::vector<float> Samples(EventWave& block) {
    return FloatSound::Of(block)->samples;
}

TEST(Evaluate, TemporalPhaseRepeatsAndStereoFramesShareAValue) {
    TemporalPhase tp;
    tp.useHz = 1;
    tp.frequency = 441.0f;
    auto mono = MakeSampleBlock(250, 1, 44100);
    tp.Evaluate(*mono);
    std::vector<float> s = Samples(*mono);
    EXPECT_EQ(s[0], 0.0f);
    EXPECT_FLOAT_EQ(s[25], 0.25f);
    EXPECT_EQ(s[100], 0.0f);
    EXPECT_EQ(s[137], s[37]);

    auto stereo = MakeSampleBlock(250, 2, 44100, 50);
    tp.Evaluate(*stereo);
    s = Samples(*stereo);
    ASSERT_EQ(s.size(), 500u);
    EXPECT_EQ(s[0], s[1]);
    EXPECT_EQ(s[0], 0.5f) << "frame 50 of a 100-frame period";
    EXPECT_EQ(s[100], 0.0f) << "sample 100 is frame 100";

    tp.useHz = 0;
    tp.loopLength = 10; // 441 frames at 44100 Hz
    tp.Evaluate(*mono);
    EXPECT_FLOAT_EQ(Samples(*mono)[147], 1.0f / 3.0f);
}

TEST(Evaluate, TemporalPhaseMatchesTheRemainderOfEveryFrame) {
    TemporalPhase tp;
    tp.useHz = 1;
    tp.frequency = 261.63f; // a period that is not a whole number of frames
    auto block = MakeSampleBlock(20000, 2, 48000, 123456789);
    tp.Evaluate(*block);
    const std::vector<float> s = Samples(*block);
    const double p = static_cast<float>(48000.0 / 261.63f);
    for (size_t i = 0; i < s.size(); ++i) {
        const double f = 123456789.0 + static_cast<double>(i / 2);
        ASSERT_EQ(s[i], static_cast<float>(std::fmod(f, p) / p)) << i;
    }
}

TEST(Evaluate, TemporalCountsFramesAndConstantFills) {
    Temporal t;
    auto block = MakeSampleBlock(3, 2, 8000, 1000);
    t.Evaluate(*block);
    EXPECT_EQ(Samples(*block), (std::vector<float>{1000, 1000, 1001, 1001, 1002, 1002}));
    Constant c;
    c.value = -0.5f;
    c.Evaluate(*block);
    EXPECT_EQ(Samples(*block), std::vector<float>(6, -0.5f));
}

TEST(Evaluate, OperatorsCombineSampleBySample) {
    Sine sine;
    auto* tp = Put<TemporalPhase>(sine.childOne, "TemporalPhase");
    tp->useHz = 1;
    tp->frequency = 441.0f;
    PutConstant(sine.childTwo, 6.2831855f);
    EXPECT_TRUE(sine.Supports(8));
    auto block = MakeSampleBlock(100, 1, 44100);
    sine.Evaluate(*block);
    std::vector<float> s = Samples(*block);
    EXPECT_NEAR(s[25], 1.0f, 1e-6);
    EXPECT_NEAR(s[75], -1.0f, 1e-6);

    Limit lim;
    lim.lowerBound = -0.25f;
    Divide* div = Put<Divide>(lim.childOne, "Divide");
    PutConstant(div->childOne, 0.0f);
    PutConstant(div->childTwo, 0.0f);
    lim.Evaluate(*block);
    EXPECT_EQ(Samples(*block)[0], -0.25f) << "NaN becomes the lower bound";
    PutConstant(div->childOne, 3.0f);
    lim.Evaluate(*block);
    EXPECT_EQ(Samples(*block)[0], 1.0f) << "+inf is held to the upper bound";

    Random r;
    r.Evaluate(*block);
    for (float x : Samples(*block)) {
        EXPECT_GE(x, -1.0f);
        EXPECT_LE(x, 1.0f);
    }
}

TEST(Evaluate, BlocksWithoutAFloatSoundAreLeftAlone) {
    EventWave plain;
    Sine sine;
    sine.Evaluate(plain); // no sound: nothing happens
    EXPECT_EQ(plain.sound, nullptr);
    EXPECT_EQ(MakeBlockCopy(plain), nullptr);
}

TEST(NumericFamily, SupportsSampleBlocksOnlyWhenEveryBranchDoes) {
    Add add;
    EXPECT_FALSE(add.Supports(8)) << "a Null branch is not numeric";
    Put<Constant>(add.childOne, "Constant");
    Put<Constant>(add.childTwo, "Constant");
    EXPECT_TRUE(add.Supports(8));
    Put<EqualTo>(add.childTwo, "EqualTo");
    EXPECT_FALSE(add.Supports(8));
    EXPECT_TRUE(add.Supports(3));
}

} // namespace
