// The wave document: one sound, held by a single wave event in the first channel.
//
// It opens WAVE, AIFF, AIFF-C and AU files and works on a temporary copy so that the file on
// disk stays untouched until saved; it saves WAVE files (PCM, or IMA ADPCM when "Compress wave
// files" is set); and it cuts, copies, pastes, silences and inserts silence within the sound,
// changes its format or its sample rate, each edit a step of the document's undo stack (undone
// and redone any number of steps back). A format change keeps a copy of the sound as it was, so
// that Undo gives back the very samples; only for a sound larger than kMaxFormatUndoBytes is the
// change made without a step, and the steps before it are then forgotten.
// A document made for a song's wave event works on that event and never destroys it.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"
#include "events/song_event.h"
#include "formats/wave_data.h"

#include <cstdint>
#include <string>
#include <vector>

class CWaveDoc : public CChanDoc {
public:
    // What Cut and Delete do with the selection.
    enum class DeleteMode { Remove, Silence };
    // How Paste puts the clipboard sound at the cursor.
    enum class PasteMode { Insert, Overwrite, MixAverage, MixAdd };

    // Editor command ids.
    static constexpr int kIdCut = 57635;
    static constexpr int kIdCopy = 57634;
    static constexpr int kIdPaste = 57637;
    static constexpr int kIdUndo = 57643;
    static constexpr int kIdDeleteMode = 32795;
    static constexpr int kIdOpenForEdit = 32784;
    static constexpr int kIdOpenTemporary = 32792;
    static constexpr int kIdOpenDisk = 32793;
    static constexpr int kIdProperties = 32902;
    // The prompt of a command id ("" for others).
    static const char* CommandPrompt(int id);

    CWaveDoc();
    // A document for a song's wave event: the song keeps the event; *ownerFlag is cleared when
    // the document is destroyed (null for none).
    CWaveDoc(EventWave* songEvent, uint32_t* ownerFlag);
    ~CWaveDoc() override;

    uint32_t GetDocKind() const override { return kDocKindWave; }
    bool OnNewDocument() override;
    bool OnOpenDocument(const std::string& path) override;
    // Writes the sound as a WAVE file; on failure "Could not save file" is shown, false is
    // returned and the document stays modified. The existing file is never destroyed.
    bool OnSaveDocument(const std::string& path) override;
    void OnCloseDocument() override;

    EventWave* Wave() const { return wave_; }
    sound::WaveData* Data() const;
    // Frames of the sound, and bytes of one frame.
    uint32_t FrameCount() const;
    uint32_t FrameBytes() const;

    // The application's "Compress wave files" setting.
    static void SetCompressWaves(bool on);
    static bool CompressWaves();
    // How the wave output lets go of a wave before its store changes (set by the application).
    using ReleaseHook = void (*)(EventWave* wave);
    static void SetReleaseHook(ReleaseHook hook);
    // Lets the wave output let go of the wave.
    void Release();

    // The store: a temporary AU copy (QUAVn.TMP) or memory, both open for writing.
    bool MakeTempCopy();
    bool MakeMemoryStore();
    // True when the store is open for writing. Otherwise asks "File not open for writing. Open
    // temporary file?"; Yes makes a temporary copy, and either way the edit is not done.
    bool EnsureWritable();

    // Editing; selections are in frames, end exclusive. False when nothing was done.
    bool Cut(uint32_t startFrame, uint32_t endFrame, DeleteMode mode);
    bool Copy(uint32_t startFrame, uint32_t endFrame);
    bool Paste(uint32_t atFrame, PasteMode mode);
    bool Delete(uint32_t startFrame, uint32_t endFrame, DeleteMode mode);
    bool Silence(uint32_t startFrame, uint32_t endFrame) {
        return Delete(startFrame, endFrame, DeleteMode::Silence);
    }
    // Inserts frames of silence at a frame (the end at most).
    bool InsertSilence(uint32_t atFrame, uint32_t frames);
    // The document's undo stack (History()), refused while the store is not open for writing.
    bool CanUndo() const { return History().CanUndo(); }
    bool Undo();
    bool Redo();

    // The Edit menu's label of a format change.
    static constexpr const char* kChangeFormatLabel = "Change Format";
    // The largest sound whose format change can be undone (its copy is kept in memory).
    static constexpr uint32_t kMaxFormatUndoBytes = 256u << 20;
    // Converts the sound to the format of a flag; "Unable to change format." when it cannot.
    bool ChangeFormat(uint32_t flag);
    // Converts to any held PCM format (rate, channels, width); "Unable to change format."
    bool ConvertTo(const WAVEFORMATEX& format);
    // Sets the sample rate without converting (the sound plays faster or slower).
    bool SetSampleRate(uint32_t rate);

    // The clipboard sound, one per application.
    struct Clipboard {
        WAVEFORMATEX format;
        std::vector<uint8_t> bytes;
        bool empty() const { return bytes.empty(); }
    };
    static Clipboard& GetClipboard();

private:
    class SpliceCommand;
    class FormatCommand;

    bool SelectionBytes(uint32_t startFrame, uint32_t endFrame, uint32_t& start, uint32_t& n);
    bool RemoveOrSilence(uint32_t start, uint32_t n, DeleteMode mode, const char* label);
    // Replaces removeLength bytes at start with bytes; false (nothing changed) when the store
    // refuses.
    bool Splice(uint32_t start, uint32_t removeLength, const std::vector<uint8_t>& bytes);
    void AfterChange();
    // Converts (or, without convert, reinterprets) the sound to a format; nothing changes when
    // it fails.
    bool SetSoundFormat(const WAVEFORMATEX& format, bool convert);
    // Puts a format and the bytes of a whole sound back.
    bool RestoreSound(const WAVEFORMATEX& format, const std::vector<uint8_t>& bytes);
    bool ReadAll(std::vector<uint8_t>& out);
    void AttachNewEvent(EventWave* wave);
    void DropEvent();

    EventWave* wave_ = nullptr;
    bool ownsEvent_ = true;
    uint32_t* ownerFlag_ = nullptr;
};
