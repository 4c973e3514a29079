// The MIDI family: nodes that yield MIDI messages and transform the notes their branch yields.
//
// Generators (MidiNote, MidiDrumNote) empty the list and yield one note-on carrying its
// duration. Transformers solve their branch into the list and change its events in place
// (Invert, Scale, MidiNoteProperty) or add copies by time (Arpeggiate, ChordBuilder, Delay,
// Interpolate). Number consumers (MidiController, PitchBend, MidiData) turn the values of their
// branch into one channel message at the current time. Every float that becomes an integer is
// truncated toward zero and saturated (NaN gives 0); a data byte keeps the low 8 bits.
//
// Choices made where the behaviour was open:
// - Interpolate: only note-ons count. Each note-on after the first one held gets an in-between
//   note-on (midpoint of time, duration, pitch and velocity; kind of the incoming note on
//   channel 0), inserted into the list by its time beside the branch's events, which stay. The
//   first note-on after creation or ResetCounters gets none. Other events pass untouched.
// - MidiInput "Time since start" (inputParameter 32): the value event is placed at the input
//   event's time and carries that time as its value too.
// - Scale in seamless mode with a step count of 0 (an unknown scale chosen with "Seamless")
//   passes the notes unchanged.
// - Added copies whose time would fall before 0 (negative Arpeggiate offsets) are placed at 0,
//   times past the 32-bit range at its end.
//
// Read from a file, fields that index arrays or bound values are held to their ranges:
// Arpeggiate noteCount 0..6, ChordBuilder chordSize 0..6, Delay delayCount 0..10, Scale key
// 0..11 and its step count 0..12; MidiController and PitchBend bounds are put in order.
#pragma once

#include "events/song_event.h"
#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>
#include <string>

std::span<const NodeFactoryEntry> MidiNodeTypes();

class Arpeggiate : public TypedNode<Arpeggiate> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    int32_t noteCount = 2;
    int32_t pitchOffsets[6] = {2, 2, 2, 2, 2, 2};
    int32_t timeOffsets[6] = {500, 500, 500, 500, 500, 500};
};

class ChordBuilder : public TypedNode<ChordBuilder> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // On OK the chord name sets chordSize and the intervals (nodes::ApplyChord).
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void Solve(CNoteEventList& list) override;

    std::string chordType;
    int32_t chordSize = 0;
    int32_t intervals[5] = {0, 0, 0, 0, 0};
};

class Delay : public TypedNode<Delay> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    int32_t repeatIndex = 0; // the repetition being made, within one Solve; never stored
    int32_t delayCount = 1;
    uint32_t delayTime = 120;
    int32_t velocityDecrement = 0;
};

// The layout MidiNote and MidiDrumNote share.
class NoteGenerator : public ProtoType {
public:
    // Empties the list and yields one note-on at now carrying the note's duration.
    void Solve(CNoteEventList& list) override;
    void EditData() override;

    uint32_t reserved = 0; // stored as a 16-bit zero, ignored when read
    int32_t channel = 0;
    float pitch = 60.0f;
    float velocity = 70.0f;
    float noteDuration = 50.0f;
};

class MidiNote : public TypedNode<MidiNote, NoteGenerator> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
};

class MidiDrumNote : public TypedNode<MidiDrumNote, NoteGenerator> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    MidiDrumNote() {
        channel = 9; // the General MIDI percussion channel (status 0x99)
        pitch = 61.0f;
        velocity = 80.0f;
        noteDuration = 250.0f;
    }
};

// inputParameter codes.
constexpr int32_t kInputNote = 0;
constexpr int32_t kInputPitch = 2;
constexpr int32_t kInputVelocity = 4;
constexpr int32_t kInputDuration = 8;
constexpr int32_t kInputChannel = 16;
constexpr int32_t kInputTime = 32;

class MidiInput : public TypedNode<MidiInput> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Copies inputParameter only (sendTrue is neither stored nor copied).
    void Copy(const ProtoType& source) override;
    void Solve(CNoteEventList& list) override;

    int32_t sendTrue = 0;
    int32_t inputParameter = kInputNote;
};

class Interpolate : public TypedNode<Interpolate> {
public:
    static const NodeTypeInfo kInfo;
    void ResetCounters() override;
    void Solve(CNoteEventList& list) override;

    EventMidi lastNote;
    int32_t haveLast = 0;
};

class Invert : public TypedNode<Invert> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    float axisPitch = 60.0f;
};

class MidiController : public TypedNode<MidiController> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Reading and the dialog put the bounds in order (a tree reads back as it was edited).
    void Serialize(CArchive& ar) override;
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void Solve(CNoteEventList& list) override;

    int32_t channel = 0;
    int32_t controllerNumber = 0;
    int32_t definedControl = 0;
    float lowerBound = 0.0f;
    float upperBound = 127.0f;
};

class MidiData : public TypedNode<MidiData> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
};

class MidiNoteProperty : public TypedNode<MidiNoteProperty> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    int32_t replace = 0;
    int32_t affectChannel = 0;
    int32_t affectPitch = 0;
    int32_t affectVelocity = 0;
    int32_t affectDuration = 0;
};

class PitchBend : public TypedNode<PitchBend> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Reading and the dialog put the bounds in order (a tree reads back as it was edited).
    void Serialize(CArchive& ar) override;
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void Solve(CNoteEventList& list) override;

    int32_t channel = 0;
    int32_t upperBound = 8191;
    int32_t lowerBound = -8192;
};

// A scaleTable entry of this value marks a pitch class that table mode removes ("Cut").
constexpr int32_t kScaleCut = 1000;

class Scale : public TypedNode<Scale> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // On OK the scale and fit names rebuild scaleTable and tableMode (nodes::ApplyScale).
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void Solve(CNoteEventList& list) override;

    // The pitch a note of pitch `pitch` becomes; false when table mode removes it.
    bool Fit(int pitch, int& out) const;

    std::string scaleName = "None";
    std::string fitName = "None";
    int32_t key = 0;
    int32_t scaleTable[13] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    int32_t tableMode = 1;
};
