#include "platform/user_messages.h"
#include "tests/tree/tree_helpers.h"
#include "tree/random.h"
#include "tree/solve.h"
#include "tree/tree_owner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

namespace {

TEST(Window, ActiveHalfOpenAndNextTime) {
    Null n;
    n.start = 100;
    n.duration = 50;
    CNoteEventList l;
    l.offset = 1000;
    l.now = 1050;
    l.next = kNoTime;
    EXPECT_FALSE(n.IsActive(l)); // window lies ahead: next lowered to its start
    EXPECT_EQ(l.offset, 1100);
    EXPECT_EQ(l.next, 1100u);
    for (uint32_t now : {1100u, 1149u, 1150u}) {
        l.offset = 1000;
        l.now = now;
        l.next = 5;
        EXPECT_EQ(n.IsActive(l), now < 1150) << now;
        EXPECT_EQ(l.next, 5u) << "no lowering once the window is reached";
        l.offset = 1000;
        EXPECT_EQ(n.IsStarting(l), now == 1100) << now;
    }
    n.duration = 0;
    l.offset = 1000;
    l.now = 1100;
    EXPECT_FALSE(n.IsActive(l));
}

TEST(SolveInto, EventModeVisitsOnlyPendingTimes) {
    Root root;
    Probe* p = PutProbe(root.childOne);
    CNoteEventList out;
    root.SolveInto(out, 0);
    EXPECT_EQ(p->nows, std::vector<uint32_t>{0});

    // A later window is reached through next time.
    p->nows.clear();
    p->start = 2500;
    root.SolveInto(out, 0);
    EXPECT_EQ(p->nows, std::vector<uint32_t>{2500});
}

TEST(SolveInto, FixedStepSamplesEveryStepAndStampsTimes) {
    Root root;
    root.duration = 1000;
    Loop* loop = Put<Loop>(root.childOne, "Loop"); // stays fixed-step below a Loop
    Probe* p = PutProbe(loop->childOne);
    p->yield = true;
    p->start = 5000; // no window test in fixed-step mode
    CNoteEventList out;
    root.SolveInto(out, 100);
    ASSERT_EQ(p->nows.size(), 11u);
    std::vector<uint32_t> times;
    for (SongEvent* e = out.head; e; e = e->next) times.push_back(e->time);
    std::vector<uint32_t> want;
    for (uint32_t t = 0; t <= 1000; t += 100) want.push_back(t);
    EXPECT_EQ(times, want);
}

TEST(SolveInto, StopsWhenNothingPendingEvenForHugeWindows) {
    Root root;
    root.duration = 2000000000u; // ends beyond 1000000000
    root.AlignTimes(0);
    Every* every = Put<Every>(root.childOne, "Every");
    PutConstant(every->childOne, 300000000.0f);
    Put(every->childTwo, "MidiNote");
    CNoteEventList out;
    root.SolveInto(out, 0);
    EXPECT_EQ(out.Count(), 4); // 0, 3e8, 6e8, 9e8; 1.2e9 is beyond "no time"
    CEventTree tree;
    SolveInto(root, tree, 0);
    EXPECT_EQ(tree.GetCount(), 4);
}

TEST(SolveInto, HugeTreesStopAtTheBudgetWithAMessage) {
    // Every 1 ms over a window of a month: far more events than a solve may hold.
    Root root;
    root.duration = 3000000000u;
    root.AlignTimes(0);
    Every* every = Put<Every>(root.childOne, "Every");
    PutConstant(every->childOne, 1.0f);
    Put(every->childTwo, "MidiNote");

    SolveLimits saved = CurrentSolveLimits();
    CurrentSolveLimits().maxEvents = 5000;
    platform::ScopedRecordingMessages messages;
    CEventTree tree;
    SolveInto(root, tree, 0);
    EXPECT_TRUE(LastSolveWasCut());
    EXPECT_GE(tree.GetCount(), 5000);
    EXPECT_LE(tree.GetCount(), 5001);
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_EQ(messages.Shown()[0], kSolveCutMessage);

    // A loop that yields nothing is held by its step count instead.
    CurrentSolveLimits().maxSteps = 10000;
    Root empty;
    empty.duration = 3000000000u;
    empty.AlignTimes(0);
    Every* idle = Put<Every>(empty.childOne, "Every");
    PutConstant(idle->childOne, 1.0f);
    CNoteEventList out;
    SolveInto(empty, out, 0);
    EXPECT_TRUE(LastSolveWasCut());
    EXPECT_EQ(out.Count(), 0);

    CurrentSolveLimits() = saved;
    SolveInto(root, tree, 1000000000u); // one step per 1e9 ms: well inside the budget
    EXPECT_FALSE(LastSolveWasCut());
}

// ---- random trees: the background solve gives what one full solve gives ----------------

class TreeBuilder {
public:
    explicit TreeBuilder(uint32_t seed) : rng_(seed) {}

    void Build(Root& root) {
        root.duration = Pick(8000, 16000);
        root.AlignTimes(0);
        Grow(root.childOne, 0, root.duration);
        for (Pointer* p : pointers_) {
            if (!nodes_.empty()) p->SetTarget(nodes_[Pick(0, static_cast<int>(nodes_.size()) - 1)]);
        }
    }

private:
    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    void Window(ProtoType* n, uint32_t parentDuration) {
        if (Pick(0, 2) == 0) {
            n->start = Pick(0, static_cast<int>(parentDuration / 2));
            n->duration = Pick(0, static_cast<int>(parentDuration));
        } else {
            n->start = 0;
            n->duration = parentDuration;
        }
    }

    void Leaf(ProtoType* at, uint32_t d) {
        switch (Pick(0, 3)) {
        case 0: {
            auto* m = Put<MidiNote>(at, "MidiNote");
            m->pitch = static_cast<float>(Pick(30, 90));
            m->noteDuration = static_cast<float>(Pick(10, 900));
            Window(m, d);
            break;
        }
        case 1:
            PutConstant(at, static_cast<float>(Pick(0, 3)));
            break;
        case 2: {
            auto* w = Put<Word>(at, "Word");
            Window(w, d);
            for (int i = Pick(1, 6); i > 0; --i) {
                EventMidi note(0, 0x90, static_cast<uint8_t>(Pick(40, 80)), 90, 100);
                w->events.AddCopyAt(note, Pick(0, 4000));
            }
            break;
        }
        default:
            pointers_.push_back(Put<Pointer>(at, "Pointer"));
            break;
        }
    }

    void Grow(ProtoType* at, int depth, uint32_t d) {
        if (depth >= 4 || Pick(0, 5) == 0) {
            Leaf(at, d);
            return;
        }
        static const char* kInner[] = {"And",    "Every",      "Loop",    "MetaWord", "Or",
                                       "IfThen", "Counter",    "Stretch", "Quantize", "Initialize",
                                       "Tempo",  "Substitute", "Accrete"};
        const char* type = kInner[Pick(0, 12)];
        ProtoType* n = Put(at, type);
        Window(n, d);
        nodes_.push_back(n);
        const std::string t = type;
        if (t == "Every") {
            PutConstant(n->childOne, static_cast<float>(Pick(0, 6) * 150));
            Grow(n->childTwo, depth + 1, n->duration);
            return;
        }
        if (t == "Loop") static_cast<Loop*>(n)->loopPoint = Pick(0, 3000);
        if (t == "MetaWord") {
            auto* m = static_cast<MetaWord*>(n);
            m->sequential = Pick(0, 1) == 1;
            m->wordOneDuration = Pick(0, 3000);
            m->interimTime = Pick(0, 1000);
        }
        if (t == "Stretch") static_cast<Stretch*>(n)->factor = Pick(1, 30) / 10.0f;
        if (t == "Quantize") {
            static_cast<Quantize*>(n)->quanta = Pick(1, 200);
            static_cast<Quantize*>(n)->durations = Pick(0, 1) == 1;
        }
        if (t == "Tempo") {
            PutConstant(n->childOne, static_cast<float>(Pick(0, 400)));
            return;
        }
        if (n->childOne) Grow(n->childOne, depth + 1, n->duration);
        if (n->childTwo) Grow(n->childTwo, depth + 1, n->duration);
    }

    std::mt19937 rng_;
    std::vector<ProtoType*> nodes_;
    std::vector<Pointer*> pointers_;
};

TEST(BackgroundSolve, ChunksGiveTheFullSolveForRandomTrees) {
    int nonEmpty = 0;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        Root a, b;
        TreeBuilder(seed).Build(a);
        TreeBuilder(seed).Build(b);
        CEventTree full, chunked;
        TreeSolver sa(a, full), sb(b, chunked);
        SeedRandom(seed);
        sa.SolveAtOnce();
        SeedRandom(seed);
        sb.BeginSolve();
        int calls = 1;
        while (sb.Idle()) ++calls;
        EXPECT_EQ(calls, static_cast<int>((b.duration + 1999) / 2000) + (b.duration % 2000 ? 0 : 1))
            << seed;
        ASSERT_EQ(Flatten(full), Flatten(chunked)) << "seed " << seed;
        nonEmpty += full.GetCount() > 0;

        // The plain list solve holds the same events.
        Root c;
        TreeBuilder(seed).Build(c);
        CNoteEventList list;
        SeedRandom(seed);
        c.ResetCounters();
        c.SolveInto(list, 0);
        std::vector<std::string> x = Flatten(list), y = Flatten(full);
        std::sort(x.begin(), x.end());
        std::sort(y.begin(), y.end());
        ASSERT_EQ(x, y) << "seed " << seed;
    }
    EXPECT_GT(nonEmpty, 150);
}

TEST(BackgroundSolve, ANoteSpanningChunksIsSolvedOnce) {
    Root root; // 10 s
    Put(root.childOne, "MidiNote");
    CEventTree solution;
    TreeSolver s(root, solution);
    s.BeginSolve();
    int calls = 1;
    while (s.Idle()) ++calls;
    EXPECT_EQ(calls, 6); // five chunks, the sixth call runs out
    EXPECT_FALSE(s.IsSolving());
    EXPECT_EQ(Flatten(solution), std::vector<std::string>{"0:m90,60,70,0/50"});
}

TEST(BackgroundSolve, EventsPlacedBeyondAChunkSurviveTheNextChunk) {
    Root root;
    auto* stretch = Put<Stretch>(root.childOne, "Stretch");
    stretch->factor = 2.0f;
    auto* w = Put<Word>(stretch->childOne, "Word");
    w->events.AddCopyAt(EventMidi(0, 0x90, 64, 100, 10), 1500); // stretched to 3000
    CEventTree solution;
    TreeSolver s(root, solution);
    s.BeginSolve();
    while (s.Idle()) {
    }
    EXPECT_EQ(Flatten(solution), std::vector<std::string>{"3000:m90,64,100,0/10"});
}

TEST(BackgroundSolve, ToggleStopAndOptions) {
    Root root;
    Put(root.childOne, "MidiNote");
    CEventTree solution;
    TreeSolver s(root, solution);
    s.Solve();
    EXPECT_TRUE(s.IsSolving());
    s.Solve(); // pressed twice: stops
    EXPECT_FALSE(s.IsSolving());
    s.Solve();
    s.StopSolve();
    EXPECT_FALSE(s.IsSolving());
    EXPECT_FALSE(s.Idle());

    s.options.solvable = false;
    s.Solve();
    EXPECT_FALSE(s.IsSolving());
    EXPECT_EQ(s.SolveChunk(2000), 2000u);
    EXPECT_EQ(&s.GetEvents(true), &solution);
    EXPECT_EQ(solution.GetCount(), 0) << "not solvable: the stored solution is returned as is";
    s.options.solvable = true;
    s.GetEvents(false);
    EXPECT_EQ(solution.GetCount(), 0);
    s.GetEvents(true);
    EXPECT_EQ(solution.GetCount(), 1);
    s.ClearSolution();
    EXPECT_EQ(solution.GetCount(), 0);
}

// ---- re-solving a range -------------------------------------------------------------------

Root* EveryTree(Root& root, float period) {
    auto* every = Put<Every>(root.childOne, "Every");
    PutConstant(every->childOne, period);
    Put(every->childTwo, "MidiNote");
    return &root;
}

TEST(Resolve, ReplacesExactlyTheRange) {
    Root root;
    EveryTree(root, 500);
    CEventTree solution;
    TreeSolver s(root, solution);
    s.SolveAtOnce();
    ASSERT_EQ(solution.GetCount(), 20);
    std::vector<std::string> before = Flatten(solution);
    solution.AddCopyAt(EventValue(7.0f), 2500); // a stale event inside the range
    solution.AddCopyAt(EventValue(9.0f), 6000); // and one outside

    static_cast<MidiNote*>(root.childOne->childTwo)->pitch = 72;
    s.ResolveRange(2000, 2000);
    EXPECT_TRUE(s.IsSolving());
    while (s.Idle()) {
    }
    std::vector<std::string> after = Flatten(solution);
    ASSERT_EQ(after.size(), 21u);
    for (size_t i = 0; i < before.size(); ++i) {
        uint32_t t = static_cast<uint32_t>(std::stoul(before[i]));
        std::string want = before[i];
        if (t >= 2000 && t < 4000) want.replace(want.find(",60,"), 4, ",72,");
        EXPECT_NE(std::find(after.begin(), after.end(), want), after.end()) << want;
    }
    EXPECT_NE(std::find(after.begin(), after.end(), "6000:v9"), after.end());
    EXPECT_EQ(std::find(after.begin(), after.end(), "2500:v7"), after.end());
}

TEST(Resolve, InChunksEqualsOneSolveRange) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        Root a, b;
        TreeBuilder(seed).Build(a);
        TreeBuilder(seed).Build(b);
        CEventTree sa, sb;
        TreeSolver solverA(a, sa), solverB(b, sb);
        SeedRandom(seed);
        solverA.SolveAtOnce();
        SeedRandom(seed);
        solverB.SolveAtOnce();
        SeedRandom(seed + 1000);
        SolveRange(a, sa, 1500, 7300);
        SeedRandom(seed + 1000);
        solverB.ResolveRange(1500, 5800);
        while (solverB.Idle()) {
        }
        ASSERT_EQ(Flatten(sa), Flatten(sb)) << "seed " << seed;
    }
}

TEST(Resolve, ReSolvingToTheTreesEndLeavesNoCopyOfWhatSpillsPastIt) {
    // An arpeggio adds notes after its source: near the end they land past the Root's window.
    // A re-solve of the range up to the end must not keep the old ones beside the new ones.
    Root root;
    root.duration = 4000;
    auto* every = Put<Every>(root.childOne, "Every");
    every->AlignTimes(0);
    PutConstant(every->childOne, 500.0f);
    auto* arp = Put(every->childTwo, "Arpeggiate");
    Put(arp->childOne, "MidiNote");
    CEventTree solution;
    TreeSolver solver(root, solution);
    solver.SolveAtOnce();
    const auto once = Flatten(solution);
    ASSERT_FALSE(once.empty());
    for (int edit = 0; edit < 3; ++edit) {
        solver.ResolveRange(0, 4000);
        while (solver.Idle()) {
        }
        EXPECT_EQ(Flatten(solution), once) << "after re-solve " << edit + 1;
    }
}

TEST(Resolve, ARangeArrivingDuringASolveIsMerged) {
    Root a, b;
    EveryTree(a, 250);
    EveryTree(b, 250);
    CEventTree sa, sb;
    TreeSolver full(a, sa), background(b, sb);
    full.SolveAtOnce();
    background.BeginSolve();
    background.Idle();
    background.Idle(); // reached 4000
    background.ResolveRange(1000, 500);
    EXPECT_EQ(background.Position(), 1000u);
    EXPECT_EQ(background.Remaining(), 9000u) << "the rest of the first solve is kept";
    while (background.Idle()) {
    }
    EXPECT_EQ(Flatten(sa), Flatten(sb));

    background.BeginSolve();
    background.Idle(); // reached 2000
    background.ResolveRange(6000, 1000);
    while (background.Idle()) {
    }
    EXPECT_EQ(Flatten(sa), Flatten(sb));
}

class RecordingOwner : public TreeOwner {
public:
    void TreeTimeChanged(uint32_t start, uint32_t length) override {
        ranges.push_back({start, length});
    }
    void TreeChanged() override { ++changed; }
    CEventTree& TreeEvents(int) override { return events; }
    void SetPickMode(int mode, ProtoType* picker) override {
        pickMode = mode;
        pickNode = picker;
    }
    void DisplayTree() override {}

    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    int changed = 0;
    int pickMode = 0;
    ProtoType* pickNode = nullptr;
    CEventTree events;
};

TEST(ExchangeParams, ResolvesFromTheEarlierStartToTheLaterEnd) {
    Root root;
    RecordingOwner owner;
    root.owner = &owner;
    root.start = 100;
    auto* a = Put(root.childOne, "And");
    a->start = 400;
    auto* n = Put<MidiNote>(a->childOne, "MidiNote");
    n->start = 1000;
    n->duration = 2000;
    ParamDialog d;
    n->ExchangeParams(true, d);
    EXPECT_DOUBLE_EQ(d.startSeconds, 1.0);
    EXPECT_DOUBLE_EQ(d.durationSeconds, 2.0);
    EXPECT_EQ(d.name, "Midi Note");
    EXPECT_EQ(d.title, "FX_NOTE");
    ASSERT_EQ(d.fields.size(), 5u);
    d.startSeconds = 5.0; // moved later
    d.durationSeconds = 1.0;
    d.fields[2].number = 200; // pitch beyond its range is held to 127
    n->ExchangeParams(false, d);
    EXPECT_EQ(n->start, 5000u);
    EXPECT_EQ(n->duration, 1000u);
    EXPECT_EQ(n->pitch, 127.0f);
    ASSERT_EQ(owner.ranges.size(), 1u);
    EXPECT_EQ(owner.ranges[0], std::make_pair(1500u, 5000u)); // [1500, 6500)
    EXPECT_EQ(owner.changed, 0);

    d.startSeconds = 0.5; // moved earlier and longer
    d.durationSeconds = 10.0;
    d.name = "Lead";
    n->ExchangeParams(false, d);
    EXPECT_EQ(owner.ranges[1], std::make_pair(1000u, 10000u)); // [1000, 11000)
    EXPECT_EQ(n->name, "Lead");
    EXPECT_EQ(owner.changed, 1);
}

TEST(ExchangeParams, OkWithoutChangesKeepsEveryMillisecondOfTheWindowAndSecondsFields) {
    // The dialog shows thousandths of a second; seconds × 1000 of such a value can fall just
    // below the whole millisecond (1.001 × 1000 = 1000.9999999999999).
    Root root;
    auto* loop = Put<Loop>(root.childOne, "Loop");
    for (uint32_t ms : {1u, 7u, 35u, 1001u, 1005u, 4350u, 9999u, 123457u}) {
        loop->start = ms;
        loop->duration = ms + 1;
        ParamDialog d;
        loop->ExchangeParams(true, d);
        loop->ExchangeParams(false, d);
        EXPECT_EQ(loop->start, ms);
        EXPECT_EQ(loop->duration, ms + 1);
    }
    for (const ParamField& f : loop->GetParamTable()) {
        if (f.control != ParamControl::Seconds) continue;
        for (double ms : {1001.0, 1005.0, 4350.0}) {
            SetParamNumber(f, *loop, ms);
            ParamDialog d;
            loop->ExchangeParams(true, d);
            loop->ExchangeParams(false, d);
            EXPECT_EQ(GetParamNumber(f, *loop), ms) << f.key;
        }
    }
}

// ---- live input -------------------------------------------------------------------------

class RecordingOutput : public LiveOutput {
public:
    void QuickOut(CNoteEventList& events) override { sent.push_back(Flatten(events)); }
    std::vector<std::vector<std::string>> sent;
};

TEST(PlayInput, NotesAreSentWithTheirNoteOffs) {
    Root root;
    auto* n = Put<MidiNote>(root.childOne, "MidiNote");
    n->noteDuration = 500;
    CEventTree solution;
    TreeSolver s(root, solution);
    RecordingOutput out;
    EventMidi in(1000, 0x90, 64, 100);
    s.PlayInputEvent(in, out);
    ASSERT_EQ(out.sent.size(), 1u);
    EXPECT_EQ(out.sent[0], (std::vector<std::string>{"0:m90,60,70,0/500", "500:m80,60,0,0/0"}));
    EventMidi control(1000, 0xB0, 7, 100);
    s.PlayInputEvent(control, out);
    EXPECT_EQ(out.sent.size(), 1u);
}

} // namespace
