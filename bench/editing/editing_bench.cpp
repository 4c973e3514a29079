// Event edits on a MIDI document of 100,000 notes read from a file, as a piano roll runs them:
// each iteration makes the edit as a step of the document's undo stack and undoes it again.
#include "documents/midi_document.h"
#include "editing/event_clipboard.h"
#include "editing/event_editor.h"
#include "platform/user_messages.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace editing;

namespace {

constexpr int kNotes = 100000;
constexpr uint32_t kDivision = 480;

void Vlq(std::vector<uint8_t>& b, uint32_t v) {
    uint8_t tmp[5];
    int n = 0;
    do {
        tmp[n++] = uint8_t(v & 0x7F);
        v >>= 7;
    } while (v);
    while (n > 1) b.push_back(uint8_t(tmp[--n] | 0x80));
    b.push_back(tmp[0]);
}

// One track of 100,000 notes, an eighth apart, each lasting a sixteenth.
const std::string& NotesFile() {
    static const std::string path = [] {
        std::string p = (std::filesystem::temp_directory_path() / "dendra-bench-edit.mid").string();
        std::vector<uint8_t> t;
        uint32_t seed = 7;
        auto rnd = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
        for (int i = 0; i < kNotes; ++i) {
            const uint8_t key = uint8_t(36 + rnd() % 60);
            Vlq(t, i == 0 ? 0 : kDivision / 4);
            t.insert(t.end(), {0x90, key, uint8_t(1 + rnd() % 126)});
            Vlq(t, kDivision / 4);
            t.insert(t.end(), {0x80, key, 0});
        }
        t.insert(t.end(), {0x00, 0xFF, 0x2F, 0x00});
        std::vector<uint8_t> b = {'M',
                                  'T',
                                  'h',
                                  'd',
                                  0,
                                  0,
                                  0,
                                  6,
                                  0,
                                  0,
                                  0,
                                  1,
                                  uint8_t(kDivision >> 8),
                                  uint8_t(kDivision & 0xFF)};
        b.insert(b.end(), {'M', 'T', 'r', 'k', uint8_t(t.size() >> 24), uint8_t(t.size() >> 16),
                           uint8_t(t.size() >> 8), uint8_t(t.size())});
        b.insert(b.end(), t.begin(), t.end());
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return p;
    }();
    return path;
}

struct Fixture {
    platform::ScopedRecordingMessages messages;
    CMidiDoc doc;
    std::unique_ptr<NoteEditor> ed;
    bool ok = false;
    Fixture() {
        ok = doc.OnOpenDocument(NotesFile()) && doc.GetChannelEvents(1)->GetCount() == kNotes;
        ed = std::make_unique<NoteEditor>(doc);
    }
    // The middle of the document.
    uint32_t Middle() const { return kNotes / 2 * kDivision / 2; }
    // A range holding n notes from the middle.
    void Range(int n) {
        if (!ed->RangeMode()) ed->ToggleRangeMode();
        ed->SetRange(Middle(), Middle() + uint32_t(n) * kDivision / 2);
    }
};

// Runs `edit` and undoes it, every iteration.
template <class F> void EditAndUndo(benchmark::State& state, Fixture& f, F edit) {
    if (!f.ok) {
        state.SkipWithError("the document did not load");
        return;
    }
    for (auto _ : state) {
        if (!edit()) {
            state.SkipWithError("the edit did nothing");
            return;
        }
        if (!f.doc.History().Undo()) {
            state.SkipWithError("undo failed");
            return;
        }
    }
}

void InsertNote(benchmark::State& state) {
    Fixture f;
    EditAndUndo(state, f, [&] { return f.ed->InsertNote(1, f.Middle() + 7, 60, 100, 90, 0); });
}
BENCHMARK(InsertNote)->Unit(benchmark::kMicrosecond);

void MoveOneNote(benchmark::State& state) {
    Fixture f;
    CEventTree& track = *f.doc.GetChannelEvents(1);
    track.Seek(f.Middle());
    SongEvent* e = track.Next();
    f.ed->Click(1, e, track.CurrentTime(), SelectMode::Replace);
    EditAndUndo(state, f, [&] { return f.ed->MoveSelection(1000, 2); });
}
BENCHMARK(MoveOneNote)->Unit(benchmark::kMicrosecond);

// A selection of n notes moved by a time and a key step.
void MoveNotes(benchmark::State& state) {
    Fixture f;
    f.Range(int(state.range(0)));
    EditAndUndo(state, f, [&] { return f.ed->MoveSelection(1000, 2); });
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(MoveNotes)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void QuantizeNotes(benchmark::State& state) {
    Fixture f;
    f.Range(int(state.range(0)));
    QuantizeSettings q;
    q.divisor = 3; // a grid the eighths are not on
    EditAndUndo(state, f, [&] { return f.ed->Quantize(q); });
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(QuantizeNotes)->Arg(1000)->Unit(benchmark::kMicrosecond);

void CutRange(benchmark::State& state) {
    Fixture f;
    f.Range(int(state.range(0)));
    EditAndUndo(state, f, [&] { return f.ed->Cut(); });
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(CutRange)->Arg(1000)->Unit(benchmark::kMicrosecond);

void PasteRange(benchmark::State& state) {
    Fixture f;
    f.Range(int(state.range(0)));
    f.ed->Copy();
    f.ed->SetInsertionPoint(1000);
    EditAndUndo(state, f, [&] { return f.ed->Paste(); });
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(PasteRange)->Arg(1000)->Unit(benchmark::kMicrosecond);

void StretchRange(benchmark::State& state) {
    Fixture f;
    f.Range(int(state.range(0)));
    StretchSettings st;
    st.factor = 1.5;
    EditAndUndo(state, f, [&] {
        f.Range(int(state.range(0)));
        return f.ed->Stretch(st);
    });
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(StretchRange)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The whole document, every note's time and duration.
void ChangeUnitsPerBeat(benchmark::State& state) {
    Fixture f;
    EditAndUndo(state, f, [&] { return f.ed->ChangeUnitsPerBeat(960); });
    state.SetItemsProcessed(state.iterations() * kNotes);
}
BENCHMARK(ChangeUnitsPerBeat)->Unit(benchmark::kMillisecond);

// Redo after undo: the step put back as it was made.
void RedoMoveNotes(benchmark::State& state) {
    Fixture f;
    f.Range(1000);
    if (!f.ok || !f.ed->MoveSelection(1000, 2)) {
        state.SkipWithError("the edit did nothing");
        return;
    }
    for (auto _ : state) {
        f.doc.History().Undo();
        f.doc.History().Redo();
    }
}
BENCHMARK(RedoMoveNotes)->Unit(benchmark::kMicrosecond);

// The hit test and the rubber band of a piano roll near the end of the document.
void HitTestNearTheEnd(benchmark::State& state) {
    Fixture f;
    const uint32_t t = uint32_t(kNotes - 10) * kDivision / 2 + 1;
    for (auto _ : state) benchmark::DoNotOptimize(f.ed->NoteAt(1, t, 60));
}
BENCHMARK(HitTestNearTheEnd)->Unit(benchmark::kMicrosecond);

void RubberBandNearTheEnd(benchmark::State& state) {
    Fixture f;
    const uint32_t t = uint32_t(kNotes - 100) * kDivision / 2;
    for (auto _ : state) f.ed->SelectRect(t, t + 20 * kDivision, 40, 80, SelectMode::Replace);
}
BENCHMARK(RubberBandNearTheEnd)->Unit(benchmark::kMicrosecond);

} // namespace
