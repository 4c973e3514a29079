#include "platform/user_messages.h"
#include "tests/tree/tree_helpers.h"
#include "tree/node_host.h"
#include "tree/random.h"
#include "tree/solve.h"

#include <gtest/gtest.h>

namespace {

// One solve step of `node` at `now` (event mode), returning the list.
struct Step {
    CNoteEventList list;
    Step(ProtoType& node, uint32_t now, int32_t offset = 0) {
        list.now = now;
        list.offset = offset;
        list.next = kNoTime;
        node.Solve(list);
    }
    double Value(int i = 0) {
        SongEvent* e = list.head;
        while (e && i--) e = e->next;
        return e ? e->GetValue() : -1.0;
    }
};

std::vector<uint32_t> NoteTimes(Root& root) {
    CNoteEventList out;
    root.SolveInto(out, 0);
    std::vector<uint32_t> t;
    for (SongEvent* e = out.head; e; e = e->next) t.push_back(e->time);
    return t;
}

TEST(Loop, WrapsTimeIntoTheLoopAndShiftsBack) {
    Root root;
    auto* loop = Put<Loop>(root.childOne, "Loop");
    Probe* p = PutProbe(loop->childOne);
    p->yield = true;
    Step s(*loop, 1000);
    ASSERT_EQ(p->nows, std::vector<uint32_t>{40});
    ASSERT_EQ(s.list.Count(), 1);
    EXPECT_EQ(s.list.head->time, 1000u) << "40 shifted by 960";
    EXPECT_EQ(s.list.next, 1440u) << "nothing pending inside: the next repetition";
    EXPECT_EQ(s.list.now, 1000u);

    // A note at the loop's start repeats every loop point.
    loop->loopPoint = 2500;
    ReplaceWith(loop->childOne, "MidiNote");
    EXPECT_EQ(NoteTimes(root), (std::vector<uint32_t>{0, 2500, 5000, 7500}));

    loop->loopPoint = 0; // guarded: a loop point of 1 ms
    Step z(*loop, 7);
    EXPECT_EQ(z.list.Count(), 1);
    EXPECT_EQ(z.list.next, 8u);
}

TEST(Loop, InnerPendingTimesMapBackToTheRepetition) {
    Loop loop;
    loop.duration = 100000;
    loop.AlignTimes(0);
    loop.loopPoint = 1000;
    Probe* p = PutProbe(loop.childOne);
    p->start = 300;
    p->duration = 100;
    Step s(loop, 5100); // wrapped to 100: the probe's window at 300 lies ahead
    EXPECT_TRUE(p->nows.empty());
    EXPECT_EQ(s.list.next, 5300u);
}

TEST(Every, YieldsAtAbsoluteMultiplesOfThePeriod) {
    Root root;
    auto* every = Put<Every>(root.childOne, "Every");
    every->start = 300;
    every->duration = 1400; // [300, 1700)
    Constant* period = PutConstant(every->childOne, 500);
    Put(every->childTwo, "MidiNote");
    EXPECT_EQ(NoteTimes(root), (std::vector<uint32_t>{500, 1000, 1500}));

    CNoteEventList l;
    l.now = 1000;
    l.next = kNoTime;
    EXPECT_TRUE(every->IsActive(l));
    EXPECT_EQ(l.next, 1500u);
    l.offset = 0;
    l.now = 1600;
    l.next = kNoTime;
    EXPECT_TRUE(every->IsActive(l));
    EXPECT_EQ(l.next, kNoTime) << "2000 lies beyond the window";

    for (float bad : {0.0f, 0.9f, -500.0f}) {
        period->value = bad;
        EXPECT_TRUE(NoteTimes(root).empty()) << bad;
        Step s(*every, 500);
        EXPECT_TRUE(s.list.IsEmpty());
        EXPECT_EQ(s.list.next, kNoTime) << "no boundary scheduled";
    }
}

TEST(IfThenSubstituteAnd, ConditionsAndUnion) {
    IfThen ift;
    ift.duration = 1000;
    ift.AlignTimes(0);
    Constant* cond = PutConstant(ift.childOne, 0);
    Put(ift.childTwo, "MidiNote");
    EXPECT_TRUE(Step(ift, 10).list.IsEmpty());
    cond->value = -2;
    EXPECT_EQ(Step(ift, 10).list.Count(), 1);
    ReplaceWith(ift.childOne, "Null"); // no condition: nothing is done to the list
    CNoteEventList l;
    l.next = kNoTime;
    l.Add(new EventValue(4.0f));
    ift.Solve(l);
    EXPECT_EQ(l.Count(), 1);
    EXPECT_EQ(l.head->GetValue(), 4.0);

    Substitute sub;
    sub.duration = 1000;
    sub.AlignTimes(0);
    PutConstant(sub.childOne, 1); // a number, not a note
    PutConstant(sub.childTwo, 9);
    EXPECT_TRUE(Step(sub, 0).list.IsEmpty());
    ReplaceWith(sub.childOne, "MidiNote");
    EXPECT_EQ(Step(sub, 0).Value(), 9.0);

    And a;
    a.duration = 1000;
    a.AlignTimes(0);
    Put(a.childOne, "MidiNote");
    auto* n2 = Put<MidiNote>(a.childTwo, "MidiNote");
    n2->pitch = 64;
    n2->start = 400;
    Step s(a, 100);
    EXPECT_EQ(s.list.Count(), 1);
    EXPECT_EQ(s.list.next, 400u) << "the smaller next time of both branches";
}

TEST(Counter, RunningCountAndReset) {
    Counter c;
    c.duration = 10000;
    c.AlignTimes(0);
    PutConstant(c.childOne, 1);
    EXPECT_EQ(Step(c, 0).Value(), 1.0);
    EXPECT_EQ(Step(c, 1).Value(), 2.0);
    EXPECT_EQ(Step(c, 2).Value(), 3.0);
    c.ResetCounters();
    EXPECT_EQ(Step(c, 3).Value(), 1.0);
    ReplaceWith(c.childOne, "Null");
    Step empty(c, 4);
    EXPECT_EQ(empty.Value(), 1.0) << "an empty branch yields the unchanged count";
    EXPECT_EQ(empty.list.head->time, 4u);
    PutConstant(c.childOne, 2.9f);
    EXPECT_EQ(Step(c, 5).Value(), 3.0) << "truncated toward zero";
}

TEST(Initialize, ResetsItsLeftBranchOnANonZeroRightBranch) {
    Initialize init;
    init.duration = 1000;
    init.AlignTimes(0);
    auto* c = Put<Counter>(init.childOne, "Counter");
    PutConstant(c->childOne, 1);
    Constant* trigger = PutConstant(init.childTwo, 0);
    Step(init, 0);
    EXPECT_EQ(Step(init, 1).Value(), 2.0);
    trigger->value = 1;
    EXPECT_EQ(Step(init, 2).Value(), 1.0);
    EXPECT_EQ(Step(init, 3).Value(), 1.0);
    trigger->value = 0;
    EXPECT_EQ(Step(init, 4).Value(), 2.0);
}

Word* MakeWord(ProtoType* at, std::initializer_list<std::pair<uint32_t, uint8_t>> notes) {
    auto* w = Put<Word>(at, "Word");
    for (auto [t, key] : notes) w->events.AddCopyAt(EventMidi(0, 0x90, key, 100, 50), t);
    return w;
}

TEST(Word, ReplaysEachStoredEventOnceAtItsTime) {
    Root root;
    auto* w = MakeWord(root.childOne, {{0, 60}, {250, 62}, {250, 64}, {900, 65}});
    w->start = 1000;
    CNoteEventList out;
    root.SolveInto(out, 0);
    // Equal times: the list puts an event equal to its head in front of it.
    EXPECT_EQ(Flatten(out),
              (std::vector<std::string>{"1000:m90,60,100,0/50", "1250:m90,64,100,0/50",
                                        "1250:m90,62,100,0/50", "1900:m90,65,100,0/50"}));
    w->duration = 900; // the event at 900 falls outside the window
    root.SolveInto(out, 0);
    EXPECT_EQ(out.Count(), 3);
}

TEST(MetaWord, SequentialPlaysTheSecondWordAfterTheFirst) {
    Root root;
    auto* m = Put<MetaWord>(root.childOne, "MetaWord");
    MakeWord(m->childOne, {{0, 60}, {500, 62}});
    auto* second = MakeWord(m->childTwo, {{600, 70}, {1000, 72}});
    (void)second;
    m->AlignTimes(0);
    CNoteEventList out;
    root.ResetCounters();
    m->ResetCounters();
    root.SolveInto(out, 0);
    std::vector<std::string> got = Flatten(out);
    EXPECT_EQ(got, (std::vector<std::string>{"0:m90,60,100,0/50", "500:m90,62,100,0/50",
                                             "600:m90,70,100,0/50", "1000:m90,72,100,0/50"}));
    // The state carries over until reset.
    Step again(*m, 0);
    EXPECT_TRUE(again.list.IsEmpty()) << "the second word has begun: the first is not replayed";
    m->ResetCounters();
    EXPECT_EQ(Step(*m, 0).list.Count(), 1);
}

TEST(MetaWord, TimedPlaysWordOneThenWordTwoAfterTheInterim) {
    Root root;
    auto* m = Put<MetaWord>(root.childOne, "MetaWord");
    m->sequential = false;
    m->wordOneDuration = 1000;
    m->interimTime = 500;
    auto* a = Put(m->childOne, "Every");
    PutConstant(a->childOne, 400);
    Put(a->childTwo, "MidiNote");
    Put(m->childTwo, "MidiNote");
    m->AlignTimes(0);
    // Word one at 0, 400, 800; the second word at 1500 (its own scheduling) and only there.
    EXPECT_EQ(NoteTimes(root), (std::vector<uint32_t>{0, 400, 800, 1500}));
}

TEST(Or, ProbabilityChoosesTheBranch) {
    Or o;
    o.duration = 1000;
    o.AlignTimes(0);
    PutConstant(o.childOne, 1);
    PutConstant(o.childTwo, 2);
    SeedRandom(7);
    int left = 0;
    for (int i = 0; i < 4000; ++i) left += Step(o, 0).Value() == 1.0;
    EXPECT_NEAR(left, 2000, 150);
    o.leftProbability = 0;
    for (int i = 0; i < 200; ++i) EXPECT_EQ(Step(o, 0).Value(), 2.0);
    o.leftProbability = 1;
    for (int i = 0; i < 200; ++i) EXPECT_EQ(Step(o, 0).Value(), 1.0);
}

TEST(Quantize, OnsetsAndDurations) {
    Quantize q;
    q.duration = 100000;
    q.AlignTimes(0);
    q.quanta = 30;
    auto* n = Put<MidiNote>(q.childOne, "MidiNote");
    n->noteDuration = 100;
    Step s(q, 1000); // 1000 mod 30 = 10
    EXPECT_EQ(s.list.head->time, 1010u);
    EXPECT_EQ(s.list.head->GetDuration(), 100u);
    q.onsets = false;
    q.durations = true;
    Step d(q, 1000);
    EXPECT_EQ(d.list.head->time, 1000u);
    EXPECT_EQ(d.list.head->GetDuration(), 30u) << "100 mod 30 is below the quanta: the quanta";
    q.quanta = 0; // guarded
    Step z(q, 1000);
    EXPECT_EQ(z.list.head->GetDuration(), 1u);
}

TEST(Stretch, TimesFromTheWindowStartAndDurations) {
    Root root;
    auto* s = Put<Stretch>(root.childOne, "Stretch");
    s->start = 1000;
    s->factor = 2;
    s->durations = true;
    auto* w = MakeWord(s->childOne, {{100, 60}});
    (void)w;
    CNoteEventList out;
    root.SolveInto(out, 0);
    EXPECT_EQ(Flatten(out), std::vector<std::string>{"1200:m90,60,100,0/100"});
    s->factor = 0.5f;
    s->onsets = false;
    root.SolveInto(out, 0);
    EXPECT_EQ(Flatten(out), std::vector<std::string>{"1100:m90,60,100,0/25"});
}

TEST(Tempo, Limits) {
    Tempo t;
    t.duration = 1000;
    t.AlignTimes(0);
    Constant* v = PutConstant(t.childOne, 12.9f);
    Step s(t, 40);
    ASSERT_EQ(s.list.Count(), 1);
    SongEvent* e = s.list.head;
    EXPECT_EQ(e->time, 40u);
    EXPECT_EQ(e->GetMessageBytes()[0], 0);
    EXPECT_EQ(e->GetData1(), 0);
    EXPECT_EQ(e->GetData2(), 0);
    EXPECT_EQ(e->GetData3(), 12);
    v->value = 300;
    EXPECT_EQ(Step(t, 0).list.head->GetData3(), 44); // 300 = 0x012C
    EXPECT_EQ(Step(t, 0).list.head->GetData2(), 1);
    for (float bad : {301.0f, 11.99f, -20.0f}) {
        v->value = bad;
        CNoteEventList l;
        l.next = kNoTime;
        l.Add(new EventValue(1.0f));
        t.Solve(l);
        EXPECT_TRUE(l.IsEmpty()) << bad << ": yields nothing and empties the list";
    }
}

TEST(Pointer, SolvesItsTargetInItsOwnWindowUpToTheLimit) {
    Root root;
    auto* a = Put(root.childOne, "And");
    auto* note = Put<MidiNote>(a->childOne, "MidiNote");
    note->start = 100;
    note->duration = 1; // yields only at its start
    auto* p = Put<Pointer>(a->childTwo, "Pointer");
    p->start = 3000;
    p->SetTarget(note);
    EXPECT_EQ(NoteTimes(root), (std::vector<uint32_t>{100, 3100}));

    // A target that contains the Pointer is refused, whoever sets it.
    EXPECT_FALSE(p->SetTarget(a));
    EXPECT_EQ(p->Target(), nullptr);
    EXPECT_FALSE(p->SetTarget(p));
    EXPECT_EQ(p->Target(), nullptr);
}

TEST(Pointer, PointersIntoEachOthersBranchesRecurseUpToTheLimit) {
    // And(And(note, p1), p2): p1 points at p2, p2 at the inner And, which holds p1 again.
    Root root;
    auto* outer = Put(root.childOne, "And");
    auto* inner = Put(outer->childOne, "And");
    auto* note = Put<MidiNote>(inner->childOne, "MidiNote");
    note->duration = 1;
    auto* p1 = Put<Pointer>(inner->childTwo, "Pointer");
    auto* p2 = Put<Pointer>(outer->childTwo, "Pointer");
    ASSERT_TRUE(p1->SetTarget(p2));
    ASSERT_TRUE(p2->SetTarget(inner));
    for (int limit : {0, 1, 3}) {
        p1->recursionLimit = p2->recursionLimit = limit;
        root.ResetCounters();
        CNoteEventList out;
        root.SolveInto(out, 0);
        // One note directly, and each level of recursion one more through each of the two
        // Pointers.
        EXPECT_EQ(out.Count(), 2 * limit + 1) << limit;
    }
}

TEST(Pointer, MutuallyRecursivePointersFinish) {
    Root root;
    auto* a = Put(root.childOne, "And");
    auto* p1 = Put<Pointer>(a->childOne, "Pointer");
    auto* p2 = Put<Pointer>(a->childTwo, "Pointer");
    p1->recursionLimit = p2->recursionLimit = 40;
    ASSERT_TRUE(p1->SetTarget(p2));
    ASSERT_TRUE(p2->SetTarget(p1));
    CNoteEventList out;
    root.SolveInto(out, 0);
    EXPECT_TRUE(out.IsEmpty());
    p1->ResetCounters(); // each resets the other: must not recurse forever
    p2->ResetCounters();
}

TEST(Pointer, FollowsReplacementAndForgetsRemovedTargets) {
    Root root;
    auto* a = Put(root.childOne, "And");
    auto* p = Put<Pointer>(a->childOne, "Pointer");
    auto* inner = Put(a->childTwo, "And");
    ProtoType* deep = Put(inner->childOne, "MidiNote");
    p->SetTarget(deep);
    ProtoType* q = ReplaceWith(deep, "Null"); // a cut leaves a Null in its place
    EXPECT_EQ(p->Target(), q);
    ProtoType* back = ReplaceWith(q, "MidiNote"); // undo puts a node back
    EXPECT_EQ(p->Target(), back);
    ReplaceWith(inner, "Null"); // the subtree holding the target goes
    EXPECT_EQ(p->Target(), nullptr);
    EXPECT_TRUE(Step(*p, 0).list.IsEmpty());

    // Picking: an ancestor is refused, a sibling subtree accepted.
    platform::ScopedRecordingMessages messages;
    p->OnPick(a);
    EXPECT_EQ(p->Target(), nullptr);
    p->OnPick(a->childTwo);
    EXPECT_EQ(p->Target(), a->childTwo);
    ASSERT_EQ(messages.Shown().size(), 2u);
    EXPECT_EQ(messages.Shown()[0], "Your selection is invalid.  ");
    EXPECT_EQ(messages.Shown()[1], "The Pointer now points to 'NULL' ");

    // Find by name.
    a->childTwo->name = "Tune";
    p->SetTarget(nullptr);
    p->targetName = "Tune";
    p->ResolvePointer();
    EXPECT_EQ(p->Target(), a->childTwo);
    p->targetName = "Nowhere";
    p->ResolvePointer();
    EXPECT_EQ(messages.Shown().back(), "The name was not found in the tree for 'Pointer'.");
}

TEST(Pointer, CopyKeepsTargetsOnlyInsideItsOwnTree) {
    // Root -> And(p, And(same, MidiNote "Tune")).
    Root root, other;
    auto* a = Put(root.childOne, "And");
    auto* p = Put<Pointer>(a->childOne, "Pointer");
    auto* b = Put(a->childTwo, "And");
    auto* same = Put<Pointer>(b->childOne, "Pointer");
    ProtoType* tune = Put(b->childTwo, "MidiNote");
    tune->name = "Tune";
    ASSERT_TRUE(p->SetTarget(tune));
    same->Copy(*p);
    EXPECT_EQ(same->Target(), tune);
    auto* elsewhere = Put<Pointer>(other.childOne, "Pointer");
    elsewhere->Copy(*p);
    EXPECT_EQ(elsewhere->Target(), nullptr);
    EXPECT_EQ(elsewhere->targetName, "Tune");
    // A copy that lands inside its source's target does not point at what contains it.
    ASSERT_TRUE(p->SetTarget(b));
    same->Copy(*p);
    EXPECT_EQ(same->Target(), nullptr);
}

TEST(Accrete, WrapsAndUnwraps) {
    Root root;
    auto* a = Put(root.childOne, "And");
    a->start = 0;
    ProtoType* left = Put(a->childOne, "MidiNote");
    a->MakeAccretion(left);
    auto* acc = As<Accrete>(root.childOne);
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(acc->childOne, a);
    EXPECT_EQ(a->parent, acc);
    EXPECT_EQ(acc->GetInnerChild(1), left);
    EXPECT_EQ(acc->InnerPath(left), "LL");
    EXPECT_EQ(acc->ResolveInnerPath("LL"), left);
    EXPECT_EQ(acc->GetChildCount(), 1);
    EXPECT_EQ(Step(*acc, 0).list.Count(), 1);
    ReplaceWith(left, "Null");
    EXPECT_EQ(acc->GetInnerChild(1), a->childOne) << "follows the replacement";
    a->childOne->AnnounceRemoval();
    EXPECT_EQ(acc->GetInnerChild(1), nullptr);
    std::string label;
    acc->GetSpecialName(1, label);
    EXPECT_EQ(label, "Un-Accrete");
    acc->Special(1);
    EXPECT_EQ(root.childOne, a);
    EXPECT_EQ(a->parent, &root);
}

TEST(ControlNodes, InfoTextsOpenAsGiven) {
    struct Want {
        const char* type;
        const char* opening;
    };
    const Want wants[] = {
        {"Accrete", "This function is able to use all of the other functions as primitives"},
        {"And", "This function combines two events, without merging them into a single note."},
        {"IfThen", "If the numerical value of the left branch is TRUE (not equal to 0)"},
        {"Null", "This node does not contain any information."},
        {"Word", "This function holds a list of song events."},
    };
    for (const Want& w : wants) {
        std::unique_ptr<ProtoType> n(CreateNode(w.type));
        std::string info;
        n->GetInfo(info);
        EXPECT_EQ(info.rfind(w.opening, 0), 0u) << w.type;
    }
    Root root;
    std::string info;
    root.GetInfo(info);
    EXPECT_EQ(info.rfind("This is the root of the tree.", 0), 0u);
    EXPECT_EQ(root.duration, 10000u);
    EXPECT_EQ(root.childOne->duration, 10000u);
    EXPECT_EQ(root.GetTimeScale(), 0.0f) << "no document";
}

} // namespace
