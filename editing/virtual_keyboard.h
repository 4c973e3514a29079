// The model of "The Keyboard": a tool bar that plays notes from the computer keyboard or the
// mouse, with an octave, a velocity, a send switch and a pitch wheel.
//
// Its messages go the way of notes from a MIDI input: while a song plays they are taken by the
// play engine as live input, stamped with the clock's current tick (recorded while recording,
// handed to the tree entries armed for live play); and when send is on each is also sent at once
// to the default MIDI output. While no song plays only the sending happens.
//
// Computer keys (letters in either case, and ; ' [ ]) map to key numbers 51..70 before the
// octave is added; a key's press plays a note-on (an auto-repeat plays nothing), its release the
// note-off of the note the press played, so changing the octave or the velocity while a key is
// down never leaves a note sounding. The drawn keyboard spans 220 pixels from its left edge:
// eleven white keys below y 28, the black keys between them above. The pitch wheel is a
// vertical slider 0..16384 (centre 8192, top 0); a position p plays the bend 16384 − p, held to
// 16383; Tune puts it back to the centre and plays that.
//
// Used on the user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

class CPlayEngine;
struct MidiEvent;

namespace editing {

class VirtualKeyboard {
public:
    static constexpr int kDefaultVelocity = 90;
    static constexpr int kLeftEdge = 112;
    static constexpr int kLeftEdgeNarrow = 84; // with a dialog base unit 8 pixels wide
    static constexpr int kWidth = 220;
    static constexpr int kUpperHeight = 27; // y at or above this is the black keys' row
    static constexpr int kWheelMax = 16384;
    static constexpr int kWheelCentre = 8192;
    static constexpr int kMinOctave = -4; // the lowest key stays 3 and the highest 118
    static constexpr int kMaxOctave = 4;

    // Prompts of the tool bar's controls.
    static constexpr const char* kOctavePrompt = "Octave adjustment\nOctave";
    static constexpr const char* kVelocityPrompt = "Note Velocity\nVelocity";
    static constexpr const char* kSendPrompt = "Send the notes out\nPlay";
    static constexpr const char* kTunePrompt = "Reset the pitch tuning\nTune";

    // Messages go to the engine (null: nowhere, for a keyboard without devices), which must
    // outlive the keyboard or be replaced first.
    explicit VirtualKeyboard(CPlayEngine* engine = nullptr);

    void SetEngine(CPlayEngine* engine) { engine_ = engine; }
    // Called after every change a view should draw (the held key, the wheel, the settings).
    void SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

    int Octave() const { return octave_; }
    // Held to kMinOctave..kMaxOctave.
    void SetOctave(int octave);
    int Velocity() const { return velocity_; }
    // Held to 1..127 (a note-on of velocity 0 would end the note).
    void SetVelocity(int velocity);
    bool Send() const { return send_; }
    void SetSend(bool on);
    int LeftEdge() const { return leftEdge_; }
    // The dialog base unit width of the display: 8 puts the keyboard at the narrow left edge.
    void SetDialogBaseUnitWidth(int width);

    // The key number of a computer key before the octave (-1: no note). Letters in either
    // case; the punctuation keys by their characters ';' '\'' '[' ']'.
    static int KeyNumberOfKey(int key);
    // A computer key went down; false when it plays nothing (no note, auto-repeat, held).
    bool KeyDown(int key, bool autoRepeat);
    // A computer key went up; false when it ended nothing.
    bool KeyUp(int key);

    // The key under a point of the bar before the octave, or -1 outside the drawn keyboard.
    int KeyAt(int x, int y) const;
    void MouseDown(int x, int y);
    void MouseMove(int x, int y);
    void MouseUp(int x, int y);
    void DoubleClick(int x, int y) { MouseDown(x, y); }
    // The key number (octave added) sounding from the mouse, if any.
    std::optional<int> HeldKey() const { return mouseKey_; }
    bool MouseButtonDown() const { return mouseDown_; }

    int WheelPosition() const { return wheel_; }
    // Moves the slider (held to 0..kWheelMax) and plays the bend.
    void SetWheel(int position);
    // Back to the centre, and plays it.
    void Tune() { SetWheel(kWheelCentre); }
    // The 14-bit bend a slider position plays.
    static uint16_t BendValue(int position);

    // Messages played so far (for the views and tests).
    uint64_t MessagesPlayed() const { return played_; }

private:
    // Plays a note-on (velocity > 0) or its note-off for a key number with the octave added.
    void Note(int number, bool on);
    void Play(const MidiEvent& message);
    void Changed();

    CPlayEngine* engine_;
    std::function<void()> listener_;
    int octave_ = 0;
    int velocity_ = kDefaultVelocity;
    bool send_ = true;
    int leftEdge_ = kLeftEdge;
    int wheel_ = kWheelCentre;
    bool mouseDown_ = false;
    std::optional<int> mouseKey_;
    // The note each computer key is playing (-1: up), by the key's upper-case character.
    std::array<int, 128> keyNote_;
    uint64_t played_ = 0;
};

} // namespace editing
