// The MIDI family: note arithmetic, transformers, number consumers, Scale, and a stored round
// trip of every type of the MIDI, numeric and logic families.
#include "events/archive.h"
#include "nodes/logic.h"
#include "nodes/midi.h"
#include "nodes/node_params.h"
#include "nodes/numeric.h"
#include "tests/nodes/family_helpers.h"
#include "tree/node_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace {

using famtest::Fixed;
using famtest::Flat;
using famtest::SetFixed;
using famtest::SolveAt;

TEST(NodeConversions, TruncateTowardZeroAndSaturate) {
    EXPECT_EQ(nodes::ToInt(60.9), 60);
    EXPECT_EQ(nodes::ToInt(-60.9), -60);
    EXPECT_EQ(nodes::ToInt(std::nan("")), 0);
    EXPECT_EQ(nodes::ToInt(1e30), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(nodes::ToInt(-INFINITY), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(nodes::ToUInt(-5.0), 0u);
    EXPECT_EQ(nodes::ToUInt(INFINITY), UINT32_MAX);
    EXPECT_EQ(nodes::ToDataByte(300.7), 44) << "low 8 bits of 300";
    EXPECT_EQ(nodes::ToDataByte(-1.0), 255);
    EXPECT_EQ(nodes::ToDataByte(-0.9), 0);
    EXPECT_EQ(nodes::ToDataByte(std::nan("")), 0);
}

TEST(MidiNote, YieldsOneNoteAndDropsWhatTheListHeld) {
    MidiNote n;
    CNoteEventList list;
    list.Add(new EventValue(5.0f, 3));
    SolveAt(n, list, 1000);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"1000:m90,60,70,0/50"}));

    n.pitch = 316.0f; // low 8 bits: 60
    n.velocity = NAN;
    n.noteDuration = -20.0f;
    n.channel = 17;
    SolveAt(n, list, 0);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"0:m91,60,0,0/0"}));

    MidiDrumNote d;
    SolveAt(d, list, 7);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"7:m99,61,80,0/250"}));
    EXPECT_EQ(d.GetName(), "Midi Drum Note");
}

TEST(ChordBuilder, ChordTableSetsSizeAndIntervals) {
    ChordBuilder c;
    nodes::ApplyChord(c, "Major");
    EXPECT_EQ(c.chordSize, 3);
    SetFixed(c, 1)->Note(60);
    CNoteEventList list;
    SolveAt(c, list, 0);
    std::vector<int> pitches;
    for (SongEvent* e = list.head; e; e = e->next) pitches.push_back(e->GetData1());
    std::sort(pitches.begin(), pitches.end());
    EXPECT_EQ(pitches, (std::vector<int>{60, 64, 67}));

    nodes::ApplyChord(c, "Fifth");
    EXPECT_EQ(c.chordSize, 2);
    EXPECT_EQ(c.intervals[0], 5);
    nodes::ApplyChord(c, "Diminished");
    EXPECT_EQ((std::vector<int>{c.intervals[0], c.intervals[1], c.intervals[2]}),
              (std::vector<int>{3, 6, 7}));
    nodes::ApplyChord(c, "major"); // case matters
    EXPECT_EQ(c.chordSize, 0);
    EXPECT_EQ(c.intervals[1], 6) << "an unknown name leaves the intervals";
    EXPECT_EQ(c.chordType, "major");
}

TEST(Arpeggiate, DefaultsAddTwoCopiesLaterAndHigher) {
    Arpeggiate a;
    SetFixed(a, 1)->Note(60, 100, 1000).Value(3.0f, 1000);
    CNoteEventList list;
    SolveAt(a, list, 1000);
    EXPECT_EQ(Flat(list),
              (std::vector<std::string>{"1000:m90,60,100,0/50", "1000:v3", "1500:m90,62,100,0/50",
                                        "1500:m90,62,100,0/50"}));
    a.noteCount = 1;
    a.pitchOffsets[0] = -70;  // below 0: the low 8 bits
    a.timeOffsets[0] = -5000; // before 0: placed at 0
    SolveAt(a, list, 1000);
    EXPECT_EQ(list.head->time, 0u);
    EXPECT_EQ(list.head->GetData1(), static_cast<uint8_t>(-10));
}

TEST(Delay, VelocityDropsPerRepetitionAndNoteOffsStillRepeat) {
    Delay d;
    d.delayCount = 3;
    d.delayTime = 100;
    d.velocityDecrement = 40;
    Fixed* f = SetFixed(d, 1);
    f->Note(60, 100, 0);
    CNoteEventList list;
    SolveAt(d, list, 0);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"0:m90,60,100,0/50", "100:m90,60,100,0/50",
                                                    "200:m90,60,60,0/50", "300:m90,60,20,0/50"}));
    f->events.clear();
    f->Note(60, 70, 0).Note(60, 0, 50, 0, 0x80);
    SolveAt(d, list, 0);
    EXPECT_EQ(Flat(list),
              (std::vector<std::string>{"0:m90,60,70,0/50", "50:m80,60,0,0/0", "100:m90,60,70,0/50",
                                        "150:m80,60,0,0/0", "200:m90,60,30,0/50",
                                        "250:m80,60,0,0/0", "350:m80,60,0,0/0"}))
        << "70 <= 80: the third note-on is dropped, its note-off is not";
}

TEST(Invert, FlipsAroundTheAxis) {
    Invert inv;
    SetFixed(inv, 1)->Note(64).Note(55);
    CNoteEventList list;
    SolveAt(inv, list, 0);
    EXPECT_EQ(list.head->GetData1(), 56);
    EXPECT_EQ(list.head->next->GetData1(), 65);
}

TEST(PitchBend, SplitsIntoSevenBitHalvesWithinItsBounds) {
    PitchBend pb;
    Fixed* f = SetFixed(pb, 1);
    auto bend = [&](float v) {
        f->events.clear();
        f->Value(v);
        CNoteEventList list;
        SolveAt(pb, list, 40);
        EXPECT_EQ(list.Count(), 1);
        return Flat(list)[0];
    };
    EXPECT_EQ(bend(0), "40:me0,0,64,0/0");
    EXPECT_EQ(bend(-20000), "40:me0,0,0,0/0");
    EXPECT_EQ(bend(20000), "40:me0,127,127,0/0");
    EXPECT_EQ(bend(NAN), "40:me0,0,64,0/0");
    EXPECT_EQ(bend(1.9f), "40:me0,1,64,0/0");

    f->events.clear();
    CNoteEventList empty;
    SolveAt(pb, empty, 0);
    EXPECT_TRUE(empty.IsEmpty()) << "no value: nothing is sent";
}

TEST(MidiController, HoldsTheValueAndSendsTheController) {
    MidiController mc;
    mc.channel = 2;
    mc.controllerNumber = 7;
    Fixed* f = SetFixed(mc, 1);
    f->Value(200.0f);
    CNoteEventList list;
    SolveAt(mc, list, 9);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"9:mb2,7,127,0/0"}));
    f->events.clear();
    f->Value(-3.0f);
    SolveAt(mc, list, 9);
    EXPECT_EQ(list.head->GetData2(), 0);
}

TEST(NumberConsumers, BoundsReadFromAFileArePutInOrder) {
    MidiController mc;
    mc.lowerBound = 100.0f;
    mc.upperBound = 20.0f;
    PitchBend pb;
    pb.lowerBound = 5000;
    pb.upperBound = -5000;
    for (ProtoType* n : std::initializer_list<ProtoType*>{&mc, &pb}) {
        CArchive out;
        WriteNodeRecord(out, *n);
        CArchive in(out.Buffer());
        ProtoType* fresh = CreateNode(n->TypeName());
        ASSERT_TRUE(ReadNodeRecord(in, *fresh));
        if (auto* m = As<MidiController>(fresh)) {
            EXPECT_EQ(m->lowerBound, 20.0f);
            EXPECT_EQ(m->upperBound, 100.0f);
        } else {
            auto* p = As<PitchBend>(fresh);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(p->lowerBound, -5000);
            EXPECT_EQ(p->upperBound, 5000);
        }
        delete fresh;
    }
}

TEST(MidiData, BuildsAMessageFromThreeValues) {
    MidiData md;
    Fixed* f = SetFixed(md, 1);
    f->Value(0x93).Value(60).Value(100);
    CNoteEventList list;
    SolveAt(md, list, 5);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"5:m93,60,100,0/0"}));
    f->events.clear();
    f->Value(0xC0).Value(300);
    SolveAt(md, list, 5);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"5:mc0,44,0,0/0"}));
    f->events.clear();
    f->Value(0xC0);
    SolveAt(md, list, 5);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(MidiNoteProperty, LastValueAppliesToTheRemainingNotes) {
    MidiNoteProperty p;
    p.affectPitch = 1;
    Fixed* notes = SetFixed(p, 1);
    notes->Note(60).Note(62).Note(64);
    Fixed* values = SetFixed(p, 2);
    values->Value(5);
    CNoteEventList list;
    SolveAt(p, list, 0);
    std::vector<int> pitches;
    for (SongEvent* e = list.head; e; e = e->next) pitches.push_back(e->GetData1());
    EXPECT_EQ(pitches, (std::vector<int>{65, 67, 69}));

    p.replace = 1;
    p.affectChannel = 1;
    p.affectDuration = 1;
    values->events.clear();
    values->Value(3).Value(40);
    SolveAt(p, list, 0);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"0:m94,3,100,0/3", "0:m99,40,100,0/40",
                                                    "0:m99,40,100,0/40"}))
        << "channel = value + 1 (41 keeps its low nibble)";

    values->events.clear();
    SolveAt(p, list, 0);
    EXPECT_EQ(Flat(list).size(), 3u) << "no values: the notes pass unchanged";
    EXPECT_EQ(list.head->GetData1(), 60);
}

std::vector<int> ScaleOut(Scale& s, std::initializer_list<int> pitches) {
    Fixed* f = SetFixed(s, 1);
    for (int p : pitches) f->Note(static_cast<uint8_t>(p));
    CNoteEventList list;
    SolveAt(s, list, 0);
    std::vector<int> out;
    for (SongEvent* e = list.head; e; e = e->next) out.push_back(e->GetData1());
    return out;
}

TEST(Scale, TableModeCutsAndPushes) {
    Scale s;
    s.key = 3; // C
    nodes::ApplyScale(s, "Major", "Cut");
    EXPECT_EQ(s.tableMode, 1);
    EXPECT_EQ(ScaleOut(s, {61, 62, 48, 73}), (std::vector<int>{62, 48}));
    nodes::ApplyScale(s, "Major", "Push Up");
    EXPECT_EQ(ScaleOut(s, {61, 62}), (std::vector<int>{62, 62}));
    nodes::ApplyScale(s, "Major", "Push Down");
    EXPECT_EQ(ScaleOut(s, {61, 66}), (std::vector<int>{60, 65}));
    nodes::ApplyScale(s, "None", "Cut");
    EXPECT_EQ(ScaleOut(s, {61}), (std::vector<int>{61})) << "unknown scale: notes pass";
}

TEST(Scale, SeamlessCountsScaleStepsFromTheRootBothWays) {
    Scale s;
    s.key = 3;
    nodes::ApplyScale(s, "Major", "Seamless");
    EXPECT_EQ(s.tableMode, 0);
    EXPECT_EQ(s.scaleTable[12], 7);
    EXPECT_EQ(ScaleOut(s, {60, 61, 67, 59, 53, 52, 46}),
              (std::vector<int>{60, 62, 72, 59, 48, 47, 36}));
    nodes::ApplyScale(s, "Pentatonic", "Seamless");
    EXPECT_EQ(ScaleOut(s, {65, 59}), (std::vector<int>{72, 57}));
    s.key = 0; // A: root 57
    nodes::ApplyScale(s, "Major", "Seamless");
    EXPECT_EQ(ScaleOut(s, {57, 58}), (std::vector<int>{57, 59}));

    Scale fresh;
    nodes::ApplyScale(fresh, "None", "Seamless");
    EXPECT_EQ(fresh.scaleTable[12], 0);
    EXPECT_EQ(ScaleOut(fresh, {61, 3}), (std::vector<int>{61, 3})) << "no steps: unchanged";
}

TEST(MidiInput, ModesAndTheTimeParameter) {
    MidiInput in;
    CNoteEventList list;
    list.Add(new EventMidi(300, 0x90, 60, 90, 10));
    SolveAt(in, list, 500);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"0:m90,60,90,0/10"})) << "send note";

    in.sendTrue = 1;
    list.RemoveAll();
    list.Add(new EventMidi(300, 0x80, 60, 0));
    list.Add(new EventMidi(310, 0x90, 61, 50));
    SolveAt(in, list, 500);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"500:v0"}));

    in.sendTrue = 0;
    in.inputParameter = kInputTime;
    list.RemoveAll();
    list.Add(new EventMidi(300, 0x90, 60, 90));
    SolveAt(in, list, 500);
    EXPECT_EQ(Flat(list), (std::vector<std::string>{"300:v300"}));

    in.inputParameter = kInputChannel;
    list.RemoveAll();
    list.Add(new EventValue(2.0f));
    SolveAt(in, list, 500);
    EXPECT_TRUE(list.IsEmpty()) << "not MIDI: nothing";
}

TEST(Interpolate, PlacesANoteBetweenSuccessiveNotes) {
    Interpolate ip;
    Fixed* f = SetFixed(ip, 1);
    f->Note(60, 100, 0, 100);
    CNoteEventList list;
    SolveAt(ip, list, 0);
    EXPECT_EQ(list.Count(), 1) << "the first note has no predecessor";
    f->events.clear();
    f->Note(71, 51, 1001, 301, 0x93);
    SolveAt(ip, list, 1001);
    EXPECT_EQ(Flat(list),
              (std::vector<std::string>{"500:m90,65,75,0/200", "1001:m93,71,51,0/301"}));
    ip.ResetCounters();
    SolveAt(ip, list, 1001);
    EXPECT_EQ(list.Count(), 1);
}

// Every type of the three families, stored with non-default values and read back, and copied.
TEST(Families, EveryTypeSurvivesAStoredRoundTripAndACopy) {
    std::vector<std::span<const NodeFactoryEntry>> families = {MidiNodeTypes(), NumericNodeTypes(),
                                                               LogicNodeTypes()};
    int types = 0;
    for (auto family : families) {
        for (const NodeFactoryEntry& entry : family) {
            ++types;
            ProtoType* n = entry.create(false);
            n->name = std::string("n-") + entry.info->typeName;
            n->start = 12;
            n->duration = 3456;
            ParamTable table = n->GetParamTable();
            int k = 0;
            for (const ParamField& f : table) {
                ++k;
                if (f.type == ParamType::Text) {
                    SetParamText(f, *n, "t" + std::to_string(k));
                } else {
                    // Within the field's range, not its default, negative where allowed.
                    double v = f.min < 0 ? std::max(f.min, -3.0 - k) : std::min(f.max, 1.0 + k % 5);
                    if (v == f.def) v = f.min < 0 ? std::max(f.min, -1.0) : f.max;
                    SetParamNumber(f, *n, v);
                }
            }
            CArchive out;
            WriteNodeRecord(out, *n);
            CArchive in(out.Buffer());
            ProtoType* back = entry.create(true);
            ASSERT_TRUE(ReadNodeRecord(in, *back)) << entry.info->typeName;
            EXPECT_TRUE(in.AtEnd()) << entry.info->typeName;
            ProtoType* copy = entry.create(false);
            copy->Copy(*n);
            for (ProtoType* other : {back, copy}) {
                EXPECT_EQ(other->name, n->name);
                EXPECT_EQ(other->start, 12u);
                EXPECT_EQ(other->duration, 3456u);
                EXPECT_EQ(other->GetChildCount(), entry.info->branches);
                for (const ParamField& f : table) {
                    if (f.store == ParamStore::None) continue;
                    EXPECT_EQ(GetParamText(f, *other), GetParamText(f, *n))
                        << entry.info->typeName << "." << f.key;
                }
            }
            std::string info;
            n->GetInfo(info);
            EXPECT_EQ(info, entry.info->info);
            delete n;
            delete back;
            delete copy;
        }
    }
    EXPECT_EQ(types, 13 + 19 + 6);
}

TEST(Families, FieldsThatIndexOrDivideAreHeldWhenRead) {
    Arpeggiate a;
    a.noteCount = 9;
    ChordBuilder c;
    c.chordSize = 40;
    Scale s;
    s.key = 15;
    s.scaleTable[12] = 20;
    TemporalPhase tp;
    tp.loopLength = 0;
    Delay d;
    d.delayCount = 5000;
    for (ProtoType* n : std::initializer_list<ProtoType*>{&a, &c, &s, &tp, &d}) {
        CArchive out;
        WriteNodeRecord(out, *n);
        CArchive in(out.Buffer());
        ProtoType* back = CreateNode(n->TypeName());
        ASSERT_TRUE(ReadNodeRecord(in, *back));
        if (auto* x = As<Arpeggiate>(back)) {
            EXPECT_EQ(x->noteCount, 6);
        }
        if (auto* x = As<ChordBuilder>(back)) {
            EXPECT_EQ(x->chordSize, 6);
        }
        if (auto* x = As<Scale>(back)) {
            EXPECT_EQ(x->key, 11);
            EXPECT_EQ(x->scaleTable[12], 12);
        }
        if (auto* x = As<TemporalPhase>(back)) {
            EXPECT_EQ(x->loopLength, 1);
        }
        if (auto* x = As<Delay>(back)) {
            EXPECT_EQ(x->delayCount, 10);
        }
        delete back;
    }
}

// The choices a dialog offers, read from each field as the dialogs and listings read them.
std::span<const ParamChoice> ChoicesOf(ParamTable table, const char* key) {
    const ParamField* f = FindParam(table, key);
    return f ? f->choices : std::span<const ParamChoice>{};
}

TEST(Families, ChoicesOfferedByTheDialogs) {
    auto drums = ChoicesOf(MidiDrumNote::kInfo.params, "pitch");
    ASSERT_EQ(drums.size(), 47u);
    EXPECT_STREQ(drums.front().label, "Acoustic Bass Drum");
    EXPECT_EQ(drums.front().value, 35);
    EXPECT_STREQ(drums.back().label, "Open Triangle");
    EXPECT_EQ(drums.back().value, 81);
    EXPECT_STREQ(ChoicesOf(MidiDrumNote::kInfo.params, "channel")[9].label, "9 -> GM Drum Setting");
    EXPECT_STREQ(ChoicesOf(MidiNote::kInfo.params, "channel")[9].label, "9");
    EXPECT_TRUE(ChoicesOf(MidiNote::kInfo.params, "pitch").empty()) << "a melodic pitch is typed";
    // A new drum note sounds on the percussion channel of a General MIDI instrument.
    MidiDrumNote drum;
    CNoteEventList list;
    list.next = kFixedStep;
    drum.Solve(list);
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(list.head->GetMessageBytes()[0], 0x99);
    auto scales = ChoicesOf(Scale::kInfo.params, "scaleName");
    ASSERT_EQ(scales.size(), 12u);
    EXPECT_STREQ(ChoicesOf(Scale::kInfo.params, "key")[3].label, "C");
    EXPECT_STREQ(ChoicesOf(Scale::kInfo.params, "fitName")[3].label, "Seamless");
    EXPECT_EQ(ChoicesOf(MidiController::kInfo.params, "controllerNumber").back().value, 121);
    EXPECT_STREQ(ChoicesOf(MidiController::kInfo.params, "channel")[0].label, "1");
    EXPECT_EQ(ChoicesOf(MidiInput::kInfo.params, "inputParameter").back().value, kInputTime);
    EXPECT_EQ(ChoicesOf(Log::kInfo.params, "logBase")[1].value, kLogBase10);
    EXPECT_TRUE(ChoicesOf(Constant::kInfo.params, "value").empty());

    // Every chord offered is one ApplyChord knows, and every scale one ApplyScale knows.
    auto chords = ChoicesOf(ChordBuilder::kInfo.params, "chordType");
    ASSERT_EQ(chords.size(), 10u);
    for (const ParamChoice& c : chords) {
        ChordBuilder cb;
        nodes::ApplyChord(cb, c.label);
        EXPECT_GE(cb.chordSize, 2) << c.label;
    }
    for (const ParamChoice& c : scales) {
        Scale sc;
        nodes::ApplyScale(sc, c.label, "Seamless");
        EXPECT_GT(sc.scaleTable[12], 0) << c.label;
    }
}

} // namespace
