#include "documents/midi_export.h"

#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "nodes/control.h"
#include "tree/registry.h"

#include <algorithm>

bool ExportChannelAsMidi(CChanDoc& source, int channel, const std::string& path, bool type0,
                         double tempoBpm, ChannelMixRecord* mix) {
    CMidiDoc doc;
    doc.SetExport(true);
    doc.SetChannelCount(1, false);
    CEventTree* to = doc.GetChannelEvents(1);
    if (CEventTree* from = source.GetChannelEvents(channel))
        for (SongEvent* e = from->First(); e; e = from->Next())
            to->AddCopyAt(*e, from->CurrentTime());
    uint32_t units = source.GetTicksPerBeat(kUnitsPerBeat);
    doc.SetTicksPerBeat(kUnitsPerBeat, units);
    doc.SetTicksPerBeat(kPlayResolution, units);
    doc.SetMixRecord(1, mix);
    if (type0) doc.SetExportFormat(0);
    doc.SetExportTempo(tempoBpm);
    return doc.OnSaveDocument(path);
}

bool ExportChannelAsWord(CChanDoc& source, int channel, const std::string& path) {
    CDendraDoc doc;
    doc.OnNewDocument();
    auto* word = static_cast<Word*>(ReplaceWith(doc.GetRoot().childOne, "Word"));
    if (!word) return false;
    uint64_t end = 1;
    if (CEventTree* from = source.GetChannelEvents(channel)) {
        for (SongEvent* e = from->First(); e; e = from->Next()) {
            const uint32_t t = from->CurrentTime();
            word->events.AddCopyAt(*e, t);
            end = std::max<uint64_t>(end, uint64_t{t} + e->GetDuration());
        }
    }
    // A tree file keeps no units per beat of its own: trees count thousandths of a beat, so the
    // word is converted to them and plays at the same musical time as the channel.
    const uint32_t units = source.GetTicksPerBeat(kUnitsPerBeat);
    const uint32_t treeUnits = kDefaultUnitsPerBeat;
    if (units != 0 && units != treeUnits) {
        word->events.Rescale(units, treeUnits);
        end = treeUnits * (end / units) + (end % units) * treeUnits / units;
    }
    Root& root = doc.GetRoot();
    root.duration = static_cast<uint32_t>(std::min<uint64_t>(end, kNoTime - 1));
    root.AlignTimes(0);
    doc.Solver().SolveAtOnce();
    return doc.OnSaveDocument(path);
}
