// The MIDI family: nodes that yield and transform MIDI messages.
//
// So far the family holds its note generator; the rest of the family is listed in the registry
// and added to MidiNodeTypes() as it is built.
#pragma once

#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>

std::span<const NodeFactoryEntry> MidiNodeTypes();

class MidiNote : public TypedNode<MidiNote> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Empties the list and yields one note-on at now carrying the note's duration.
    void Solve(CNoteEventList& list) override;
    void EditData() override;

    uint32_t reserved = 0; // stored as a 16-bit zero, ignored when read
    int32_t channel = 0;
    float pitch = 60.0f;
    float velocity = 70.0f;
    float noteDuration = 50.0f;
};
