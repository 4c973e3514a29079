#include "docs/midi_export.h"

#include "docs/midi_doc.h"

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
