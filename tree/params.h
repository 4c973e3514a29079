// The one description of a node type's own parameters.
//
// Every node type lists its own fields once, in a static table of ParamField entries, in the
// order they are stored after the node's base record. Each entry names the field (the key the
// JSON dump uses), its dialog label, its width on file, its dialog control, its accepted range
// and its default. Copy, Serialize, the JSON dump and the parameter dialogs all walk that table,
// so a new node type declares its fields in exactly one place:
//
//     // loop.h                              // loop.cpp
//     class Loop : public TypedNode<Loop> {    const ParamField Loop::kFields[] = {
//     public:                                      Param<&Loop::loopPoint>("loopPoint",
//         uint32_t loopPoint = 480;                    "Loop Point:", ParamStore::U32,
//         static const ParamField kFields[];           ParamControl::Seconds, 1, 4294967295.0,
//         static const NodeTypeInfo kInfo;             480, kHoldOnRead)};
//     };
//
// The in-class initialisers are the defaults a new node gets; `def` repeats them for the
// dialog's reset and for the dump (a test checks that both agree for every registered type).
// Fields marked kHoldOnRead are held to [min, max] when read from a file, for values that would
// otherwise divide by zero or explode.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

class CArchive;
class ProtoType;

// How a field travels in the archive.
enum class ParamStore : uint8_t {
    U16,  // unsigned 16-bit (flags, small counts)
    I16,  // signed 16-bit, read back with its sign
    U32,  // 32-bit
    F32,  // IEEE single
    Text, // archive string
    None, // not stored (shown in the dialog only)
};

// The dialog control of a field.
enum class ParamControl : uint8_t {
    Check,        // check box; the value is 0 or 1
    Number,       // numeric edit field, held to [min, max]
    Seconds,      // numeric edit shown in seconds (value × 0.001), stored in ms, truncated
    Text,         // text edit
    ReadOnlyText, // text shown, not edited
    Hidden,       // no control
};

// The in-memory type of a field, deduced from the member.
enum class ParamType : uint8_t { Bool, Int32, UInt32, Float, Text };

constexpr bool kHoldOnRead = true;

struct ParamField {
    const char* key;   // code and JSON name
    const char* label; // dialog label, the system's own text
    ParamStore store;
    ParamControl control;
    double min;
    double max;
    double def;
    bool holdOnRead;
    ParamType type;
    void* (*at)(ProtoType&);
    const void* (*cat)(const ProtoType&);
};

using ParamTable = std::span<const ParamField>;

namespace params_detail {
template <auto M> struct MemberOf;
template <class C, class T, T C::*M> struct MemberOf<M> {
    using Class = C;
    using Type = T;
};
template <auto M> void* At(ProtoType& node) {
    using I = MemberOf<M>;
    return &(static_cast<typename I::Class&>(node).*M);
}
template <auto M> const void* CAt(const ProtoType& node) {
    using I = MemberOf<M>;
    return &(static_cast<const typename I::Class&>(node).*M);
}
template <class T> constexpr ParamType TypeOf() {
    if constexpr (std::is_same_v<T, bool>)
        return ParamType::Bool;
    else if constexpr (std::is_same_v<T, int32_t>)
        return ParamType::Int32;
    else if constexpr (std::is_same_v<T, uint32_t>)
        return ParamType::UInt32;
    else if constexpr (std::is_same_v<T, float>)
        return ParamType::Float;
    else {
        static_assert(std::is_same_v<T, std::string>, "unsupported parameter type");
        return ParamType::Text;
    }
}
} // namespace params_detail

// One table entry for the member M (a pointer to a data member of the node class).
template <auto M>
constexpr ParamField Param(const char* key, const char* label, ParamStore store,
                           ParamControl control, double min, double max, double def,
                           bool holdOnRead = false) {
    using T = typename params_detail::MemberOf<M>::Type;
    return ParamField{key,
                      label,
                      store,
                      control,
                      min,
                      max,
                      def,
                      holdOnRead,
                      params_detail::TypeOf<T>(),
                      &params_detail::At<M>,
                      &params_detail::CAt<M>};
}

// Reading and writing one field as a number (Text fields read as 0 and ignore writes) or as
// text (numbers formatted plainly). SetParamNumber converts as the member's type does
// (truncation toward zero for integers; bool is value != 0).
double GetParamNumber(const ParamField& field, const ProtoType& node);
void SetParamNumber(const ParamField& field, ProtoType& node, double value);
std::string GetParamText(const ParamField& field, const ProtoType& node);
void SetParamText(const ParamField& field, ProtoType& node, const std::string& text);

// Copies every field of the table from source to target (both of the table's type).
void CopyParams(ParamTable table, ProtoType& target, const ProtoType& source);
// Stores or loads the fields in table order (ParamStore::None fields are skipped). On load,
// kHoldOnRead fields are held to [min, max]; a failed archive leaves the remaining fields alone.
void SerializeParams(ParamTable table, ProtoType& node, CArchive& ar);
// Sets every field to its table default.
void ApplyParamDefaults(ParamTable table, ProtoType& node);

// One field's value in a parameter dialog.
struct ParamValue {
    double number = 0.0; // Seconds controls carry seconds here
    std::string text;
};

// The standard parameter dialog's data: the common page (start and duration in seconds, the
// name and the description text) and the type's own page, one value per table field.
struct ParamDialog {
    std::string title; // the type's own page title; empty when it has none
    double startSeconds = 0.0;
    double durationSeconds = 0.0;
    std::string name;
    std::string info;
    std::vector<ParamValue> fields;
};

// Fills dialog.fields from the node / stores them back (held to each field's range; Seconds
// values × 1000 truncated; ReadOnlyText, Hidden and missing values are left unchanged).
void ParamsToDialog(ParamTable table, const ProtoType& node, ParamDialog& dialog);
void ParamsFromDialog(ParamTable table, ProtoType& node, const ParamDialog& dialog);
