// What the editor windows' tests share: documents written into the fixture's folder, a shell that
// opens them into their windows, and a dump of a channel document's events to compare before
// and after an edit and its undo.
#pragma once

#include "gui_test_util.h"

#include "documents/midi_document.h"
#include "gui/note_editor_window.h"
#include "gui/piano_roll.h"

#include <QMdiSubWindow>

#include <string>
#include <tuple>
#include <vector>

namespace guitest {

struct NoteSpec {
    int channel; // document channel (track), from 1
    uint32_t time;
    int key;
    uint32_t duration;
    int velocity = 100;
};

// A MIDI file of the notes (480 units per beat) saved as name; extra events go in as given.
inline std::string MakeMidi(ShellFixture& f, const std::string& name,
                            const std::vector<NoteSpec>& notes, int tracks = 1,
                            const std::vector<std::pair<int, EventMidi*>>& extra = {}) {
    CMidiDoc doc;
    doc.OnNewDocument();
    doc.SetChannelCount(tracks, false);
    doc.SetTicksPerBeat(kUnitsPerBeat, 480);
    for (const NoteSpec& n : notes)
        doc.GetChannelEvents(n.channel)->Add(
            new EventMidi(n.time, 0x90, uint8_t(n.key), uint8_t(n.velocity), n.duration));
    for (const auto& [channel, e] : extra) doc.GetChannelEvents(channel)->Add(e);
    const std::string path = f.Path(name);
    doc.OnSaveDocument(path);
    return path;
}

using EventRow = std::tuple<int, uint32_t, int, int, int, uint32_t>;

// Every event of every channel: channel, time, status, data 1, data 2, duration.
inline std::vector<EventRow> Dump(CChanDoc& doc) {
    std::vector<EventRow> rows;
    for (int ch = 1; ch <= doc.GetChannelCount(); ++ch)
        if (CEventTree* t = doc.GetChannelEvents(ch))
            for (SongEvent* e = t->First(); e; e = t->Next())
                rows.emplace_back(ch, t->CurrentTime(), e->IsMidi() ? e->GetMessageBytes()[0] : -1,
                                  e->GetData1(), e->GetData2(), e->GetDuration());
    return rows;
}

// The notes only (a saved MIDI file also holds the tempo its writer put first).
inline std::vector<EventRow> Notes(CChanDoc& doc) {
    std::vector<EventRow> rows;
    for (const EventRow& r : Dump(doc))
        if ((std::get<2>(r) & 0xF0) == 0x90) rows.push_back(r);
    return rows;
}

// Opens a file in the started shell and gives its note editor window, shown at a known size.
inline gui::NoteEditorWindow* OpenNotes(ShellFixture& f, const std::string& path,
                                        CAmpDoc** doc = nullptr) {
    CAmpDoc* d = f.Window().OpenPath(QString::fromStdString(path));
    if (!d) return nullptr;
    if (doc) *doc = d;
    auto* w = qobject_cast<gui::NoteEditorWindow*>(f.Window().WindowOf(d));
    if (!w) return nullptr;
    f.Window().resize(1400, 1000);
    QMdiSubWindow* sub = f.Window().SubWindowOf(d);
    sub->showNormal();
    sub->setGeometry(0, 0, 1200, 800);
    QCoreApplication::processEvents();
    return w;
}

} // namespace guitest
