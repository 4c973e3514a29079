// Storing and reading node records in tree files.
//
// A node record is the node's name, start and duration, then for each branch the type makes
// the branch's type name (archive string) and its record, then the type's own fields
// (ProtoType::Serialize). These entries wrap it for the document:
//
//   store:  WriteNodeRecord(ar, root)                 (the Root's record, version 5)
//   load:   root.fileVersion = version; NodeReadError e;
//           if (!ReadNodeRecord(ar, root, &e)) { show e.message; discard the tree; }
//
// ReadNodeRecord reads into a freshly constructed node (branches still the default Nulls),
// fails on an unknown type name (the message names the type), on nesting deeper than
// kMaxNodeDepth and on a short or corrupt archive, and after a complete read resolves every
// Pointer it read from its stored path (targets may be read after the Pointer, and a path may
// lead anywhere in the tree the record was read into).
#pragma once

#include "tree/proto_type.h"

#include <string>

class CArchive;

// Records nested deeper than this fail the read (a hostile file must not exhaust the stack).
constexpr int kMaxNodeDepth = 400;

struct NodeReadError {
    std::string message;     // for the user
    std::string unknownType; // the type name that was not known, when that was the cause
    bool tooDeep = false;
};

void WriteNodeRecord(CArchive& ar, ProtoType& node);
// The type name (GetFxTypeName) followed by the record.
void WriteTypedNode(CArchive& ar, ProtoType& node);

bool ReadNodeRecord(CArchive& ar, ProtoType& node, NodeReadError* error = nullptr);
// Reads a type name and a record into a node of that type made in placeholder's place
// (Replace-with); returns the new node, or null on failure (the placeholder may then be gone:
// discard the whole tree).
ProtoType* ReadTypedNode(CArchive& ar, ProtoType& placeholder, NodeReadError* error = nullptr);

// Resolves every reference below (and including) `top` that still holds a path read from a
// file (ResolveStoredReference); the paths lead from the Root of top's tree. References
// resolved before are left alone. The readers above call it once the whole record is read.
void ResolveStoredReferences(ProtoType& top);

// Used by ProtoType::Serialize while loading: reads one branch (type name and record) into the
// branch slot `which` (1 or 2) of `node`. False (and the archive failed) on error.
bool ReadBranch(CArchive& ar, ProtoType& node, int which);
