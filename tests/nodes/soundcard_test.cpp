// The sound-card family: the NRPN message, the derived ranges and numbers, and storing every
// type.
#include "events/archive.h"
#include "nodes/soundcard.h"
#include "tests/nodes/family_helpers.h"
#include "tree/node_io.h"
#include "tree/solve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using famtest::Fixed;
using famtest::Flat;
using famtest::SetFixed;
using famtest::SolveAt;
using Events = std::vector<std::string>;

// The control changes of one NRPN message on channel `ch` at time t.
Events Nrpn(uint32_t t, int ch, int number, int high, int low) {
    char status[8];
    std::snprintf(status, sizeof status, "b%x", ch);
    const std::string at = std::to_string(t) + ":m" + status + ",";
    return {at + "99,127,0/0", at + "98," + std::to_string(number) + ",0/0",
            at + "6," + std::to_string(high) + ",0/0", at + "38," + std::to_string(low) + ",0/0"};
}

// Solves `node` at now over a branch that yields `value` (and a note after it, which is ignored).
Events SolveWith(SoundCardNode& node, float value, uint32_t now = 300) {
    Fixed* f = SetFixed(node, 1);
    f->Value(value, now).Note(60, 100, now);
    CNoteEventList list;
    SolveAt(node, list, now);
    return Flat(list);
}

TEST(SoundCard, PitchShiftOffsetsAndSplitsTheValue) {
    SbPitch p;
    EXPECT_EQ(SolveWith(p, 0.0f), Nrpn(300, 0, 16, 64, 0));
    EXPECT_EQ(SolveWith(p, -9000.0f), Nrpn(300, 0, 16, 0, 0));
    EXPECT_EQ(SolveWith(p, 9000.0f), Nrpn(300, 0, 16, 127, 127));
    EXPECT_EQ(SolveWith(p, -0.9f), Nrpn(300, 0, 16, 64, 0)) << "truncated toward zero";
    EXPECT_EQ(SolveWith(p, -1.0f), Nrpn(300, 0, 16, 63, 127));
    EXPECT_EQ(SolveWith(p, NAN), Nrpn(300, 0, 16, 64, 0));
    p.channel = 9;
    EXPECT_EQ(SolveWith(p, 200.0f, 7), Nrpn(7, 9, 16, 65, 72));
}

TEST(SoundCard, EffectsAndEnvelopeRanges) {
    SbEffects fx;
    fx.effect = 2;
    EXPECT_EQ(SolveWith(fx, 300.0f), Nrpn(300, 0, 26, 65, 127));
    EXPECT_EQ(SolveWith(fx, 100.0f), Nrpn(300, 0, 26, 64, 100));
    EXPECT_EQ(SolveWith(fx, -5.0f), Nrpn(300, 0, 26, 64, 0));
    fx.effect = 0; // anything but Reverb is Chorus
    EXPECT_EQ(SolveWith(fx, 100.0f), Nrpn(300, 0, 25, 64, 100));

    SbEnvelope env;
    env.envParameter = 3; // Hold
    env.envNumber = 2;
    EXPECT_EQ(SolveWith(env, 10000.0f), Nrpn(300, 0, 12, 127, 127));
    env.envNumber = 1;
    env.envParameter = 5; // Sustain 0..127
    EXPECT_EQ(SolveWith(env, 500.0f), Nrpn(300, 0, 8, 64, 127));

    // Env1ToPitch exists for the first envelope only: number 19 whatever the number says, and
    // OK in the dialog stores number 1.
    env.envParameter = 7;
    env.envNumber = 2;
    EXPECT_EQ(SolveWith(env, -500.0f), Nrpn(300, 0, 19, 63, 1)) << "-127 + 8192 = 8065";
    ParamDialog d;
    env.ExchangeParams(true, d);
    env.ExchangeParams(false, d);
    EXPECT_EQ(env.envNumber, 1);
    EXPECT_EQ(env.Target().nrpnNumber, 19);

    SbEnvelope copy;
    env.envParameter = 2; // Attack 0..5940 on envelope 2
    env.envNumber = 2;
    copy.Copy(env);
    EXPECT_EQ(copy.Target().nrpnNumber, 11);
    EXPECT_EQ(SolveWith(copy, -500.0f), SolveWith(env, -500.0f));
    EXPECT_EQ(SolveWith(copy, 6000.0f), Nrpn(300, 0, 11, 110, 52)) << "5940 + 8192 = 14132";
}

TEST(SoundCard, LfoNumbersAndRanges) {
    SbLFO lfo;
    struct Case {
        int parameter, number, nrpn, lower, upper;
    };
    for (Case c : {Case{1, 1, 0, 0, 5900}, Case{1, 2, 2, 0, 5900}, Case{2, 2, 3, 0, 127},
                   Case{3, 1, 17, -127, 127}, Case{3, 2, 18, -127, 127}, Case{4, 2, 20, 0, 127},
                   Case{5, 2, 23, -64, 63}}) {
        lfo.lfoParameter = c.parameter;
        lfo.lfoNumber = c.number;
        const NrpnTarget t = lfo.Target();
        EXPECT_EQ(t.nrpnNumber, c.nrpn) << c.parameter << "/" << c.number;
        EXPECT_EQ(t.lowerBound, c.lower);
        EXPECT_EQ(t.upperBound, c.upper);
    }
    EXPECT_EQ(SolveWith(lfo, -100.0f), Nrpn(300, 0, 23, 63, 64)) << "-64 + 8192 = 8128";
}

TEST(SoundCard, NothingWithoutAParameterOrFromTheFilter) {
    SbEnvelope env; // parameter 0: none
    EXPECT_EQ(SolveWith(env, 5.0f), Events{});
    env.envParameter = 9; // only a file can hold it: no NRPN number either
    EXPECT_EQ(env.Target().nrpnNumber, kNoNrpn);
    EXPECT_EQ(SolveWith(env, 5.0f), Events{});
    SbLFO lfo;
    EXPECT_EQ(SolveWith(lfo, 5.0f), Events{});

    SbFilter filter;
    filter.filterParameter = 1;
    filter.channel = 4;
    EXPECT_EQ(SolveWith(filter, 64.0f), Events{});

    // A branch that yields nothing leaves the list empty, whatever it held.
    SbPitch p;
    CNoteEventList list;
    list.Add(new EventValue(5.0f, 0));
    SolveAt(p, list, 0);
    EXPECT_TRUE(list.IsEmpty());
    // A window that is not open yet yields nothing and asks for its start.
    Root root;
    auto* pitch = Put<SbPitch>(root.childOne, "SbPitch");
    pitch->start = 400;
    PutConstant(pitch->childOne, 10.0f);
    CEventTree out;
    SolveInto(root, out, 0);
    EXPECT_EQ(Flatten(out), Nrpn(400, 0, 16, 64, 10));
}

TEST(SoundCard, EveryTypeStoresReadsBackAndCopies) {
    int types = 0;
    for (const NodeFactoryEntry& entry : SoundCardNodeTypes()) {
        SCOPED_TRACE(entry.info->typeName);
        ++types;
        Root root;
        auto* n = static_cast<SoundCardNode*>(ReplaceWith(root.childOne, entry.info->typeName));
        n->channel = 5;
        if (auto* e = As<SbEffects>(n)) e->effect = 2;
        if (auto* e = As<SbEnvelope>(n)) {
            e->envParameter = 8;
            e->envNumber = 2; // kept as stored; the NRPN number is envelope 1's
        }
        if (auto* l = As<SbLFO>(n)) {
            l->lfoParameter = 3;
            l->lfoNumber = 2;
        }
        if (auto* f = As<SbFilter>(n)) f->filterParameter = 1;
        PutConstant(n->childOne, 50.0f);

        CArchive out;
        WriteNodeRecord(out, root);
        Root back;
        CArchive in(out.Buffer());
        ASSERT_TRUE(ReadNodeRecord(in, back));
        EXPECT_TRUE(in.AtEnd());
        auto* r = static_cast<SoundCardNode*>(back.childOne);
        EXPECT_EQ(r->TypeName(), n->TypeName());
        EXPECT_EQ(r->channel, 5);
        Root copyRoot;
        copyRoot.Copy(back);
        auto* c = static_cast<SoundCardNode*>(copyRoot.childOne);
        for (SoundCardNode* other : {r, c}) {
            EXPECT_EQ(other->Target().nrpnNumber, n->Target().nrpnNumber);
            EXPECT_EQ(other->Target().lowerBound, n->Target().lowerBound);
            EXPECT_EQ(other->Target().upperBound, n->Target().upperBound);
        }
        CArchive again, copied;
        WriteNodeRecord(again, back);
        WriteNodeRecord(copied, copyRoot);
        EXPECT_EQ(again.Buffer(), out.Buffer());
        EXPECT_EQ(copied.Buffer(), out.Buffer());
        CEventTree fromBack, fromCopy;
        SolveInto(back, fromBack, 0);
        SolveInto(copyRoot, fromCopy, 0);
        EXPECT_EQ(Flatten(fromBack), Flatten(fromCopy));
    }
    EXPECT_EQ(types, 5);
}

TEST(SoundCard, StoredTypeNamesAndFieldOrder) {
    SbLFO lfo;
    lfo.channel = 3;
    lfo.lfoNumber = 2;
    lfo.lfoParameter = 1;
    CArchive out;
    WriteTypedNode(out, lfo);
    // "FxSbLFO", the base record with its one Null branch, then channel, number, parameter.
    const std::vector<uint8_t>& b = out.Buffer();
    ASSERT_GE(b.size(), 14u);
    EXPECT_EQ(std::string(b.begin() + 1, b.begin() + 8), "FxSbLFO");
    EXPECT_EQ(std::vector<uint8_t>(b.end() - 6, b.end()), (std::vector<uint8_t>{3, 0, 2, 0, 1, 0}));
    for (const char* stored : {"FxSbFilter", "FxSbLFO", "FxSbPitch", "SbFilter", "SbEffects"}) {
        std::unique_ptr<ProtoType> made(CreateNode(stored));
        ASSERT_TRUE(made) << stored;
        EXPECT_EQ(CanonicalTypeName(made->TypeName()), CanonicalTypeName(stored));
    }
    SbEffects fx;
    fx.effect = 2;
    fx.channel = 1;
    CArchive fxOut;
    WriteNodeRecord(fxOut, fx);
    EXPECT_EQ(std::vector<uint8_t>(fxOut.Buffer().end() - 4, fxOut.Buffer().end()),
              (std::vector<uint8_t>{2, 0, 1, 0}))
        << "effect, then channel";
}

} // namespace
