#include "app/document_save.h"

#include "documents/channel_document.h"
#include "documents/midi_export.h"
#include "song/song_document.h"
#include "song/song_export.h"

namespace {

// Writes a copy to `path`; the document keeps its own path and its modified flag.
bool SaveCopy(CChanDoc& doc, const std::string& path) {
    const bool modified = doc.IsModified();
    bool ok = doc.OnSaveDocument(path);
    doc.SetModifiedFlag(modified);
    return ok;
}

} // namespace

SaveDialog SaveAsDialogFor(const CChanDoc& doc) {
    if (doc.IsIncluded()) return {};
    switch (doc.GetDocKind()) {
    case kDocKindDendra:
        return {"Ondrelles (*.dra)|*.dra||", ".dra"};
    case kDocKindSong:
        return {"Song Files (*.sng)|*.sng||", ".sng"};
    case kDocKindMidi:
        return {"Midi Files (*.mid)|*.mid||", ".mid"};
    case kDocKindWave:
        return {"Wave Files (*.wav)|*.wav||", ".wav"};
    default:
        return {};
    }
}

SaveDialog MidiExportDialog() {
    return {"Midi Files (*.mid)|*.mid||", ".mid"};
}

bool SaveDocumentAs(CChanDoc& doc, SavePathPrompt& prompt) {
    std::string path;
    if (!prompt.AskPath(SaveAsDialogFor(doc), doc.GetPathName(), path) || path.empty())
        return false;
    if (doc.IsIncluded()) return SaveCopy(doc, path);
    if (!doc.OnSaveDocument(path)) return false;
    doc.SetPathName(path);
    return true;
}

bool SaveDocument(CChanDoc& doc, SavePathPrompt& prompt) {
    if (doc.IsIncluded() || doc.GetPathName().empty()) return SaveDocumentAs(doc, prompt);
    return doc.OnSaveDocument(doc.GetPathName());
}

bool ExportAsMidi(CChanDoc& doc, SavePathPrompt& prompt, bool type0, ChannelMixRecord* mix) {
    std::string path;
    if (!prompt.AskPath(MidiExportDialog(), "", path) || path.empty()) return false;
    // A song has no channels of its own: it exports as a whole.
    if (doc.GetDocKind() == kDocKindSong)
        return ExportSongAsMidi(static_cast<CSongDoc&>(doc), path);
    return ExportChannelAsMidi(doc, doc.GetCurrentChannel(), path, type0, 0.0, mix);
}
