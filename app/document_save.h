// The save rules of channel documents: Save, Save As and Export as MIDI, with the path asked
// through a prompt the shell implements (the file dialogs).
//
//   Save As   a document included in a song asks with the plain dialog (no filter) and is saved
//             to the path chosen without taking it as its own path; any other document asks
//             with the filter and default extension of its kind (".dra", ".sng", ".mid",
//             ".wav") and the path becomes its own.
//   Save      a document not included saves to its own path (Save As when it has none); an
//             included one saves as Save As does.
//   Export    the current channel as a MIDI file through a temporary export document; a song
//             exports as a whole (one track per entry, song/song_export.h).
// Saving an included document leaves its modified flag as it was; export documents never
// become modified.
//
// Used on the user-interface thread only.
#pragma once

#include <string>

class CChanDoc;
struct ChannelMixRecord;

struct SaveDialog {
    std::string filter;           // "" for the plain dialog
    std::string defaultExtension; // with its dot, "" for none
};

class SavePathPrompt {
public:
    virtual ~SavePathPrompt() = default;
    // Asks for a path, offering `suggested`; false when the user cancels.
    virtual bool AskPath(const SaveDialog& dialog, const std::string& suggested,
                         std::string& path) = 0;
};

SaveDialog SaveAsDialogFor(const CChanDoc& doc);
// The MIDI export dialog (".mid").
SaveDialog MidiExportDialog();

bool SaveDocumentAs(CChanDoc& doc, SavePathPrompt& prompt);
bool SaveDocument(CChanDoc& doc, SavePathPrompt& prompt);
// The commands "Saves the current file as MIDI." and "Will export a type 0 MIDI file (one track
// maximum)." (type0).
bool ExportAsMidi(CChanDoc& doc, SavePathPrompt& prompt, bool type0,
                  ChannelMixRecord* mix = nullptr);
