#include "editing/tree_clipboard.h"

#include "editing/tree_commands.h"
#include "nodes/builtin_nodes.h"
#include "tree/registry.h"

TreeClipboard::TreeClipboard() : holder_((RegisterBuiltinNodeTypes(), std::make_unique<Root>())) {}

void TreeClipboard::Clear() {
    if (!IsEmpty()) ReplaceWith(holder_->childOne, "Null");
}

bool TreeClipboard::IsEmpty() const {
    return !holder_->childOne || holder_->childOne->GetTypeId() == Null::kInfo.typeId;
}

void TreeClipboard::Set(const ProtoType* node) {
    Clear();
    if (!node || !node->parent) return;
    Transplant(*holder_->childOne, DetachedCopy(*node));
}

TreeClipboard& ApplicationTreeClipboard() {
    static TreeClipboard clipboard;
    return clipboard;
}
