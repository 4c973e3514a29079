// What the Root asks of the document that embeds it.
//
// The tree document implements this; the Root keeps a pointer to it (null for a Root that
// belongs to no document, such as the clipboard holder). Everything runs on the user-interface
// thread.
#pragma once

#include <cstdint>

class CEventTree;
class ProtoType;

class TreeOwner {
public:
    virtual ~TreeOwner() = default;
    // A node's time or parameters changed over the absolute range [start, start + length):
    // schedule a re-solve of that range.
    virtual void TreeTimeChanged(uint32_t start, uint32_t length) = 0;
    // The tree's shape or names changed: redraw every view.
    virtual void TreeChanged() = 0;
    // The document's solution, re-solved first when the document is modified (Get events).
    virtual CEventTree& TreeEvents(int flag) = 0;
    // Enter pick mode (1: branch to leave out of an accretion, 2: a target) for `picker`.
    virtual void SetPickMode(int mode, ProtoType* picker) = 0;
    // Open a further window on the tree document (the Root's graph).
    virtual void DisplayTree() = 0;
    // `top` and every node below it are about to be destroyed (the Root heard ForgetSubtree or
    // ForgetNode): whatever the owner keeps of them must go.
    virtual void NodesRemoved(const ProtoType* top) { (void)top; }
    // `old` was replaced by `replacement` (the factory, Un-Accrete; the Root heard
    // ReplaceNode); `old` is about to be destroyed.
    virtual void NodeReplaced(const ProtoType* old, ProtoType* replacement) {
        (void)old;
        (void)replacement;
    }
};
