#include "nodes/midi.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "events/names.h"
#include "nodes/node_params.h"
#include "tree/node_host.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

using nodes::Passes;
using nodes::SolveBranch;
using nodes::ToDataByte;
using nodes::ToInt;
using nodes::ToUInt;

namespace {

constexpr double kI32Max = 2147483647.0;

// A time moved by delta, held to the 32-bit range.
uint32_t MoveTime(uint32_t t, int64_t delta) {
    const int64_t v = static_cast<int64_t>(t) + delta;
    if (v < 0) return 0;
    if (v > static_cast<int64_t>(UINT32_MAX)) return UINT32_MAX;
    return static_cast<uint32_t>(v);
}

// Moves the collected copies into the list by time.
void InsertAll(CNoteEventList& list, CNoteEventList& added) {
    while (SongEvent* e = added.PopHead()) list.Add(e);
}

uint8_t LowByte(int64_t v) {
    return static_cast<uint8_t>(static_cast<uint64_t>(v) & 0xFFu);
}

// ---- the choices the dialogs offer ------------------------------------------------------------

constexpr ParamChoice kChordChoices[] = {
    {"Major", 0},       {"Minor", 1},   {"Augmented", 2},     {"Diminished", 3},    {"Sixth", 4},
    {"Minor Sixth", 5}, {"Seventh", 6}, {"Minor Seventh", 7}, {"Major Seventh", 8}, {"Octave", 9},
};

constexpr auto kScaleChoices = [] {
    std::array<ParamChoice, std::size(nodes::kScaleTable)> a{};
    for (size_t i = 0; i < a.size(); ++i) a[i] = {nodes::kScaleTable[i].name, static_cast<int>(i)};
    return a;
}();

constexpr ParamChoice kFitChoices[] = {
    {"Cut", 0}, {"Push Up", 1}, {"Push Down", 2}, {"Seamless", 3}};

constexpr ParamChoice kKeyChoices[] = {{"A", 0},  {"A#", 1}, {"B", 2},  {"C", 3},
                                       {"C#", 4}, {"D", 5},  {"D#", 6}, {"E", 7},
                                       {"F", 8},  {"F#", 9}, {"G", 10}, {"G#", 11}};

constexpr ParamChoice kControllerChoices[] = {
    {"Modulation", 1}, {"Breath Controller", 2},      {"Foot Controller", 4}, {"Volume", 7},
    {"Pan", 10},       {"Reset All Controllers", 121}};

constexpr ParamChoice kChannelChoices[] = {
    {"0", 0}, {"1", 1}, {"2", 2},   {"3", 3},   {"4", 4},   {"5", 5},   {"6", 6},   {"7", 7},
    {"8", 8}, {"9", 9}, {"10", 10}, {"11", 11}, {"12", 12}, {"13", 13}, {"14", 14}, {"15", 15}};

constexpr ParamChoice kDrumChannelChoices[] = {
    {"0", 0},   {"1", 1},   {"2", 2},   {"3", 3},   {"4", 4},
    {"5", 5},   {"6", 6},   {"7", 7},   {"8", 8},   {"9 -> GM Drum Setting", 9},
    {"10", 10}, {"11", 11}, {"12", 12}, {"13", 13}, {"14", 14},
    {"15", 15}};

// MidiController counts its channels from 1.
constexpr ParamChoice kControllerChannelChoices[] = {
    {"1", 0}, {"2", 1},  {"3", 2},   {"4", 3},   {"5", 4},   {"6", 5},   {"7", 6},   {"8", 7},
    {"9", 8}, {"10", 9}, {"11", 10}, {"12", 11}, {"13", 12}, {"14", 13}, {"15", 14}, {"16", 15}};

constexpr ParamChoice kInputChoices[] = {
    {"send note", kInputNote},         {"Pitch", kInputPitch},
    {"Velocity", kInputVelocity},      {"Duration", kInputDuration},
    {"Channel/Status", kInputChannel}, {"Time since start", kInputTime}};

// The percussion names of keys 35 to 81 (the names live with the event model, so this list is
// filled before main; the tables only hold its address).
const std::array<ParamChoice, kLastDrumKey - kFirstDrumKey + 1> kDrumChoices = [] {
    std::array<ParamChoice, kLastDrumKey - kFirstDrumKey + 1> a{};
    for (int k = kFirstDrumKey; k <= kLastDrumKey; ++k) {
        a[static_cast<size_t>(k - kFirstDrumKey)] = {DrumName(static_cast<uint8_t>(k)), k};
    }
    return a;
}();

} // namespace

// ---- Arpeggiate -------------------------------------------------------------------------------

#define ARP_STEP(i)                                                                                \
    nodes::ParamElem<&Arpeggiate::pitchOffsets, i>({.key = "pitchOffset" #i,                       \
                                                    .label = "Pitch change from source note:",     \
                                                    .store = ParamStore::I16,                      \
                                                    .control = ParamControl::Number,               \
                                                    .min = -127,                                   \
                                                    .max = 127,                                    \
                                                    .def = 2}),                                    \
        nodes::ParamElem<&Arpeggiate::timeOffsets, i>({.key = "timeOffset" #i,                     \
                                                       .label = "Time after source note:",         \
                                                       .store = ParamStore::U32,                   \
                                                       .control = ParamControl::Number,            \
                                                       .min = 0,                                   \
                                                       .max = kI32Max,                             \
                                                       .def = 500})

const ParamField Arpeggiate::kFields[] = {
    Param<&Arpeggiate::noteCount>({.key = "noteCount",
                                   .label = "Number of notes added",
                                   .store = ParamStore::U16,
                                   .control = ParamControl::Number,
                                   .min = 0,
                                   .max = 6,
                                   .def = 2,
                                   .holdOnRead = true}),
    ARP_STEP(0),
    ARP_STEP(1),
    ARP_STEP(2),
    ARP_STEP(3),
    ARP_STEP(4),
    ARP_STEP(5),
};
#undef ARP_STEP

constinit const NodeTypeInfo Arpeggiate::kInfo = {
    .typeName = "Arpeggiate",
    .displayName = "Arpeggiate",
    .typeId = 200,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 10,
    .info = "Arpeggiate adds several notes after the input, with altered pitches. This function's "
            "parent "
            "should be a Scale function if you desire the arpeggiation to be on a musical scale.  ",
    .dialogTitle = "Arpeggiation definition",
    .params = Arpeggiate::kFields};

void Arpeggiate::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    const int n = std::clamp(noteCount, 0, 6);
    CNoteEventList added;
    for (SongEvent* e = list.head; e; e = e->next) {
        if (!e->IsNote()) continue;
        for (int i = 0; i < n; ++i) {
            SongEvent* c = e->Clone();
            if (!c) continue;
            c->SetData1(LowByte(int64_t{e->GetData1()} + pitchOffsets[i]));
            c->time = MoveTime(e->time, timeOffsets[i]);
            added.Add(c);
        }
    }
    InsertAll(list, added);
}

// ---- ChordBuilder -----------------------------------------------------------------------------

#define CHORD_INTERVAL(i)                                                                          \
    nodes::ParamElem<&ChordBuilder::intervals, i>({.key = "interval" #i,                           \
                                                   .store = ParamStore::I16,                       \
                                                   .control = ParamControl::Hidden,                \
                                                   .min = -128,                                    \
                                                   .max = 127,                                     \
                                                   .def = 0})

const ParamField ChordBuilder::kFields[] = {
    Param<&ChordBuilder::chordType>({.key = "chordType",
                                     .label = "Chord Type",
                                     .store = ParamStore::Text,
                                     .control = ParamControl::List,
                                     .choices = kChordChoices}),
    Param<&ChordBuilder::chordSize>({.key = "chordSize",
                                     .store = ParamStore::U16,
                                     .control = ParamControl::Hidden,
                                     .min = 0,
                                     .max = 6,
                                     .def = 0,
                                     .holdOnRead = true}),
    CHORD_INTERVAL(0),
    CHORD_INTERVAL(1),
    CHORD_INTERVAL(2),
    CHORD_INTERVAL(3),
    CHORD_INTERVAL(4),
};
#undef CHORD_INTERVAL

constinit const NodeTypeInfo ChordBuilder::kInfo = {
    .typeName = "ChordBuilder",
    .displayName = "ChordBuilder",
    .typeId = 201,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 20,
    .info =
        "This function builds a chord based on the note parameters of the left branch.  In "
        "musicological terms, the note derived from the left branch become the 'root note' of the "
        "chord.  ",
    .dialogTitle = "ChordBuilder definition",
    .params = ChordBuilder::kFields};

void ChordBuilder::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog) nodes::ApplyChord(*this, chordType);
}

void ChordBuilder::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    const int size = std::clamp(chordSize, 0, 6);
    CNoteEventList added;
    for (SongEvent* e = list.head; e; e = e->next) {
        for (int i = 0; i + 2 <= size; ++i) {
            SongEvent* c = e->Clone();
            if (!c) continue;
            c->SetData1(LowByte(int64_t{e->GetData1()} + intervals[i]));
            added.Add(c);
        }
    }
    InsertAll(list, added);
}

// ---- Delay ------------------------------------------------------------------------------------

const ParamField Delay::kFields[] = {
    Param<&Delay::delayCount>({.key = "delayCount",
                               .label = "Number of Delays",
                               .store = ParamStore::U16,
                               .control = ParamControl::Number,
                               .min = 0,
                               .max = 10,
                               .def = 1,
                               .holdOnRead = true}),
    Param<&Delay::velocityDecrement>({.key = "velocityDecrement",
                                      .label = "Amount to decrement velocity:",
                                      .store = ParamStore::U16,
                                      .control = ParamControl::Number,
                                      .min = 0,
                                      .max = 127,
                                      .def = 0}),
    Param<&Delay::delayTime>({.key = "delayTime",
                              .label = "Delay Time",
                              .store = ParamStore::U32,
                              .control = ParamControl::Number,
                              .min = 0,
                              .max = 900000,
                              .def = 120}),
};

constinit const NodeTypeInfo Delay::kInfo = {.typeName = "Delay",
                                             .displayName = "Delay",
                                             .typeId = 202,
                                             .bitmapId = 0,
                                             .branches = 1,
                                             .family = "Midi",
                                             .menuOrder = 30,
                                             .info =
                                                 "This function is essentially a delay pedal.  "
                                                 "Delayed note(s) will be added to the original "
                                                 "note, for the number of repetitions specified, "
                                                 "temporally delayed by the specified period.  ",
                                             .dialogTitle = "Delay definition",
                                             .params = Delay::kFields};

void Delay::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    const int count = std::clamp(delayCount, 0, 10);
    CNoteEventList added;
    for (SongEvent* e = list.head; e; e = e->next) {
        if (!e->IsNote()) continue;
        for (repeatIndex = 0; repeatIndex < count; ++repeatIndex) {
            const int64_t k = repeatIndex + 1;
            SongEvent* c = nullptr;
            if (e->IsNoteOn()) {
                const int64_t v = e->GetData2();
                const int64_t loss = (k - 1) * int64_t{velocityDecrement};
                if (v <= loss) continue;
                c = e->Clone();
                if (c) c->SetData2(LowByte(v - loss));
            } else {
                c = e->Clone();
            }
            if (!c) continue;
            c->time = MoveTime(e->time, k * int64_t{delayTime});
            added.Add(c);
        }
    }
    repeatIndex = 0;
    InsertAll(list, added);
}

// ---- MidiNote, MidiDrumNote -------------------------------------------------------------------

void NoteGenerator::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    list.RemoveAll();
    const uint8_t status = static_cast<uint8_t>(0x90 | (static_cast<uint32_t>(channel) & 0x0F));
    list.Add(new EventMidi(list.now, status, ToDataByte(pitch), ToDataByte(velocity),
                           ToUInt(noteDuration)));
}

void NoteGenerator::EditData() {
    if (NodeHost* host = GetNodeHost()) host->ToggleDataEditor(*this);
}

// The note generators share their layout; the drum note offers percussion names and marks the
// drum channel.
#define NOTE_FIELDS(ch, channels, p, pitchControl, pitches, v, d)                                  \
    Param<&NoteGenerator::reserved>({.key = "reserved",                                            \
                                     .store = ParamStore::U16,                                     \
                                     .control = ParamControl::Hidden,                              \
                                     .min = 0,                                                     \
                                     .max = 0,                                                     \
                                     .def = 0,                                                     \
                                     .holdOnRead = true}),                                         \
        Param<&NoteGenerator::channel>({.key = "channel",                                          \
                                        .label = "Channel",                                        \
                                        .store = ParamStore::U16,                                  \
                                        .control = ParamControl::List,                             \
                                        .min = 0,                                                  \
                                        .max = 15,                                                 \
                                        .def = ch,                                                 \
                                        .choices = channels}),                                     \
        Param<&NoteGenerator::pitch>({.key = "pitch",                                              \
                                      .label = "Pitch",                                            \
                                      .store = ParamStore::F32,                                    \
                                      .control = pitchControl,                                     \
                                      .min = 0,                                                    \
                                      .max = 127,                                                  \
                                      .def = p,                                                    \
                                      .choices = pitches}),                                        \
        Param<&NoteGenerator::velocity>({.key = "velocity",                                        \
                                         .label = "Velocity",                                      \
                                         .store = ParamStore::F32,                                 \
                                         .control = ParamControl::Number,                          \
                                         .min = 0,                                                 \
                                         .max = 127,                                               \
                                         .def = v}),                                               \
        Param<&NoteGenerator::noteDuration>({.key = "noteDuration",                                \
                                             .label = "Duration",                                  \
                                             .store = ParamStore::F32,                             \
                                             .control = ParamControl::Number,                      \
                                             .min = 0,                                             \
                                             .max = 10000,                                         \
                                             .def = d})

const ParamField MidiNote::kFields[] = {
    NOTE_FIELDS(0, kChannelChoices, 60, ParamControl::Number, {}, 70, 50)};
const ParamField MidiDrumNote::kFields[] = {
    NOTE_FIELDS(9, kDrumChannelChoices, 61, ParamControl::List, kDrumChoices, 80, 250)};
#undef NOTE_FIELDS

constinit const NodeTypeInfo MidiNote::kInfo = {
    .typeName = "MidiNote",
    .displayName = "Midi Note",
    .typeId = 208,
    .bitmapId = 0,
    .branches = 0,
    .family = "Midi",
    .menuOrder = 100,
    .info =
        "This function yields a note event, and the note's default parameters. These values can be "
        "modified further up the tree through a NoteProperty function.  ",
    .dialogTitle = "FX_NOTE",
    .params = MidiNote::kFields};

constinit const NodeTypeInfo MidiDrumNote::kInfo = {
    .typeName = "MidiDrumNote",
    .displayName = "Midi Drum Note",
    .typeId = 203,
    .bitmapId = 0,
    .branches = 0,
    .family = "Midi",
    .menuOrder = 40,
    .info = "This function returns a drum (midi note) event, and the note's default parameters. It "
            "needs "
            "to be transmitted on Channel 10 to a General MIDI instrument for correct drum "
            "mapping.  If "
            "you do not have a GM device, the channel may need to be changed.  ",
    .dialogTitle = "Drum Definition",
    .params = MidiDrumNote::kFields};

// ---- MidiInput --------------------------------------------------------------------------------

const ParamField MidiInput::kFields[] = {
    Param<&MidiInput::sendTrue>({.key = "sendTrue",
                                 .label = "send TRUE",
                                 .store = ParamStore::None,
                                 .control = ParamControl::Check,
                                 .min = 0,
                                 .max = 1,
                                 .def = 0}),
    Param<&MidiInput::inputParameter>({.key = "inputParameter",
                                       .label = "send Parameter",
                                       .store = ParamStore::U16,
                                       .control = ParamControl::List,
                                       .min = 0,
                                       .max = 32,
                                       .def = 0,
                                       .choices = kInputChoices}),
};

constinit const NodeTypeInfo MidiInput::kInfo = {
    .typeName = "MidiInput",
    .displayName = "Midi Input",
    .typeId = 7,
    .bitmapId = 0,
    .branches = 0,
    .family = "Midi",
    .menuOrder = 50,
    .info =
        "This function puts input from a MIDI input device (or the virtual Keyboard) into the "
        "tree.  "
        "The Dendra must first be included in a Song, and the record button for this track must be "
        "selected (so that it will receive the input notifications).  ",
    .dialogTitle = "Input Definition",
    .params = MidiInput::kFields};

void MidiInput::Copy(const ProtoType& source) {
    const int32_t keep = sendTrue;
    ProtoType::Copy(source);
    sendTrue = keep;
}

void MidiInput::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    if (sendTrue == 0 && inputParameter == kInputNote) {
        for (SongEvent* e = list.head; e; e = e->next) e->time = 0;
        return;
    }
    SongEvent* f = list.head;
    if (!f || !f->IsMidi()) {
        list.RemoveAll();
        return;
    }
    list.Unlink(f);
    list.RemoveAll();
    uint32_t time = list.now;
    float value = 0.0f;
    if (sendTrue != 0) {
        value = f->IsNoteOn() ? 1.0f : 0.0f;
    } else {
        switch (inputParameter) {
        case kInputPitch:
            value = f->GetData1();
            break;
        case kInputVelocity:
            value = f->GetData2();
            break;
        case kInputDuration:
            value = static_cast<float>(f->GetDuration());
            break;
        case kInputChannel:
            value = static_cast<float>(f->GetChannel());
            break;
        case kInputTime:
            time = f->time;
            value = static_cast<float>(f->time);
            break;
        default:
            break;
        }
    }
    DeleteSongEvent(f);
    list.Add(new EventValue(value, time));
}

// ---- Interpolate ------------------------------------------------------------------------------

constinit const NodeTypeInfo Interpolate::kInfo = {
    .typeName = "Interpolate",
    .displayName = "Interpolate",
    .typeId = 204,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 60,
    .info =
        "This function places a note in between (temporally and pitch-wise) the last received note "
        "and each successive note.  "};

void Interpolate::ResetCounters() {
    haveLast = 0;
    lastNote.time = 0;
}

void Interpolate::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    CNoteEventList added;
    for (SongEvent* e = list.head; e; e = e->next) {
        if (!e->IsNoteOn()) continue;
        if (haveLast) {
            auto* n = new EventMidi;
            n->time = static_cast<uint32_t>((uint64_t{e->time} + lastNote.time) / 2);
            n->duration =
                static_cast<uint32_t>((uint64_t{e->GetDuration()} + lastNote.duration) / 2);
            n->SetKind(e->GetKind());
            n->SetChannel(0);
            n->data1 = static_cast<uint8_t>((int{e->GetData1()} + lastNote.data1) / 2);
            n->data2 = static_cast<uint8_t>((int{e->GetData2()} + lastNote.data2) / 2);
            added.Add(n);
        }
        lastNote.CopyFrom(*e);
        haveLast = 1;
    }
    InsertAll(list, added);
}

// ---- Invert -----------------------------------------------------------------------------------

const ParamField Invert::kFields[] = {
    Param<&Invert::axisPitch>({.key = "axisPitch",
                               .label = "Pitch to flip over:",
                               .store = ParamStore::F32,
                               .control = ParamControl::Number,
                               .min = 0,
                               .max = 127,
                               .def = 60}),
};

constinit const NodeTypeInfo Invert::kInfo = {
    .typeName = "Invert",
    .displayName = "Invert",
    .typeId = 205,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 70,
    .info = "This function inverts, or flips, the input notes around the chosen pitch.  ",
    .dialogTitle = "Invert Definition",
    .params = Invert::kFields};

void Invert::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    for (SongEvent* e = list.head; e; e = e->next) {
        e->SetData1(ToDataByte(2.0 * static_cast<double>(axisPitch) - e->GetData1()));
    }
}

// ---- MidiController ---------------------------------------------------------------------------

const ParamField MidiController::kFields[] = {
    Param<&MidiController::definedControl>({.key = "definedControl",
                                            .label = "Undefined Control",
                                            .store = ParamStore::U16,
                                            .control = ParamControl::Check,
                                            .min = 0,
                                            .max = 1,
                                            .def = 0}),
    Param<&MidiController::channel>({.key = "channel",
                                     .label = "Channel",
                                     .store = ParamStore::U16,
                                     .control = ParamControl::List,
                                     .min = 0,
                                     .max = 15,
                                     .def = 0,
                                     .choices = kControllerChannelChoices}),
    Param<&MidiController::controllerNumber>({.key = "controllerNumber",
                                              .label = "Controller",
                                              .store = ParamStore::U16,
                                              .control = ParamControl::Number,
                                              .min = 0,
                                              .max = 127,
                                              .def = 0,
                                              .choices = kControllerChoices}),
    Param<&MidiController::upperBound>({.key = "upperBound",
                                        .label = "Data Upper Bound",
                                        .store = ParamStore::I16,
                                        .control = ParamControl::Number,
                                        .min = -32768,
                                        .max = 32767,
                                        .def = 127}),
    Param<&MidiController::lowerBound>({.key = "lowerBound",
                                        .label = "Data Lower Bound",
                                        .store = ParamStore::I16,
                                        .control = ParamControl::Number,
                                        .min = -32768,
                                        .max = 32767,
                                        .def = 0}),
};

constinit const NodeTypeInfo MidiController::kInfo = {
    .typeName = "MidiController",
    .displayName = "MidiController",
    .typeId = 206,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 80,
    .info =
        "This function returns a MIDI controller type, and data for that controller. Volume, Pan, "
        "and  Modulation Wheel are three types of controllers.  You might want to find  out what "
        "kind of MIDI Controller messages your device supports, so that you can send others (such "
        "as "
        "the amount of chorus).",
    .dialogTitle = "Midi Controller Definition",
    .params = MidiController::kFields};

void MidiController::Serialize(CArchive& ar) {
    ProtoType::Serialize(ar);
    if (!ar.IsStoring() && lowerBound > upperBound) std::swap(lowerBound, upperBound);
}

void MidiController::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog && lowerBound > upperBound) std::swap(lowerBound, upperBound);
}

void MidiController::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    SongEvent* f = list.head;
    if (!f) return;
    double v = f->GetValue();
    if (v < lowerBound)
        v = lowerBound;
    else if (v > upperBound)
        v = upperBound;
    f->SetValue(v);
    const uint8_t status = static_cast<uint8_t>(0xB0 | (static_cast<uint32_t>(channel) & 0x0F));
    auto* m = new EventMidi(list.now, status, ToDataByte(controllerNumber), ToDataByte(v), 0);
    list.RemoveAll();
    list.Add(m);
}

// ---- MidiData ---------------------------------------------------------------------------------

constinit const NodeTypeInfo MidiData::kInfo = {
    .typeName = "MidiData",
    .displayName = "MidiData",
    .typeId = 207,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 90,
    .info = "This function returns sends a 3-byte midi message. In the left branch, three values "
            "must be "
            "specified.  You should supply the three  values using the AND function twice.  Values "
            "will "
            "be sent left-to-right, assuming that the times are the same.  Virtually all MIDI data "
            "can be "
            "transmitted using this function.  "};

void MidiData::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    SongEvent* f = list.head;
    if (!f) return;
    SongEvent* second = f->next;
    if (!second) {
        list.RemoveAll();
        return;
    }
    SongEvent* third = second->next;
    auto* m = new EventMidi(list.now, ToDataByte(f->GetValue()), ToDataByte(second->GetValue()),
                            third ? ToDataByte(third->GetValue()) : 0, 0);
    list.RemoveAll();
    list.Add(m);
}

// ---- MidiNoteProperty -------------------------------------------------------------------------

const ParamField MidiNoteProperty::kFields[] = {
    Param<&MidiNoteProperty::replace>({.key = "replace",
                                       .label = "Replace affected parameters",
                                       .store = ParamStore::U16,
                                       .control = ParamControl::Check,
                                       .min = 0,
                                       .max = 1,
                                       .def = 0}),
    Param<&MidiNoteProperty::affectChannel>({.key = "affectChannel",
                                             .label = "Channel",
                                             .store = ParamStore::U16,
                                             .control = ParamControl::Check,
                                             .min = 0,
                                             .max = 1,
                                             .def = 0}),
    Param<&MidiNoteProperty::affectPitch>({.key = "affectPitch",
                                           .label = "Pitch",
                                           .store = ParamStore::U16,
                                           .control = ParamControl::Check,
                                           .min = 0,
                                           .max = 1,
                                           .def = 0}),
    Param<&MidiNoteProperty::affectVelocity>({.key = "affectVelocity",
                                              .label = "Velocity",
                                              .store = ParamStore::U16,
                                              .control = ParamControl::Check,
                                              .min = 0,
                                              .max = 1,
                                              .def = 0}),
    Param<&MidiNoteProperty::affectDuration>({.key = "affectDuration",
                                              .label = "Duration",
                                              .store = ParamStore::U16,
                                              .control = ParamControl::Check,
                                              .min = 0,
                                              .max = 1,
                                              .def = 0}),
};

constinit const NodeTypeInfo MidiNoteProperty::kInfo = {
    .typeName = "MidiNoteProperty",
    .displayName = "MidiNoteProperty",
    .typeId = 209,
    .bitmapId = 0,
    .branches = 2,
    .family = "Midi",
    .menuOrder = 110,
    .info =
        "This function changes the values which constitute a note event.  You may opt to change "
        "the "
        "Pitch, Velocity, or Duration of a note, but each parameter alteration requires its own "
        "NoteProperty function.  Note that you can add to or replace the incoming values.  ",
    .dialogTitle = "NoteProperty definition",
    .params = MidiNoteProperty::kFields};

void MidiNoteProperty::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList values;
    values.now = list.now;
    values.next = list.next;
    values.offset = list.offset;
    SolveBranch(childOne, list);
    SolveBranch(childTwo, values);
    if (list.next != kFixedStep) nodes::LowerNext(list, values.next);
    if (list.IsEmpty() || values.IsEmpty()) return;
    const SongEvent* v = values.head;
    const bool set = replace == 1;
    for (SongEvent* e = list.head; e; e = e->next) {
        const double x = v->GetValue();
        if (affectChannel) e->SetChannel(ToInt(set ? x + 1.0 : e->GetChannel() + x));
        if (affectPitch) e->SetData1(ToDataByte(set ? x : e->GetData1() + x));
        if (affectVelocity) e->SetData2(ToDataByte(set ? x : e->GetData2() + x));
        if (affectDuration) {
            e->SetDuration(ToUInt(set ? x : static_cast<double>(e->GetDuration()) + x));
        }
        if (v->next) v = v->next;
    }
}

// ---- PitchBend --------------------------------------------------------------------------------

const ParamField PitchBend::kFields[] = {
    Param<&PitchBend::channel>({.key = "channel",
                                .label = "Channel",
                                .store = ParamStore::U16,
                                .control = ParamControl::List,
                                .min = 0,
                                .max = 15,
                                .def = 0,
                                .choices = kChannelChoices}),
    Param<&PitchBend::upperBound>({.key = "upperBound",
                                   .label = "Pitch Upper Bound",
                                   .store = ParamStore::I16,
                                   .control = ParamControl::Number,
                                   .min = -8192,
                                   .max = 8191,
                                   .def = 8191}),
    Param<&PitchBend::lowerBound>({.key = "lowerBound",
                                   .label = "Pitch Lower Bound",
                                   .store = ParamStore::I16,
                                   .control = ParamControl::Number,
                                   .min = -8192,
                                   .max = 8191,
                                   .def = -8192}),
};

constinit const NodeTypeInfo PitchBend::kInfo = {
    .typeName = "PitchBend",
    .displayName = "PitchBend",
    .typeId = 210,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 120,
    .info =
        "This function micro-tonally alters the pitch of a given channel. It basically makes the "
        "instrument 'fretless', such that the octave is divided into many more than 12 intervals. "
        " ",
    .dialogTitle = "PitchBend Definition",
    .params = PitchBend::kFields};

void PitchBend::Serialize(CArchive& ar) {
    ProtoType::Serialize(ar);
    if (!ar.IsStoring() && lowerBound > upperBound) std::swap(lowerBound, upperBound);
}

void PitchBend::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog && lowerBound > upperBound) std::swap(lowerBound, upperBound);
}

void PitchBend::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    SongEvent* f = list.head;
    if (!f) return;
    int64_t b = ToInt(f->GetValue());
    if (b < lowerBound)
        b = lowerBound;
    else if (b > upperBound)
        b = upperBound;
    list.RemoveAll();
    const int64_t u = b + 8192;
    const uint8_t status = static_cast<uint8_t>(0xE0 | (static_cast<uint32_t>(channel) & 0x0F));
    list.Add(new EventMidi(list.now, status, LowByte(u % 128), LowByte(u / 128), 0));
}

// ---- Scale ------------------------------------------------------------------------------------

#define SCALE_ENTRY(i)                                                                             \
    nodes::ParamElem<&Scale::scaleTable, i>({.key = "scaleTable" #i,                               \
                                             .store = ParamStore::I16,                             \
                                             .control = ParamControl::Hidden,                      \
                                             .min = -32768,                                        \
                                             .max = 32767,                                         \
                                             .def = 0})

const ParamField Scale::kFields[] = {
    Param<&Scale::key>({.key = "key",
                        .label = "Key",
                        .store = ParamStore::U16,
                        .control = ParamControl::List,
                        .min = 0,
                        .max = 11,
                        .def = 0,
                        .holdOnRead = true,
                        .choices = kKeyChoices}),
    Param<&Scale::scaleName>({.key = "scaleName",
                              .label = "Scale",
                              .store = ParamStore::Text,
                              .control = ParamControl::List,
                              .max = 48,
                              .defText = "None",
                              .choices = kScaleChoices}),
    Param<&Scale::fitName>({.key = "fitName",
                            .label = "Fit",
                            .store = ParamStore::Text,
                            .control = ParamControl::List,
                            .max = 24,
                            .defText = "None",
                            .choices = kFitChoices}),
    SCALE_ENTRY(0),
    SCALE_ENTRY(1),
    SCALE_ENTRY(2),
    SCALE_ENTRY(3),
    SCALE_ENTRY(4),
    SCALE_ENTRY(5),
    SCALE_ENTRY(6),
    SCALE_ENTRY(7),
    SCALE_ENTRY(8),
    SCALE_ENTRY(9),
    SCALE_ENTRY(10),
    SCALE_ENTRY(11),
    nodes::ParamElem<&Scale::scaleTable, 12>({.key = "scaleTable12",
                                              .store = ParamStore::I16,
                                              .control = ParamControl::Hidden,
                                              .min = 0,
                                              .max = 12,
                                              .def = 0,
                                              .holdOnRead = true}),
    Param<&Scale::tableMode>({.key = "tableMode",
                              .store = ParamStore::U16,
                              .control = ParamControl::Hidden,
                              .min = 0,
                              .max = 1,
                              .def = 1}),
};
#undef SCALE_ENTRY

constinit const NodeTypeInfo Scale::kInfo = {
    .typeName = "Scale",
    .displayName = "Scale",
    .typeId = 212,
    .bitmapId = 0,
    .branches = 1,
    .family = "Midi",
    .menuOrder = 130,
    .info =
        "The answer given by the left branch is passed through the type of scale defined in this "
        "function.  In addition  to selecting the scale, and the key in which  the scale should be "
        "played, you need to select the type of scale-fitting which occurs.  Cut will remove the "
        "notes which are not in the scale.  Push Up and Push Down will push the notes into the "
        "scale.  Seamless fit makes every pitch increment equivalent to one step within the scale. "
        " "
        "Seamless fitting begins at the middle note of the selected key, so if the key is C, the "
        "middle (unadjusted) note would be C3 ( or value 60).  ",
    .dialogTitle = "Scale Definition",
    .params = Scale::kFields};

void Scale::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog) nodes::ApplyScale(*this, scaleName, fitName);
}

bool Scale::Fit(int pitch, int& out) const {
    const int k = std::clamp(key, 0, 11);
    if (tableMode != 0) {
        const int d = (pitch - k + 15) % 12;
        const int adjust = scaleTable[d < 0 ? d + 12 : d];
        if (adjust == kScaleCut) return false;
        out = static_cast<int>((int64_t{pitch} + adjust) & 0xFF);
        return true;
    }
    const int n = std::clamp(scaleTable[12], 0, 12);
    if (n == 0) {
        out = pitch;
        return true;
    }
    const int root = k + 57;
    const int b = pitch - root;
    const int q = b / n;
    const int r = b % n;
    const int64_t step = r < 0 ? int64_t{scaleTable[n + r]} - 12 : int64_t{scaleTable[r]};
    out = static_cast<int>((int64_t{q} * 12 + step + root) & 0xFF);
    return true;
}

void Scale::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    SongEvent* e = list.head;
    while (e) {
        SongEvent* following = e->next;
        int pitch = 0;
        if (Fit(e->GetData1(), pitch))
            e->SetData1(LowByte(pitch));
        else
            list.Remove(e);
        e = following;
    }
}

// ---- factory ----------------------------------------------------------------------------------

namespace {
const NodeFactoryEntry kMidiTypes[] = {
    {&Arpeggiate::kInfo, &CreateTyped<Arpeggiate>},
    {&ChordBuilder::kInfo, &CreateTyped<ChordBuilder>},
    {&Delay::kInfo, &CreateTyped<Delay>},
    {&MidiDrumNote::kInfo, &CreateTyped<MidiDrumNote>},
    {&MidiInput::kInfo, &CreateTyped<MidiInput>},
    {&Interpolate::kInfo, &CreateTyped<Interpolate>},
    {&Invert::kInfo, &CreateTyped<Invert>},
    {&MidiController::kInfo, &CreateTyped<MidiController>},
    {&MidiData::kInfo, &CreateTyped<MidiData>},
    {&MidiNote::kInfo, &CreateTyped<MidiNote>},
    {&MidiNoteProperty::kInfo, &CreateTyped<MidiNoteProperty>},
    {&PitchBend::kInfo, &CreateTyped<PitchBend>},
    {&Scale::kInfo, &CreateTyped<Scale>},
};
} // namespace

std::span<const NodeFactoryEntry> MidiNodeTypes() {
    return kMidiTypes;
}
