// The sound-card family: nodes that set a synthesis parameter of a sound card through one MIDI
// non-registered parameter number (NRPN) message.
//
// Each member reads a number from its branch, truncates it toward zero, holds it to the range of
// the chosen card parameter and yields four control changes on its channel at now, in this
// order: (99, 127) NRPN select high, (98, n) NRPN select low, (6, (v + 8192) div 128) data entry
// high, (38, (v + 8192) mod 128) data entry low. Every range keeps v + 8192 within 0 … 16383.
//
// The range and the NRPN number n (Target) are derived from the parameters whenever they are
// asked for, so they follow the fields however those were set (dialog, file, Copy, text form);
// they are never stored. Parameters that exist for the first envelope or LFO only use the first
// whatever the stored number says, and OK in the dialog sets the number to 1 for them.
//
//   SbEffects   effect 2 "Reverb" 0…255 n 26; any other effect "Chorus" 0…255 n 25
//   SbEnvelope  envParameter 1-8 (Delay, Attack, Hold, Decay, Sustain, Release, Env1ToPitch,
//               Env1ToFilterCutoff) with envNumber 1 or 2 (7 and 8 exist for envelope 1 only)
//   SbLFO       lfoParameter 1-5 (Delay, Frequency, Pitch, LFO1To Volume, LFO1To Filter Cutoff)
//               with lfoNumber 1 or 2 (4 and 5 exist for LFO 1 only)
//   SbPitch     −8192…8191 n 16
//   SbFilter    keeps its parameter and channel but yields nothing (it empties the list when
//               its window is open)
//
// SbFilter, SbLFO and SbPitch store their type name with the "Fx" prefix ("FxSbFilter", ...),
// which the factory's "Fx" rule maps back to the registry name.
//
// Choices made where the behaviour was open:
// - Every member empties the list before it solves its branch, so a branch that yields nothing
//   (a window not yet open) never turns what the list held into a message.
// - A parameter outside the table (SbEnvelope or SbLFO parameter 0, or a value only a file can
//   hold) has no NRPN number (kNoNrpn) and yields nothing, as parameter 0 does.
// - An envelope or LFO number other than 2 selects the first envelope or LFO.
// - Reading and Copy keep the stored number as it is (a record reads back and copies byte for
//   byte); the NRPN number is the same either way.
// - The four messages are linked in sending order (99, 98, 6, 38) in the list.
#pragma once

#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>

std::span<const NodeFactoryEntry> SoundCardNodeTypes();

// The NRPN number of a parameter that has none.
constexpr int32_t kNoNrpn = -1;

// The card parameter a member sets: the range its value is held to and its NRPN number.
struct NrpnTarget {
    int32_t lowerBound = 0;
    int32_t upperBound = 0;
    int32_t nrpnNumber = kNoNrpn;
};

// What the members share: the channel, the solve, and the number set on OK.
class SoundCardNode : public ProtoType {
public:
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void Solve(CNoteEventList& list) override;

    // Derived from the parameters.
    virtual NrpnTarget Target() const = 0;

    int32_t channel = 0;

protected:
    // On OK: a parameter that exists for the first envelope or LFO only sets the number to 1.
    virtual void SettleNumber() {}
};

class SbEffects : public TypedNode<SbEffects, SoundCardNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    NrpnTarget Target() const override;

    int32_t effect = 1; // 1 Chorus, 2 Reverb
};

class SbEnvelope : public TypedNode<SbEnvelope, SoundCardNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    NrpnTarget Target() const override;

    int32_t envNumber = 1;
    int32_t envParameter = 0; // 0 none

protected:
    void SettleNumber() override;
};

class SbFilter : public TypedNode<SbFilter, SoundCardNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void GetFxTypeName(std::string& text) const override { text = "FxSbFilter"; }
    NrpnTarget Target() const override { return {}; }
    void Solve(CNoteEventList& list) override;

    int32_t filterParameter = 0; // 0 cutoff, 1 resonance
};

class SbLFO : public TypedNode<SbLFO, SoundCardNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void GetFxTypeName(std::string& text) const override { text = "FxSbLFO"; }
    NrpnTarget Target() const override;

    int32_t lfoNumber = 1;
    int32_t lfoParameter = 0; // 0 none

protected:
    void SettleNumber() override;
};

class SbPitch : public TypedNode<SbPitch, SoundCardNode> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void GetFxTypeName(std::string& text) const override { text = "FxSbPitch"; }
    NrpnTarget Target() const override { return {-8192, 8191, 16}; }
};
