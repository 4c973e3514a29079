#include "nodes/midi.h"

#include "events/event_list.h"
#include "tree/node_host.h"

#include <algorithm>
#include <cmath>

namespace {
// Truncation toward zero into a data byte's low 8 bits.
uint8_t DataByte(float v) {
    if (std::isnan(v)) return 0;
    double t = std::clamp(std::trunc(static_cast<double>(v)), -2147483648.0, 2147483647.0);
    return static_cast<uint8_t>(static_cast<int32_t>(t) & 0xFF);
}
uint32_t Length(float v) {
    if (!(v > 0.0f)) return 0;
    return static_cast<uint32_t>(std::min(std::trunc(static_cast<double>(v)), 4294967295.0));
}
} // namespace

const ParamField MidiNote::kFields[] = {
    Param<&MidiNote::reserved>("reserved", "", ParamStore::U16, ParamControl::Hidden, 0, 0, 0,
                               kHoldOnRead),
    Param<&MidiNote::channel>("channel", "Channel", ParamStore::U16, ParamControl::Number, 0, 15,
                              0),
    Param<&MidiNote::pitch>("pitch", "Pitch", ParamStore::F32, ParamControl::Number, 0, 127, 60),
    Param<&MidiNote::velocity>("velocity", "Velocity", ParamStore::F32, ParamControl::Number, 0,
                               127, 70),
    Param<&MidiNote::noteDuration>("noteDuration", "Duration", ParamStore::F32,
                                   ParamControl::Number, 0, 10000, 50),
};

constinit const NodeTypeInfo MidiNote::kInfo = {
    "MidiNote",
    "Midi Note",
    208,
    0,
    0,
    "This function yields a note event, and the note's default parameters. These values can be "
    "modified further up the tree through a NoteProperty function.  ",
    "FX_NOTE",
    MidiNote::kFields};

void MidiNote::Solve(CNoteEventList& list) {
    if (list.next != kFixedStep && !IsActive(list)) return;
    list.RemoveAll();
    const uint8_t status = static_cast<uint8_t>(0x90 | (channel & 0x0F));
    list.Add(
        new EventMidi(list.now, status, DataByte(pitch), DataByte(velocity), Length(noteDuration)));
}

void MidiNote::EditData() {
    if (NodeHost* host = GetNodeHost()) host->ToggleDataEditor(*this);
}

namespace {
const NodeFactoryEntry kMidiTypes[] = {
    {&MidiNote::kInfo, &CreateTyped<MidiNote>},
};
} // namespace

std::span<const NodeFactoryEntry> MidiNodeTypes() {
    return kMidiTypes;
}
