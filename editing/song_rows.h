// The song window's rows: one row per entry of a song, with the controls that edit the entry's
// settings (name, record arm, mute, volume, pan, loop, speed, start time, duration, MIDI channel,
// pitch, patch and destination), the "Volume Type:" choice, and the entry menu of the name button
// (Display and Delete(!) for an entry whose document is kept inside the song; Contain and
// Un-Include for any other), and the files dropped onto the song, each included as one step.
//
// The view draws Cell(row, column) and hands what the user typed, ticked or chose back through
// EditText, Toggle and Choose (or the named setters). Each accepted change is a command on the
// song's undo stack with the label of the Edit menu ("Speed", "Mute", "Delete Entry", ...); a
// value that does not change the entry makes no command. Numbers outside a control's range are
// held to it (a speed of 250 becomes 100, a duration of 5 units becomes 10); text that is no
// number or no time is refused with a message and changes nothing.
//
// What a control sends, it sends at once through the play engine to where the entry's events go
// (device 100 sends nothing, 101 every open MIDI output, a device that is not open the default
// output): a volume or mute change sends controller 7 and controller 39 on the entry's channel
// (volume × 127.9, 0 while muted), a pan change controller 10 (balance × 127), a patch change a
// program change; a volume or pan change also passes the entry's levels to its waves that are
// sounding. Undo and Redo send the same way. The undo steps outlive this model (they live on the
// song's stack) and reach the engine through a handle that expires with it.
//
// Removing or containing an entry changes the song's merge, so it stops the engine first when
// the engine plays this song.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/document.h"
#include "editing/frame_settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class CChanDoc;
class CPlayEngine;
class CSongDoc;
struct SongEntry;

namespace editing {

enum class SongColumn {
    kName,
    kRec,
    kMute,
    kVolume,
    kPan,
    kLoop,
    kSpeed,
    kStartTime,
    kDuration,
    kChannel,
    kPitch,
    kPatch,
    kDestination,
};
constexpr int kSongColumnCount = 13;

enum class CellKind {
    kText,   // any text
    kCheck,  // a check box
    kNumber, // a number typed (min..max)
    kTime,   // a time text (min..max in song units)
    kChoice, // one of the choices
};

// What a view needs to draw one cell and to offer its edit.
struct SongCell {
    CellKind kind = CellKind::kText;
    std::string text;     // what the cell shows (a choice cell: the chosen text, or "")
    bool checked = false; // check cells
    double min = 0.0;     // number and time cells: the range values are held to
    double max = 0.0;     //
    bool integer = false; // number cells that take whole numbers only
    int spin = 0;         // the volume's spin position (volume × 1000)
    int choice = -1;      // choice cells: the chosen index, -1 when none
    std::vector<std::string> choices;
};

// What the "Volume Type:" choice makes the volume column edit.
enum class VolumeType { kWave, kMidi };

enum class EntryCommand { kDisplay, kDelete, kContain, kUnInclude };
struct EntryMenuItem {
    EntryCommand command;
    std::string label;
};

class SongRows : private CDocView {
public:
    static constexpr int kVisibleRows = 8;
    // Ranges of the controls.
    static constexpr double kMaxVolumeNumber = 100.0; // × 0.1: a level of 0..10
    static constexpr double kMaxPanNumber = 10.0;     // × 0.1: a balance of 0..1
    static constexpr uint32_t kMaxStartTime = 900000; // song units (900 beats)
    static constexpr uint32_t kMinDuration = 10;
    static constexpr uint32_t kMaxDuration = 900000;
    static constexpr int kMaxTranspose = 127;

    // The messages of refused input.
    static constexpr const char* kNotANumberMessage = "Please enter a number.";
    static constexpr const char* kNotAnIntegerMessage = "Please enter an integer.";
    static constexpr const char* kNotATimeMessage =
        "Please enter a time in beats, such as 2.500 or 2:500.";
    static constexpr const char* kCannotContainSoundMessage =
        "A sound cannot be kept inside the song; it stays a file of its own.";
    static constexpr const char* kMissingDocumentMessage =
        "The document of this entry could not be found, so it cannot be kept inside the song.";
    static constexpr const char* kDeleteContainedQuestion =
        "The document of this entry is kept inside the song and goes with it. Delete the entry?";

    // engine: where sends go (null: nothing is sent; the model and its steps stop sending when
    // the engine is destroyed). settings: the time style (must outlive the model).
    SongRows(CSongDoc& song, CPlayEngine* engine, const FrameSettings& settings);
    ~SongRows() override;
    SongRows(const SongRows&) = delete;
    SongRows& operator=(const SongRows&) = delete;

    CSongDoc& Song() { return song_; }

    // ---- The table ----
    int RowCount() const;
    // The first of the eight rows shown ("Tracks:"), held to 0..RowCount() - 8.
    int FirstRow() const { return firstRow_; }
    void ScrollTo(int firstRow);
    static const char* ColumnCaption(SongColumn column);
    SongCell Cell(int row, SongColumn column) const;

    // ---- The "Volume Type:" choice ----
    static const std::vector<std::string>& VolumeTypeChoices();
    VolumeType GetVolumeType() const { return volumeType_; }
    void SetVolumeType(VolumeType type);

    // ---- Edits: false when refused or out of rows (a message says why when the user should
    // know); true when taken, whether or not it changed the entry. ----
    // Text, number and time cells.
    bool EditText(int row, SongColumn column, const std::string& text);
    // Check cells.
    bool Toggle(int row, SongColumn column);
    // Choice cells.
    bool Choose(int row, SongColumn column, int index);

    bool SetName(int row, const std::string& name);
    bool ToggleArm(int row);
    bool SetMuted(int row, bool muted);
    // The volume column's number (× 0.1 is the level the volume type chooses).
    bool SetVolume(int row, double number);
    bool SetVolumeSpin(int row, int position);
    bool SetPan(int row, double number);
    bool SetLoop(int row, bool loop);
    bool SetSpeed(int row, double speed);
    bool SetStartTime(int row, const std::string& text);
    bool SetDuration(int row, const std::string& text);
    // 1..16.
    bool SetChannel(int row, int number);
    bool SetPitch(int row, int transpose);
    bool SetPatch(int row, int program);
    // The index among the open MIDI outputs (the choices of the Destination cell).
    bool SetDestination(int row, int choice);

    // ---- Including files ----
    // Opens the file and includes its document (one entry per channel) as one step labelled
    // "Include". False when the file cannot be opened or the song refuses it (the document or
    // the song has said why).
    bool IncludeFile(const std::string& path);

    // ---- The entry menu ----
    // An entry path "this" becomes "CONTAINED" first.
    std::vector<EntryMenuItem> EntryMenu(int row);
    bool Run(int row, EntryCommand command);
    // Opens a window on a contained document, with its title (song title " :: " entry name).
    using DisplayHandler = std::function<void(CChanDoc& document, const std::string& title)>;
    void SetDisplayHandler(DisplayHandler handler) { display_ = std::move(handler); }
    // The window Display opened for the row's entry was closed (Display may open it again).
    void DisplayClosed(int row);

    // Called when rows changed: a row index, or -1 for every row (entries added or removed).
    void SetListener(std::function<void(int row)> listener) { listener_ = std::move(listener); }

private:
    void OnUpdate(CDocView* sender, long hint) override;
    bool Valid(int row) const;
    std::vector<std::string> DestinationNames(std::vector<uint32_t>* devices) const;
    bool Remove(int row, const char* label);
    bool Contain(int row);
    class FieldCommand;
    class ChannelCommand;
    class RemoveCommand;
    class ContainCommand;
    class IncludeCommand;
    bool PushField(int row, int field, const std::function<void(SongEntry&)>& change);

    CSongDoc& song_;
    std::weak_ptr<CPlayEngine> engine_;
    const FrameSettings& settings_;
    int firstRow_ = 0;
    VolumeType volumeType_ = VolumeType::kMidi;
    DisplayHandler display_;
    std::set<uint64_t> displayed_; // serials of entries whose window is open
    std::function<void(int)> listener_;
};

} // namespace editing
