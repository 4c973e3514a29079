// The clipboard of the tree editor: one for all tree documents of the application.
//
// It keeps a holder Root whose left branch is the clipboard subtree, a Null when the clipboard
// is empty. Copy puts a deep copy there; Paste makes further copies from it, so the clipboard
// never changes on Paste and never holds a node of any document: a copied Pointer keeps only a
// target inside the copied subtree (it then points to the copy of that node), an Accrete its
// inner references by their place.
//
// User-interface thread only.
#pragma once

#include "nodes/control.h"

#include <memory>

class TreeClipboard {
public:
    TreeClipboard();
    TreeClipboard(const TreeClipboard&) = delete;
    TreeClipboard& operator=(const TreeClipboard&) = delete;

    // Replaces the subtree by a deep copy of `node`; null or a Root (a node without parent)
    // empties the clipboard.
    void Set(const ProtoType* node);
    void Clear();
    // True while the subtree is a Null.
    bool IsEmpty() const;
    const ProtoType& Subtree() const { return *holder_->childOne; }

private:
    std::unique_ptr<Root> holder_;
};

// The application's clipboard.
TreeClipboard& ApplicationTreeClipboard();
