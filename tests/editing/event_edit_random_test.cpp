// Long random sequences of event edits on event lists and MIDI documents (read from a file, so
// their events come from the loader's slabs), with undos and new edits in between: undoing every
// step gives back the stored bytes of each earlier state down to the original, redoing every step
// gives back the edited ones, and the stores stay well formed throughout.
#include "editing/event_clipboard.h"
#include "editing/event_editor.h"
#include "platform/user_messages.h"
#include "tests/common/test_util.h"
#include "tests/editing/event_helpers.h"
#include "tree/random.h"

#include <gtest/gtest.h>

#include <random>

using namespace editing;
using namespace edittest;

namespace {

class RandomEdits {
public:
    RandomEdits(CChanDoc& doc, uint32_t seed) : doc_(doc), ed_(doc), rng_(seed) {
        SeedRandom(seed);
        ed_.SetSilenceSource([this] { return silent_; });
    }

    int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Rand(1, 100) <= percent; }
    uint32_t Time() {
        return uint32_t(Rand(0, 60)) * 50 + (Chance(30) ? uint32_t(Rand(0, 49)) : 0);
    }
    int Channel() { return Rand(1, doc_.GetChannelCount()); }

    // The event at a random position of a channel, if it has any.
    std::optional<EventRef> AnyEvent() {
        const int ch = Channel();
        CEventTree& tree = *doc_.GetChannelEvents(ch);
        if (tree.GetCount() == 0) return std::nullopt;
        auto [e, t] = At(tree, size_t(Rand(0, tree.GetCount() - 1)));
        return EventRef{ch, e, t};
    }

    // One random operation; true when it made a step.
    bool Step() {
        switch (Rand(0, 20)) {
        case 0:
            ed_.ToggleRangeMode();
            return false;
        case 1: {
            if (!ed_.RangeMode()) ed_.ToggleRangeMode();
            const uint32_t a = Time();
            ed_.SetRange(a, a + uint32_t(Rand(0, 1500)));
            return false;
        }
        case 2:
        case 3:
            if (auto r = AnyEvent())
                ed_.Click(r->channel, r->event, r->time, SelectMode(Rand(0, 2)));
            return false;
        case 4:
            ed_.SelectRect(Time(), Time(), Rand(30, 70), Rand(50, 90), SelectMode(Rand(0, 2)));
            return false;
        case 5:
            ed_.Copy();
            return false;
        case 6:
            return ed_.Cut();
        case 7:
            silent_ = Chance(50);
            return ed_.Delete();
        case 8:
            ed_.SetInsertionPoint(Time());
            return ed_.Paste();
        case 9: {
            QuantizeSettings q;
            q.divisor = Rand(1, 16);
            q.strength = Rand(0, 100);
            q.randomStrength = Chance(20);
            q.randomMode = Chance(30);
            q.onsets = Chance(80);
            q.durations = Chance(40);
            return ed_.Quantize(q);
        }
        case 10: {
            if (!ed_.HasRange()) return false;
            StretchSettings st;
            st.factor = Rand(25, 300) / 100.0;
            st.byLength = Chance(30);
            st.newLength = uint32_t(Rand(1, 3000));
            st.onsets = Chance(85);
            st.durations = Chance(60);
            return ed_.Stretch(st);
        }
        case 11:
            return ed_.MoveSelection(Rand(-700, 700), Rand(-5, 5));
        case 12:
            return ed_.ResizeSelection(Rand(-200, 200));
        case 13:
            return ed_.InsertNote(Channel(), Time(), Rand(30, 90), uint32_t(Rand(1, 400)),
                                  Rand(1, 127), Rand(0, 15));
        case 14: {
            auto r = AnyEvent();
            if (!r) return false;
            EventChange c;
            switch (Rand(0, 4)) {
            case 0:
                c.time = Time();
                break;
            case 1:
                c.duration = uint32_t(Rand(0, 600));
                break;
            case 2:
                c.data1 = Rand(0, 127);
                break;
            case 3:
                c.channel = Rand(0, 15);
                break;
            default:
                c.data2 = Rand(1, 127);
                break;
            }
            return ed_.EditEvent(*r, c);
        }
        case 15:
            return doc_.GetChannelCount() > 1 && ed_.MoveToTrack(Channel());
        case 16:
            return Chance(15) && ed_.RemoveTempoChanges();
        case 17: {
            if (!Chance(15)) return false;
            const uint32_t units[] = {96, 480, 960, 1000};
            return ed_.ChangeUnitsPerBeat(units[Rand(0, 3)]);
        }
        case 18: {
            auto r = AnyEvent();
            if (!r || !r->event->IsMidi() || r->event->GetMessageBytes()[0] != 0xF0 ||
                r->event->GetData1() != 0xF0)
                return false;
            std::vector<uint8_t> bytes(size_t(Rand(0, 4)));
            for (uint8_t& b : bytes) b = uint8_t(Rand(0, 127));
            return ed_.SetSysexBytes(*r, bytes);
        }
        case 19:
            ed_.SelectWholeTrack();
            return false;
        default:
            if (!ed_.RangeMode()) ed_.ToggleRangeMode();
            ed_.SetRange(Time(), Time());
            return Chance(50) ? ed_.Cut() : ed_.Delete();
        }
    }

    bool WellFormed() {
        for (int ch = 1; ch <= doc_.GetChannelCount(); ++ch)
            if (!doc_.GetChannelEvents(ch)->CheckStructure()) return false;
        return true;
    }

    // Runs the edits with undos between them, then undoes and redoes everything.
    void Run(int steps) {
        std::vector<std::vector<uint8_t>> states{StoredBytes(doc_)};
        size_t at = 0;
        int made = 0;
        for (int i = 0; made < steps && i < steps * 20; ++i) {
            if (at > 0 && Chance(8)) {
                const int back = Rand(1, 3);
                for (int k = 0; k < back && at > 0; ++k) {
                    ASSERT_TRUE(doc_.History().Undo()) << "undo at step " << at;
                    --at;
                    ASSERT_EQ(StoredBytes(doc_), states[at]) << "undone to step " << at;
                }
                continue;
            }
            const size_t count = doc_.History().Count();
            const std::vector<uint8_t> before = StoredBytes(doc_);
            if (!Step()) {
                ASSERT_EQ(doc_.History().Count(), count) << "a refused edit left a step";
                ASSERT_EQ(StoredBytes(doc_), before) << "a refused edit changed the document";
                continue;
            }
            ASSERT_TRUE(WellFormed());
            ++made;
            states.resize(++at);
            states.push_back(StoredBytes(doc_));
            ASSERT_EQ(doc_.History().Index(), at);
            ASSERT_NE(states[at], before) << doc_.History().UndoLabel() << " changed nothing";
        }
        ASSERT_GT(made, steps / 2);
        const size_t top = at;
        while (at > 0) {
            ASSERT_TRUE(doc_.History().Undo()) << "undo of step " << at;
            --at;
            ASSERT_EQ(StoredBytes(doc_), states[at]) << "undone to step " << at;
        }
        ASSERT_FALSE(doc_.History().CanUndo());
        ASSERT_TRUE(WellFormed());
        while (at < top) {
            ASSERT_TRUE(doc_.History().Redo()) << "redo of step " << at + 1;
            ++at;
            ASSERT_EQ(StoredBytes(doc_), states[at]) << "redone to step " << at;
        }
        ASSERT_TRUE(WellFormed());
    }

private:
    CChanDoc& doc_;
    NoteEditor ed_;
    std::mt19937 rng_;
    bool silent_ = false;
};

// Events of every kind the editors meet, many of them at the same times.
void Fill(CEventTree& store, std::mt19937& rng, int count, bool values) {
    auto rand = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < count; ++i) {
        const uint32_t t = uint32_t(rand(0, 120)) * 25;
        switch (rand(0, 9)) {
        case 0:
            store.Add(Control(t, uint8_t(rand(0, 127)), uint8_t(rand(0, 127))));
            break;
        case 1:
            store.Add(Tempo(t, uint32_t(rand(300000, 900000))));
            break;
        case 2:
            store.Add(new EventMidi(t, 0xF0, 0xF0, 0));
            for (int k = rand(0, 3); k > 0; --k)
                store.Add(new EventMidi(t, 0xF0, uint8_t(rand(0, 127)), 0));
            store.Add(new EventMidi(t, 0xF0, 0xF7, 0));
            break;
        case 3:
            if (values) {
                store.Add(new EventValue(float(rand(-100, 100)) / 10.0f, t));
                break;
            }
            [[fallthrough]];
        default:
            store.Add(Note(t, uint8_t(rand(36, 84)), uint32_t(rand(1, 500)), uint8_t(rand(1, 127)),
                           uint8_t(rand(0, 3))));
        }
    }
}

} // namespace

TEST(RandomEdits, EventListsUndoAndRedoToTheirStoredBytes) {
    platform::ScopedRecordingMessages messages;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        auto doc = List(1000, {});
        Fill(doc->GetEvents(), rng, 150, true);
        RandomEdits edits(*doc, seed);
        edits.Run(150);
        if (HasFatalFailure()) return;
    }
    TheEventClipboard().Clear();
}

TEST(RandomEdits, MidiDocumentsUndoAndRedoToTheirStoredBytes) {
    platform::ScopedRecordingMessages messages;
    testutil::TempDir dir;
    for (uint32_t seed = 100; seed < 108; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const std::string path = dir.File("random" + std::to_string(seed) + ".mid");
        {
            auto made = Midi(3, 480);
            for (int ch = 1; ch <= 3; ++ch) Fill(*made->GetChannelEvents(ch), rng, 80, false);
            ASSERT_TRUE(made->OnSaveDocument(path));
        }
        CMidiDoc doc;
        ASSERT_TRUE(doc.OnOpenDocument(path));
        ASSERT_EQ(doc.GetChannelCount(), 3);
        RandomEdits edits(doc, seed);
        edits.Run(150);
        if (HasFatalFailure()) return;
    }
    TheEventClipboard().Clear();
}
