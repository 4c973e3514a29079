// What the node families share beyond the node protocol: the number conversions every node
// uses, the scale table, and the parameter logic that is not drawing (chord names, scales and
// fits, "Use Hz"), callable from the dialogs and from tests. The choices a dialog offers live
// with each field, in its type's parameter table (tree/params.h).
//
// Conversions: a float that a node needs as an integer is truncated toward zero and held to the
// integer's range; NaN gives 0. A data byte keeps the low 8 bits of that integer.
#pragma once

#include "tree/params.h"
#include "tree/proto_type.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

class CNoteEventList;
class ChordBuilder;
class Scale;
class TemporalPhase;

namespace nodes {

// Truncation toward zero, saturating at the int32 range; NaN gives 0.
int32_t ToInt(double v);
// Truncation toward zero, saturating at 0 and the uint32 range; NaN gives 0.
uint32_t ToUInt(double v);
// The low 8 bits of ToInt(v).
inline uint8_t ToDataByte(double v) {
    return static_cast<uint8_t>(static_cast<uint32_t>(ToInt(v)) & 0xFFu);
}

// The standard window test: fixed-step solving (next time 0) makes none.
inline bool Passes(ProtoType& node, CNoteEventList& list);
// Solves a branch into the list; a missing branch empties it.
void SolveBranch(ProtoType* branch, CNoteEventList& list);
// next := min(next, t).
void LowerNext(CNoteEventList& list, uint32_t t);

// ---- scales -------------------------------------------------------------------------------------

// The scales the Scale dialog offers, in its order: degrees in semitones above the key (padded
// past the step count as the fits expect) and the number of steps per octave.
struct ScaleDef {
    const char* name;
    int degrees[7];
    int steps;
};
inline constexpr ScaleDef kScaleTable[] = {
    {"Aeolian", {0, 2, 3, 5, 7, 8, 10}, 7},    {"Blues", {0, 3, 4, 5, 6, 7, 10}, 7},
    {"Dorian", {0, 2, 3, 5, 7, 9, 10}, 7},     {"Harmonic Minor", {0, 2, 3, 5, 7, 8, 11}, 7},
    {"Locrian", {0, 1, 3, 5, 6, 8, 10}, 7},    {"Lydian", {0, 2, 4, 6, 7, 9, 11}, 7},
    {"Major", {0, 2, 4, 5, 7, 9, 11}, 7},      {"Melodic Minor", {0, 2, 3, 5, 7, 9, 11}, 7},
    {"Mixolydian", {0, 2, 4, 5, 7, 9, 10}, 7}, {"Pentatonic", {0, 2, 5, 7, 9, 12, 14}, 5},
    {"Phrygian", {0, 1, 3, 5, 7, 8, 10}, 7},   {"Whole-Tone", {0, 2, 4, 6, 8, 10, 12}, 6},
};

// ---- parameter logic --------------------------------------------------------------------------

// Stores a chord name: chordType := name; a name of the chord table sets chordSize and the
// intervals, any other name gives chordSize 0 and leaves the intervals unchanged. Names are
// compared exactly.
void ApplyChord(ChordBuilder& node, const std::string& chordName);
// Stores a scale and a fit: scaleName, fitName, then scaleTable and tableMode built from them.
void ApplyScale(Scale& node, const std::string& scaleName, const std::string& fitName);
// "Use Hz" on OK: with useHz set, loopLength := 1000 ÷ frequency truncated, and a loopLength of
// 0 becomes 1.
void ApplyUseHz(TemporalPhase& node);

// A parameter table entry for element I of an array member M (see Param in tree/params.h).
namespace detail {
template <auto M> struct ArrayOf;
template <class C, class T, size_t N, T (C::*M)[N]> struct ArrayOf<M> {
    using Class = C;
    using Type = T;
};
template <auto M, size_t I> void* ElemAt(ProtoType& node) {
    using A = ArrayOf<M>;
    return &(static_cast<typename A::Class&>(node).*M)[I];
}
template <auto M, size_t I> const void* ElemCAt(const ProtoType& node) {
    using A = ArrayOf<M>;
    return &(static_cast<const typename A::Class&>(node).*M)[I];
}
} // namespace detail

template <auto M, size_t I> constexpr ParamField ParamElem(const ParamSpec& spec) {
    using T = typename detail::ArrayOf<M>::Type;
    return ParamField{spec, params_detail::TypeOf<T>(), &detail::ElemAt<M, I>,
                      &detail::ElemCAt<M, I>};
}

} // namespace nodes

#include "events/event_list.h"

inline bool nodes::Passes(ProtoType& node, CNoteEventList& list) {
    return list.next == kFixedStep || node.IsActive(list);
}
