// What the node families share beyond the node protocol: the number conversions every node
// uses, the choice lists the parameter dialogs offer, and the parameter logic that is not
// drawing (chord names, scales and fits, "Use Hz"), callable from the dialogs and from tests.
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

// ---- choice lists -----------------------------------------------------------------------------

struct Choice {
    const char* label;
    int value;
};

// The choices a dialog offers for a field (type name and field key as in the type's table);
// empty when the field is edited freely.
std::span<const Choice> FindChoices(const std::string& typeName, const std::string& key);

std::span<const Choice> ChordChoices();             // the ChordBuilder dialog's chord names
std::span<const Choice> ScaleChoices();             // the twelve scale names
std::span<const Choice> FitChoices();               // "Cut", "Push Up", "Push Down", "Seamless"
std::span<const Choice> KeyChoices();               // "A" .. "G#", value = key
std::span<const Choice> ControllerChoices();        // the defined controllers, value = number
std::span<const Choice> DrumChoices();              // 47 percussion names, value = pitch 35..81
std::span<const Choice> ChannelChoices();           // "0" .. "15"
std::span<const Choice> DrumChannelChoices();       // the same, entry 9 "9 -> GM Drum Setting"
std::span<const Choice> ControllerChannelChoices(); // "1" .. "16", value = channel

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

// A parameter table entry for element I of an array member M.
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

template <auto M, size_t I>
constexpr ParamField ParamElem(const char* key, const char* label, ParamStore store,
                               ParamControl control, double min, double max, double def,
                               bool holdOnRead = false) {
    using T = typename detail::ArrayOf<M>::Type;
    return ParamField{key,
                      label,
                      store,
                      control,
                      min,
                      max,
                      def,
                      holdOnRead,
                      params_detail::TypeOf<T>(),
                      &detail::ElemAt<M, I>,
                      &detail::ElemCAt<M, I>};
}

} // namespace nodes

#include "events/event_list.h"

inline bool nodes::Passes(ProtoType& node, CNoteEventList& list) {
    return list.next == kFixedStep || node.IsActive(list);
}
