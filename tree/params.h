// The one description of a node type's own parameters.
//
// Every node type lists its own fields once, in a static table of ParamField entries, in the
// order they are stored after the node's base record. Each entry names the field (the key the
// JSON dump uses), its dialog label, its width on file, its dialog control, its accepted range,
// its default and the choices its control offers. Copy, Serialize, the JSON dump, `dendra-cli
// types` and the parameter dialogs all walk that table, so a new node type declares its fields in
// exactly one place, every number named:
//
//     // loop.h
//     class Loop : public TypedNode<Loop> {
//     public:
//         uint32_t loopPoint = 480;
//         static const ParamField kFields[];
//         static const NodeTypeInfo kInfo;
//     };
//     // loop.cpp
//     const ParamField Loop::kFields[] = {
//         Param<&Loop::loopPoint>({.key = "loopPoint", .label = "Loop Point:",
//                                  .store = ParamStore::U32, .control = ParamControl::Seconds,
//                                  .min = 1, .max = 4294967295.0, .def = 480,
//                                  .holdOnRead = true}),
//     };
//
// The in-class initialisers are the defaults a new node gets; `def` (`defText` for text fields)
// repeats them for the dialog's reset and for the listings (a test checks that both agree for
// every registered type). Fields with holdOnRead are held to [min, max] when read from a file,
// for values that would otherwise divide by zero or explode.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
    Check,   // check box; the value is 0 or 1
    Number,  // numeric edit field, held to [min, max]; with choices, they are offered beside it
    Seconds, // numeric edit shown in seconds (value × 0.001), stored in ms, truncated
    Text,    // text edit; with choices, they are offered beside it
    ReadOnlyText, // text shown, not edited
    Hidden,       // no control
    List,         // a list of the field's choices only: a number field takes the chosen entry's
                  // value, a text field its label
};

// The in-memory type of a field, deduced from the member.
enum class ParamType : uint8_t { Bool, Int32, UInt32, Float, Text };

// One entry a field's control offers.
struct ParamChoice {
    const char* label; // the text shown (and what a text field stores)
    int value;         // the number a numeric field takes
};

// A field as a node type writes it, with designated initialisers; Param<M> (or a family's
// element helper) makes the table entry. A field that is neither stored nor shown is a mistake
// (a test looks for one).
struct ParamSpec {
    const char* key;        // code and JSON name
    const char* label = ""; // dialog label, the system's own text
    ParamStore store = ParamStore::None;
    ParamControl control = ParamControl::Hidden;
    double min = 0.0;         // numbers: the accepted range
    double max = 0.0;         // text: the longest text the dialog takes (0: no limit)
    double def = 0.0;         // numbers: the default
    const char* defText = ""; // text: the default
    bool holdOnRead = false;  // held to [min, max] when read from a file
    std::span<const ParamChoice> choices = {};
};

struct ParamField : ParamSpec {
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
template <auto M> constexpr ParamField Param(const ParamSpec& spec) {
    using T = typename params_detail::MemberOf<M>::Type;
    return ParamField{spec, params_detail::TypeOf<T>(), &params_detail::At<M>,
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
// holdOnRead fields are held to [min, max]; a failed archive leaves the remaining fields alone.
void SerializeParams(ParamTable table, ProtoType& node, CArchive& ar);
// Sets every field to its table default (def, or defText for text fields).
void ApplyParamDefaults(ParamTable table, ProtoType& node);
// The field of the table with this key, or null.
const ParamField* FindParam(ParamTable table, std::string_view key);

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

// Fills dialog.fields from the node / stores them back (numbers held to each field's range, text
// cut to its longest length; Seconds values × 1000 truncated; a List takes the number of a
// numeric field and the text of a text field; ReadOnlyText, Hidden and missing values are left
// unchanged).
void ParamsToDialog(ParamTable table, const ProtoType& node, ParamDialog& dialog);
void ParamsFromDialog(ParamTable table, ProtoType& node, const ParamDialog& dialog);
