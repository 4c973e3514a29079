// The text form of trees (documents/text_form.h says what every text form shares):
//
//   {"kind":"tree","version":5,"solvable":true,"saveGenerated":true,"comments":"...",
//    "root":NODE,"solution":[EVENTS]}
//   NODE: {"type":"Every","id":4,"name":"Every","start":0,"duration":10000,
//          "params":{...},"children":[NODE,...]}
//
// "params" holds the stored fields of the type's parameter table (tree/params.h) under their
// keys; a type with data beyond its table adds fields of its own through its NodeTextHook:
//   Word     "events": [EVENTS] (and "eventsLength" when its store's cached length is not the
//            end of its last event)
//   Pointer  "target": the path of the node it points to, "L"/"R" steps from the Root
//   Accrete  "inner": up to two paths of its inner references, "L"/"R" steps from the Accrete
// A new type whose fields are all in its table needs nothing here.
//
// Written by hand, every field may be left out: "kind", "version" (both only checked),
// "solvable" true, "saveGenerated" true, "comments" "No Comments.", "root" a Root over a Null,
// "solution" none (a tree that keeps its solution but gives none is solved as it is read); a
// node's "name" is its type's, "start" 0, "duration" its parent's, each parameter its table
// default, missing branches become Null nodes. A "root" that is not a Root is the Root's branch.
// "type" may be any name the factory takes (or only "id"); a number field with choices also
// takes a choice's label ("Acoustic Snare" for a drum note's pitch).
//
// Refused, naming the node ("Root/L/R (MidiNote)") and the field: an unknown type, field or
// parameter, a value of the wrong kind, a number outside its range (or one that is not whole
// where the field stores a whole number), a parameter that is not stored, more branches than
// the type has, nesting deeper than kMaxNodeDepth, a Pointer target or Accrete reference that
// names no node, a Pointer target that contains the Pointer.
//
// Used on the user-interface thread.
#pragma once

#include "documents/text_form.h"

#include <string>
#include <string_view>
#include <vector>

class CArchive;
class CDendraDoc;
class ProtoType;
struct NodeTypeInfo;

// What a hook's reader may ask of the tree being read.
class NodeTextContext {
public:
    virtual ~NodeTextContext() = default;
    // The path of the node being read from the Root: "" for the Root, then "L"/"R" per level.
    virtual const std::string& NodePath() const = 0;
    // Requires a node at `path` (from the Root) once the whole tree is read; `field` names the
    // field in the message. A node that contains the one being read is refused unless
    // `mayContain` is set.
    virtual void RequireNode(const std::string& path, const std::string& field,
                             bool mayContain) = 0;
};

// The text form of a type's data beyond its parameter table.
struct NodeTextHook {
    const char* typeName;
    // Adds the data to the node's object (after "children").
    void (*write)(const ProtoType& node, TextJson& object);
    // Appends what the type stores after its table to the node's record, from the fields of
    // the node's object (taken through `object`; absent fields give a new node's data). Throws
    // textform::Error, through object.Fail, for a field it cannot take.
    void (*read)(textform::ObjectReader& object, NodeTextContext& context, CArchive& out);
    // The type stores its data before its table rather than after it.
    bool dataFirst = false;
};

// False for the types whose records the text form does not describe (the wave family and
// effect-library nodes): a text naming one is refused, and a tree holding one is not saved as
// text.
bool TextFormHolds(const NodeTypeInfo& info);

// Adds a hook (start-up, user-interface thread); a second hook for a type replaces the first.
void RegisterNodeTextHook(const NodeTextHook& hook);
// The hook of a type name (the factory's canonical name), or null.
const NodeTextHook* FindNodeTextHook(std::string_view typeName);

// A node and its subtree.
TextJson NodeJson(const ProtoType& node);
// The whole tree document (what `dump` prints).
TextJson TreeJson(CDendraDoc& doc);
// The text form as `convert` writes it: indented, one event or parameter list a line.
std::string TreeText(CDendraDoc& doc);

// Appends the tree file's bytes for a tree object; `where` prefixes messages ("" at the top of
// a file). With `solve` off, a tree that keeps its solution but gives none is not solved (it is
// then read as one that keeps none). Throws textform::Error.
void WriteTreeFile(const TextJson& tree, const std::string& where, CArchive& out,
                   bool solve = true);
// The tree file's bytes for a whole text; false with the message (a syntax error's line and
// column, or the node and field) when it cannot be read.
bool TreeTextToFile(std::string_view text, std::vector<uint8_t>& bytes, std::string* error,
                    bool solve = true);
