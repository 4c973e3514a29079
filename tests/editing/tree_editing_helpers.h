// Shared helpers of the tree editing tests: a document whose bytes leave out the solution, and
// building trees through the editor.
#pragma once

#include "documents/tree_document.h"
#include "editing/tree_commands.h"
#include "editing/tree_editor.h"
#include "events/archive.h"

#include <string>
#include <vector>

namespace treeedit {

// A tree document that stores no solution and solves nothing by itself, so that its bytes are
// the tree alone.
struct QuietDoc : CDendraDoc {
    QuietDoc() {
        Options().saveGenerated = false;
        Options().resolveOnChange = false;
    }
};

inline std::vector<uint8_t> Bytes(CDendraDoc& doc) {
    CArchive ar;
    doc.WriteDocument(ar);
    return ar.Buffer();
}

// Defines the Null `at` as `type` through the editor and returns the new node.
inline ProtoType* Define(TreeEditor& editor, ProtoType* at, const std::string& type) {
    const NodePath path = PathOf(*at);
    if (!editor.Define(at, type)) return nullptr;
    return NodeAt(editor.Document(), path);
}

} // namespace treeedit
