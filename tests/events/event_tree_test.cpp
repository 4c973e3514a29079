#include "events/event_tree.h"

#include "events/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

static_assert(sizeof(void*) != 8 || sizeof(EventMidi) + sizeof(EventTreeNode) <= 64,
              "a stored MIDI event must cost at most 64 bytes");

namespace {

// Events carry a 24-bit id in their three data bytes so they can be recognised after a reload.
EventMidi* Ev(uint32_t t, uint32_t id = 0, uint32_t dur = 0) {
    return new EventMidi(t, 0xB0, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), dur,
                         static_cast<uint8_t>(id >> 16));
}
uint32_t IdOf(const SongEvent* e) {
    const auto* m = static_cast<const EventMidi*>(e);
    return m->data1 | (m->data2 << 8) | (static_cast<uint32_t>(m->data3) << 16);
}

std::vector<uint32_t> Times(CEventTree& tree) {
    std::vector<uint32_t> out;
    for (SongEvent* e = tree.First(); e; e = tree.Next()) out.push_back(tree.CurrentTime());
    return out;
}

std::vector<uint8_t> Store(CEventTree& tree) {
    CArchive ar;
    tree.Serialize(ar);
    return ar.Buffer();
}

// The model: (time, id, duration) in store order.
struct Item {
    uint32_t time;
    uint32_t id;
    uint32_t dur;
};

class Differential {
public:
    std::mt19937 rng{12345};
    CEventTree tree;
    std::vector<Item> model;
    int cursor = -1; // index into model, -1 on the head node
    uint32_t lastOp = 0;
    std::map<uint32_t, SongEvent*> byId;
    uint32_t nextId = 1;

    uint32_t Rand(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
    uint32_t RandTime() { return Rand(4) == 0 ? Rand(8) * 100 : Rand(20000); }

    size_t UpperBound(uint32_t t) const {
        return std::upper_bound(model.begin(), model.end(), t,
                                [](uint32_t v, const Item& i) { return v < i.time; }) -
               model.begin();
    }
    size_t LowerBound(uint32_t t) const {
        return std::lower_bound(model.begin(), model.end(), t,
                                [](const Item& i, uint32_t v) { return i.time < v; }) -
               model.begin();
    }
    void ModelInsert(Item item) {
        const size_t at = UpperBound(item.time);
        model.insert(model.begin() + at, item);
        if (static_cast<int>(at) <= cursor) ++cursor;
    }
    void ModelErase(size_t at) {
        model.erase(model.begin() + at);
        if (static_cast<int>(at) <= cursor) --cursor;
    }
    size_t IndexOf(uint32_t id) const {
        for (size_t i = 0; i < model.size(); ++i)
            if (model[i].id == id) return i;
        return model.size();
    }
    void Reindex() {
        byId.clear();
        tree.Restart();
        for (SongEvent* e = tree.First(); e; e = tree.Next()) byId[IdOf(e)] = e;
        tree.Restart();
        for (int k = 0; k <= cursor; ++k) tree.Next();
    }

    void Check(int step) {
        ASSERT_EQ(tree.GetCount(), static_cast<int32_t>(model.size()))
            << "step " << step << " op " << lastOp;
        if (cursor < 0) {
            ASSERT_EQ(tree.CurrentEvent(), nullptr) << "step " << step << " op " << lastOp;
            ASSERT_EQ(tree.CurrentTime(), 0u);
        } else {
            ASSERT_NE(tree.CurrentEvent(), nullptr) << "step " << step << " op " << lastOp;
            ASSERT_EQ(IdOf(tree.CurrentEvent()), model[cursor].id)
                << "step " << step << " op " << lastOp;
            ASSERT_EQ(tree.CurrentTime(), model[cursor].time)
                << "step " << step << " op " << lastOp;
        }
        const uint32_t peek = tree.PeekNextTime();
        if (cursor + 1 < static_cast<int>(model.size())) {
            ASSERT_EQ(peek, model[cursor + 1].time) << "step " << step << " op " << lastOp;
        } else {
            ASSERT_EQ(peek, kNoTime + tree.CurrentTime()) << "step " << step << " op " << lastOp;
        }
        if (step % 7 != 0) return;
        // Links, `next` mirrors, heap order and node counts, then a full comparison forwards
        // and backwards; the cursor goes back where it was.
        ASSERT_TRUE(tree.CheckStructure()) << "step " << step << " op " << lastOp;
        size_t i = 0;
        for (SongEvent* e = tree.First(); e; e = tree.Next(), ++i) {
            ASSERT_LT(i, model.size());
            ASSERT_EQ(tree.CurrentTime(), model[i].time) << "step " << step << " index " << i;
            // The cursor brings a time field left stale by a shift or scale up to date.
            ASSERT_EQ(e->time, model[i].time) << "step " << step << " index " << i;
            ASSERT_EQ(IdOf(e), model[i].id) << "step " << step << " index " << i;
            ASSERT_EQ(e->GetDuration(), model[i].dur) << "step " << step << " index " << i;
        }
        ASSERT_EQ(i, model.size());
        size_t back = model.size();
        for (SongEvent* e = tree.Last(); e; e = tree.StepBack()) {
            ASSERT_GT(back, 0u);
            --back;
            ASSERT_EQ(IdOf(e), model[back].id);
        }
        ASSERT_EQ(back, 0u);
        tree.Restart();
        for (int k = 0; k <= cursor; ++k) tree.Next();
    }

    void Step(int step) {
        const uint32_t op = Rand(100);
        lastOp = op;
        if (op < 30) { // add
            const uint32_t t = RandTime();
            const uint32_t id = nextId++;
            const uint32_t dur = Rand(500);
            SongEvent* e = Ev(t, id, dur);
            if (op < 20) {
                tree.Add(e);
                byId[id] = e;
            } else {
                ASSERT_EQ(tree.AddCopyAt(*e, t), 1);
                delete e;
            }
            ModelInsert({t, id, dur});
            if (op >= 20) Reindex();
        } else if (op < 40 && !model.empty()) { // remove or unlink
            const size_t at = Rand(static_cast<uint32_t>(model.size()));
            SongEvent* e = byId[model[at].id];
            if (op < 35) {
                ASSERT_EQ(tree.Remove(e), 1);
            } else {
                ASSERT_EQ(tree.Unlink(e), 1);
                ASSERT_EQ(e->next, nullptr);
                ASSERT_EQ(e->time, model[at].time);
                ASSERT_EQ(tree.Unlink(e), 0); // no longer stored
                delete e;
            }
            byId.erase(model[at].id);
            ModelErase(at);
        } else if (op < 50 && !model.empty()) { // move
            const size_t at = Rand(static_cast<uint32_t>(model.size()));
            Item item = model[at];
            const uint32_t t = RandTime();
            ASSERT_EQ(tree.Move(byId[item.id], t), 1);
            ModelErase(at);
            item.time = t;
            ModelInsert(item);
        } else if (op < 60) { // seek and step
            const uint32_t t = RandTime();
            tree.Seek(t);
            cursor = static_cast<int>(LowerBound(t)) - 1;
            if (cursor >= 0) {
                ASSERT_EQ(tree.CurrentEvent()->time, model[cursor].time) << "step " << step;
            }
            if (Rand(2)) {
                SongEvent* e = tree.Next();
                if (cursor + 1 < static_cast<int>(model.size())) {
                    ++cursor;
                    ASSERT_NE(e, nullptr);
                } else {
                    ASSERT_EQ(e, nullptr);
                }
            } else {
                tree.StepBack();
                if (cursor >= 0) --cursor;
            }
        } else if (op < 66) { // open a gap
            const uint32_t len = Rand(3000);
            const uint32_t at = RandTime();
            tree.OpenGap(len, at);
            for (Item& i : model)
                if (i.time >= at) i.time += len;
        } else if (op < 72) { // close a gap
            const uint32_t len = Rand(400);
            const uint32_t at = RandTime();
            tree.CloseGap(len, at);
            cursor = -1;
            std::vector<Item> kept;
            for (Item i : model) {
                if (i.time >= at && i.time < at + len) {
                    byId.erase(i.id);
                    continue;
                }
                if (i.time >= at + len) i.time -= len;
                kept.push_back(i);
            }
            model = kept;
        } else if (op < 75) { // remove a range
            const uint32_t from = RandTime();
            const uint32_t to = from + Rand(300);
            // The cursor rule: on a destroyed event it moves to the last one kept before it.
            const size_t lo = LowerBound(from);
            const size_t hi = LowerBound(to);
            tree.RemoveRange(from, to);
            for (size_t k = lo; k < hi; ++k) byId.erase(model[k].id);
            model.erase(model.begin() + lo, model.begin() + hi);
            if (cursor >= static_cast<int>(hi)) {
                cursor -= static_cast<int>(hi - lo);
            } else if (cursor >= static_cast<int>(lo)) {
                cursor = static_cast<int>(lo) - 1;
            }
        } else if (op < 78) { // scale
            const double factors[] = {0.5, 0.8, 1.0, 1.25, 2.0, 0.3, 3.3};
            const double factor = factors[Rand(7)];
            const bool times = Rand(2);
            const bool durs = Rand(2);
            tree.Scale(factor, times, durs);
            for (Item& i : model) {
                if (times) i.time = static_cast<uint32_t>(i.time * factor);
                if (durs) i.dur = static_cast<uint32_t>(i.dur * factor);
            }
        } else if (op < 80) { // rescale
            const uint32_t b = 1 + Rand(1000);
            const uint32_t c = Rand(2) ? b / 2 + Rand(b) : 1 + Rand(2 * b);
            tree.Rescale(b, c);
            auto f = [&](uint32_t t) {
                return static_cast<uint32_t>(uint64_t{c} * (t / b) + uint64_t{t % b} * c / b);
            };
            for (Item& i : model) {
                i.time = f(i.time);
                i.dur = f(i.dur);
            }
        } else if (op < 83) {
            tree.Balance(); // moves every node to a new pool; the cursor stays on its event
            ASSERT_TRUE(tree.CheckStructure()) << "step " << step;
            const double n = std::max<double>(1.0, static_cast<double>(model.size()));
            ASSERT_LE(tree.Height(), std::ceil(std::log2(n + 1))) << "step " << step;
        } else if (op < 86) { // store and read back
            const std::vector<uint8_t> bytes = Store(tree);
            CArchive in(bytes);
            tree.Serialize(in);
            ASSERT_FALSE(in.Failed());
            ASSERT_TRUE(in.AtEnd());
            cursor = -1;
            Reindex();
        } else if (op < 90 && cursor == static_cast<int>(model.size()) - 1) { // record
            MidiEvent m;
            const uint32_t id = nextId++;
            m.status = 0xB0;
            m.data1 = static_cast<uint8_t>(id);
            m.data2 = static_cast<uint8_t>(id >> 8);
            m.data3 = static_cast<uint8_t>(id >> 16);
            const uint32_t base = model.empty() ? 0 : model.back().time;
            const uint32_t t = base + Rand(50);
            tree.AppendMidiInput(m, t);
            model.push_back({t, id, 0});
            cursor = static_cast<int>(model.size()) - 1;
            byId[id] = tree.CurrentEvent();
        } else {
            tree.First();
            cursor = model.empty() ? -1 : 0;
        }
        Check(step);
    }
};

} // namespace

TEST(EventTree, MatchesSortedModelOverRandomEdits) {
    Differential d;
    for (int step = 0; step < 30000; ++step) {
        d.Step(step);
        if (::testing::Test::HasFatalFailure()) return;
        // Stay within a size where the model's full comparisons are cheap.
        if (d.model.size() > 600) {
            d.tree.CloseGap(10000, 0);
            d.model.erase(d.model.begin(), d.model.begin() + d.LowerBound(10000));
            for (Item& i : d.model) i.time -= 10000;
            d.cursor = -1;
            d.Reindex();
        }
        if (!d.model.empty() && d.model.back().time > 50000000) {
            d.tree.Clear();
            d.model.clear();
            d.cursor = -1;
        }
        if (d.model.empty()) {
            d.byId.clear();
            if (d.tree.GetCount() != 0) FAIL() << "store not empty";
        } else if (step % 50 == 0) {
            d.Reindex();
        }
        // Heights stay logarithmic (a random tree's largest depth is about 3·log2 n).
        const double n = std::max<double>(2.0, d.tree.GetCount());
        ASSERT_LE(d.tree.Height(), 3 * std::log2(n) + 4) << "step " << step;
    }
}

TEST(EventTree, EqualTimesKeepInsertionOrderThroughBalanceAndStorage) {
    CEventTree tree;
    tree.Add(Ev(100, 1));
    tree.Add(Ev(100, 2));
    tree.Add(Ev(50, 3));
    for (int i = 0; i < 20; ++i) tree.Add(Ev(100, 10 + i));
    auto ids = [&] {
        std::vector<uint32_t> out;
        for (SongEvent* e = tree.First(); e; e = tree.Next()) out.push_back(IdOf(e));
        return out;
    };
    std::vector<uint32_t> expect{3, 1, 2};
    for (int i = 0; i < 20; ++i) expect.push_back(10 + i);
    EXPECT_EQ(ids(), expect);
    tree.Balance();
    EXPECT_EQ(ids(), expect);
    // After balancing, equal times sit on both sides of a node; each can still be found.
    tree.First();
    SongEvent* second = tree.Next();
    ASSERT_EQ(tree.Remove(second), 1);
    expect.erase(expect.begin() + 1);
    EXPECT_EQ(ids(), expect);
    CArchive in(Store(tree));
    CEventTree copy;
    copy.Serialize(in);
    std::vector<uint32_t> copied;
    for (SongEvent* e = copy.First(); e; e = copy.Next()) copied.push_back(IdOf(e));
    EXPECT_EQ(copied, expect);
}

TEST(EventTree, SeekAndCursorEnds) {
    CEventTree tree;
    EXPECT_EQ(tree.First(), nullptr);
    EXPECT_EQ(tree.Last(), nullptr);
    EXPECT_EQ(tree.PeekNextTime(), kNoTime);
    for (uint32_t t : {50u, 100u, 150u}) tree.Add(Ev(t));
    tree.Seek(100);
    EXPECT_EQ(tree.CurrentTime(), 50u);
    ASSERT_NE(tree.Next(), nullptr);
    EXPECT_EQ(tree.CurrentTime(), 100u);
    tree.Seek(0);
    EXPECT_EQ(tree.CurrentEvent(), nullptr);
    EXPECT_EQ(tree.PeekNextTime(), 50u);
    tree.Last();
    EXPECT_EQ(tree.Next(), nullptr); // stays on the last event
    EXPECT_EQ(tree.CurrentTime(), 150u);
    EXPECT_EQ(tree.PeekNextTime(), kNoTime + 150u);
    // Removing the cursor's event moves it to the predecessor.
    SongEvent* last = tree.CurrentEvent();
    EXPECT_EQ(tree.Remove(last), 1);
    EXPECT_EQ(tree.CurrentTime(), 100u);
    EventMidi stranger(100, 0x90, 60, 100);
    EXPECT_EQ(tree.Remove(&stranger), 0);
    EXPECT_EQ(tree.Move(&stranger, 5), 0);
    EXPECT_EQ(tree.GetCount(), 2);
}

TEST(EventTree, GapsShiftOnlyLaterEvents) {
    CEventTree tree;
    for (uint32_t t : {50u, 100u, 150u}) tree.Add(Ev(t));
    tree.OpenGap(1000, 100);
    EXPECT_EQ(Times(tree), (std::vector<uint32_t>{50, 1100, 1150}));
    tree.CloseGap(1000, 100);
    EXPECT_EQ(Times(tree), (std::vector<uint32_t>{50, 100, 150}));

    CEventTree other;
    for (uint32_t t : {10u, 60u, 90u}) other.Add(Ev(t));
    other.CloseGap(30, 50);
    EXPECT_EQ(Times(other), (std::vector<uint32_t>{10, 60}));

    // A gap may not carry the last event past the largest time.
    CEventTree high;
    high.Add(Ev(10));
    high.Add(Ev(0xFFFFFF00u));
    high.OpenGap(0x1000, 5);
    EXPECT_EQ(Times(high), (std::vector<uint32_t>{0xFF + 10, 0xFFFFFFFFu}));
    // Closing a gap that runs to the end of time destroys everything from `at` on.
    high.CloseGap(0xFFFFFFFFu, 300);
    EXPECT_EQ(Times(high), (std::vector<uint32_t>{0xFF + 10}));
    // Far-apart times (beyond the signed delta range) still order correctly.
    high.Add(Ev(0xF0000000u));
    high.Add(Ev(1));
    high.Balance();
    EXPECT_EQ(Times(high), (std::vector<uint32_t>{1, 0xFF + 10, 0xF0000000u}));
}

TEST(EventTree, BalanceOfSevenChainHasHeightThree) {
    CEventTree tree;
    std::vector<uint32_t> times;
    for (uint32_t i = 0; i < 7; ++i) times.push_back(i * 10);
    // A chain read from a file (the reader balances it; Balance again must keep it).
    CArchive ar;
    ar.WriteU16(1);
    ar.WriteU32(7);
    ar.WriteU32(0);
    ar.WriteU8(1);
    for (uint32_t t : times) {
        EventMidi e(t, 0x90, 60, 100);
        e.Serialize(ar);
    }
    CArchive in(ar.Buffer());
    tree.Serialize(in);
    ASSERT_FALSE(in.Failed());
    EXPECT_EQ(tree.Height(), 3);
    tree.Balance();
    EXPECT_EQ(tree.Height(), 3);
    EXPECT_EQ(Times(tree), times);
}

TEST(EventTree, ScaleKeepsOrderAndDoesNotDrift) {
    CEventTree tree;
    for (uint32_t i = 0; i < 1000; ++i) tree.Add(Ev(i * 3, i, 7));
    tree.Scale(0.5, true, true);
    std::vector<uint32_t> t = Times(tree);
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(t[i], i * 3 / 2);
    EXPECT_EQ(tree.First()->GetDuration(), 3u);
    tree.Scale(-1.0, true, true); // refused
    tree.Scale(std::nan(""), true, true);
    EXPECT_EQ(Times(tree), t);
    tree.Rescale(0, 480); // refused, no division by zero
    EXPECT_EQ(Times(tree), t);
    tree.Rescale(1000, 480);
    EXPECT_EQ(Times(tree).back(), 1498u * 480 / 1000);
}

TEST(EventTree, PairNoteOffsGivesDurationsAndDropsMatchedOffs) {
    CEventTree tree;
    tree.Add(new EventMidi(0, 0x90, 60, 100));
    tree.Add(new EventMidi(10, 0x90, 62, 100));
    tree.Add(new EventMidi(20, 0xB0, 60, 5)); // a controller numbered like the key
    tree.Add(new EventMidi(30, 0x80, 64, 0)); // unmatched note-off: kept
    tree.Add(new EventMidi(480, 0x80, 60, 0));
    tree.Add(new EventMidi(500, 0x91, 62, 90)); // other channel
    tree.Add(new EventMidi(600, 0x81, 62, 0));
    tree.Add(new EventMidi(700, 0x90, 65, 90)); // on and off at once: the off stays
    tree.Add(new EventMidi(700, 0x90, 65, 0));
    tree.PairNoteOffs();
    std::vector<std::pair<uint32_t, uint32_t>> got; // time, duration
    std::vector<int> offs;
    for (SongEvent* e = tree.First(); e; e = tree.Next()) {
        got.emplace_back(tree.CurrentTime(), e->GetDuration());
        offs.push_back(e->IsNoteOff());
    }
    std::vector<std::pair<uint32_t, uint32_t>> expect{{0, 480},   {10, 0},  {20, 0}, {30, 0},
                                                      {500, 100}, {700, 0}, {700, 0}};
    EXPECT_EQ(got, expect);
    EXPECT_EQ(offs, (std::vector<int>{0, 0, 0, 1, 0, 0, 1}));
}

TEST(EventTree, CloseNoteAndFindOverlap) {
    CEventTree tree;
    tree.Add(new EventMidi(0, 0x90, 60, 100));
    tree.Add(new EventMidi(100, 0x91, 60, 100));
    tree.Add(new EventMidi(200, 0xB0, 60, 1));
    tree.Last();
    EventMidi off(3000, 0x80, 60, 0);
    tree.CloseNote(off, 3000); // skips the channel-2 note and the controller
    EXPECT_EQ(tree.CurrentTime(), 200u);
    tree.First();
    EXPECT_EQ(tree.CurrentEvent()->GetDuration(), 3000u);
    SongEvent* first = tree.CurrentEvent();
    // The note from 0 to 3000 is not seen from 2500: the search starts 2000 earlier.
    EXPECT_EQ(tree.FindOverlap(2500, 2600, 60, nullptr), 0);
    EXPECT_EQ(tree.FindOverlap(1500, 2600, 60, nullptr), 1);
    EXPECT_EQ(tree.FindOverlap(1500, 2600, 60, first), 0);
    // Near time 0 the search starts at 0 rather than wrapping around.
    EXPECT_EQ(tree.FindOverlap(100, 150, 60, nullptr), 1);
    EXPECT_EQ(tree.CurrentEvent(), first); // the cursor stays
    EXPECT_EQ(tree.GetLength(1), 200);
}

TEST(EventTree, ReadingRepairsDescendingTimesAndFailsCleanly) {
    CArchive ar;
    ar.WriteU16(1);
    ar.WriteU32(5);
    ar.WriteU32(777);
    ar.WriteU8(1);
    const uint32_t times[] = {100, 300, 200, 200, 50};
    uint32_t id = 1;
    for (uint32_t t : times) {
        EventMidi e(t, 0xB0, static_cast<uint8_t>(id++), 0);
        e.Serialize(ar);
    }
    const std::vector<uint8_t> bytes = ar.Buffer();
    CEventTree tree;
    CArchive in(bytes);
    tree.Serialize(in);
    ASSERT_FALSE(in.Failed());
    std::vector<uint32_t> ids;
    for (SongEvent* e = tree.First(); e; e = tree.Next()) ids.push_back(IdOf(e));
    EXPECT_EQ(Times(tree), (std::vector<uint32_t>{50, 100, 200, 200, 300}));
    EXPECT_EQ(ids, (std::vector<uint32_t>{5, 1, 3, 4, 2}));
    EXPECT_EQ(tree.GetLength(0), 777);

    // Every truncation fails and leaves the store as it was.
    for (size_t n = 0; n < bytes.size(); ++n) {
        CArchive cut(bytes.data(), n);
        tree.Serialize(cut);
        EXPECT_TRUE(cut.Failed()) << n;
        EXPECT_EQ(tree.GetCount(), 5) << n;
    }
    // A huge stored count over a few bytes fails without reserving anything.
    CArchive huge;
    huge.WriteU16(1);
    huge.WriteU32(0x7FFFFFFF);
    huge.WriteU32(0);
    huge.WriteU8(1);
    CArchive hin(huge.Buffer());
    tree.Serialize(hin);
    EXPECT_TRUE(hin.Failed());
    // Wrong version or marker.
    std::vector<uint8_t> bad = bytes;
    bad[0] = 2;
    CArchive bin(bad);
    tree.Serialize(bin);
    EXPECT_TRUE(bin.Failed());
    EXPECT_EQ(Times(tree), (std::vector<uint32_t>{50, 100, 200, 200, 300}));
}

TEST(EventTree, MillionEventChainNeedsNoDeepStack) {
    constexpr uint32_t kCount = 1000000;
    CArchive ar;
    ar.WriteU16(1);
    ar.WriteU32(kCount);
    ar.WriteU32(0);
    ar.WriteU8(1);
    for (uint32_t i = 0; i < kCount; ++i) {
        EventMidi e(i, 0x90, 60, 100, 1);
        e.Serialize(ar);
    }
    CEventTree tree;
    {
        // Cut short at the end: the chain read so far is destroyed, the store stays empty.
        CArchive cut(ar.Buffer().data(), ar.Buffer().size() - 1);
        tree.Serialize(cut);
        ASSERT_TRUE(cut.Failed());
        ASSERT_EQ(tree.GetCount(), 0);
    }
    CArchive in(ar.Buffer());
    tree.Serialize(in); // read as a chain, then balanced
    ASSERT_FALSE(in.Failed());
    ASSERT_EQ(tree.GetCount(), static_cast<int32_t>(kCount));
    EXPECT_LE(tree.Height(), 21);
    // Appending in time order (the recording path) stays shallow.
    tree.Last();
    MidiEvent m;
    m.status = 0x90;
    for (uint32_t i = 0; i < 100000; ++i) tree.AppendMidiInput(m, kCount + i);
    EXPECT_LE(tree.Height(), 3 * 21);
    tree.OpenGap(10, 500000);
    tree.Scale(2.0, true, true);
    tree.Rescale(2, 1);
    tree.Seek(500000);
    EXPECT_EQ(tree.PeekNextTime(), 500010u);
    EXPECT_EQ(Store(tree).size(), 11u + 13u * (kCount + 100000));
    tree.Balance();
    tree.Clear();
    EXPECT_EQ(tree.GetCount(), 0);
    EXPECT_EQ(tree.First(), nullptr);
}

TEST(EventTree, CursorAndLinksSurviveThePoolGrowing) {
    // Random times in a store that starts small: the pool grows (and moves) many times while
    // the cursor sits on one event and recording appends behind the last one.
    std::mt19937 rng(7);
    CEventTree tree;
    std::vector<uint32_t> times;
    tree.Add(Ev(500000, 1));
    times.push_back(500000);
    tree.Seek(500001);
    SongEvent* held = tree.CurrentEvent();
    ASSERT_NE(held, nullptr);
    for (uint32_t i = 0; i < 5000; ++i) {
        const uint32_t t = rng() % 1000000;
        tree.Add(Ev(t, 2 + i));
        times.push_back(t);
    }
    EXPECT_EQ(tree.CurrentEvent(), held);
    EXPECT_EQ(tree.CurrentTime(), 500000u);
    ASSERT_TRUE(tree.CheckStructure());
    tree.Last();
    MidiEvent m;
    m.status = 0x90;
    const uint32_t end = *std::max_element(times.begin(), times.end());
    for (uint32_t i = 0; i < 5000; ++i) {
        tree.AppendMidiInput(m, end + i);
        times.push_back(end + i);
        ASSERT_EQ(tree.CurrentTime(), end + i);
    }
    ASSERT_TRUE(tree.CheckStructure());
    std::sort(times.begin(), times.end());
    EXPECT_EQ(Times(tree), times);
    // Every event is still found through its links after the moves.
    tree.First();
    SongEvent* first = tree.CurrentEvent();
    EXPECT_EQ(tree.Remove(first), 1);
    EXPECT_EQ(tree.Remove(held), 1);
    EXPECT_EQ(tree.GetCount(), 9999);
    ASSERT_TRUE(tree.CheckStructure());
}

TEST(EventTree, AppenderBuildsBalancedTreeOverReusedPool) {
    // A store emptied by removals (its pool full of free nodes) is filled again through an
    // appender: the balanced tree is linked in place from the chain, late events by time.
    CEventTree tree;
    std::vector<SongEvent*> old;
    for (uint32_t i = 0; i < 300; ++i) {
        old.push_back(Ev(i * 7, 9000 + i));
        tree.Add(old.back());
    }
    for (size_t i = 0; i < old.size(); i += 2) ASSERT_EQ(tree.Remove(old[i]), 1);
    for (size_t i = 1; i < old.size(); i += 2) ASSERT_EQ(tree.Remove(old[i]), 1);
    ASSERT_EQ(tree.GetCount(), 0);
    std::vector<std::pair<uint32_t, uint32_t>> expect; // time, id
    {
        CEventTree::Appender app(tree);
        for (uint32_t i = 0; i < 1000; ++i) {
            // Every tenth event goes back in time (a damaged file); some share times.
            const uint32_t t = i % 10 == 9 ? (i * 5) / 3 : i * 5 - i % 2;
            app.Append(Ev(t, 1 + i));
            expect.emplace_back(t, 1 + i);
        }
    }
    std::stable_sort(expect.begin(), expect.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (SongEvent* e = tree.First(); e; e = tree.Next()) {
        got.emplace_back(tree.CurrentTime(), IdOf(e));
        ASSERT_EQ(e->time, tree.CurrentTime());
    }
    EXPECT_EQ(got, expect);
    EXPECT_TRUE(tree.CheckStructure());
    EXPECT_LE(tree.Height(), 2 * 10 + 2);
    // Appending to a store that holds events stores each one by time.
    {
        CEventTree::Appender app(tree);
        app.Append(Ev(3, 5000));
        app.Append(Ev(1, 5001));
    }
    EXPECT_EQ(Times(tree)[0], 0u);
    EXPECT_EQ(Times(tree)[1], 1u);
    EXPECT_EQ(tree.GetCount(), 1002);
    EXPECT_TRUE(tree.CheckStructure());
}

TEST(EventTree, OwnEventsAreReleasedWithTheStore) {
    // Destroying a store with every kind of event it can hold leaves nothing behind (ASan).
    CEventTree tree;
    tree.Add(new EventValue(1.5f, 10));
    tree.Add(Ev(5));
    EventValue v(2.0f, 0);
    EXPECT_EQ(tree.AddCopy(v), 1);
    tree.AddAt(v, 40);
    EXPECT_EQ(tree.Reserved7() + tree.Reserved8(), 0);
    tree.Reserved6(nullptr);
    EXPECT_EQ(Times(tree), (std::vector<uint32_t>{0, 5, 10, 40}));
}
