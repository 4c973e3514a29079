// The undoable edits of a tree document, as commands on its undo stack (documents/undo_stack.h).
//
// A command never keeps a pointer to a node: it names nodes by their path from the Root ("L"
// and "R" per level, ProtoType::GetPath) and keeps what it must put back as stored copies:
// subtrees as their node records (type name and record, the tree file's own form), a node's own
// state as its times, name, parameter values and references (each reference as the path of the
// node it names). Because the stack undoes and redoes in order, the tree a command meets on
// Undo is the tree its Do left, and on Redo the tree it found, so the paths always lead to the
// same places. Nodes replaced or destroyed in between cannot leave a command dangling.
//
// The first Do makes the edit live (the action the editor gives: Replace-with and Copy,
// MakeAccretion, ExchangeParams, OnPick ...) and then records its outcome; Undo and Redo put
// the recorded copies back. Side effects on other nodes are recorded too: a subtree's removal
// clears the references other nodes held into it, and Undo gives them back.
//
// Every command tells the document which absolute range to re-solve (the earlier start to the
// later end of the windows before and after) and redraws the views. The editor
// (editing/tree_editor.h) makes these; nothing else needs to. User-interface thread only.
#pragma once

#include "documents/undo_stack.h"
#include "tree/proto_type.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CDendraDoc;

// A node's path from the Root; "" names the Root.
using NodePath = std::string;

NodePath PathOf(const ProtoType& node);
// The node at `path` in the document's tree, or null.
ProtoType* NodeAt(CDendraDoc& doc, const NodePath& path);

// A subtree as its type name and node record.
std::vector<uint8_t> SaveSubtree(ProtoType& node);
// Puts the subtree `bytes` hold in place of `at` (Replace-with, so references to `at` follow
// the new node and references into at's branches are dropped), then resolves the Pointer paths
// the record holds. Returns the new node, or null (nothing changed) when the bytes name a type
// the factory does not know.
ProtoType* LoadSubtree(ProtoType& at, const std::vector<uint8_t>& bytes);

// A deep copy of `source` made apart from any tree (Copy, then CopyInnerReferences), so that
// copying a large subtree does not walk the document's tree once per copied node.
std::unique_ptr<ProtoType> DetachedCopy(const ProtoType& source);
// Puts `made` (a node of no tree) in place of `at` as Replace-with does: references to `at`
// follow it, references into at's branches are dropped, `at` is destroyed. Returns the node.
ProtoType* Transplant(ProtoType& at, std::unique_ptr<ProtoType> made);

// After `copy` was made from `source` by Copy (same shape): each reference the source holds to
// a node inside the source, which Copy could not keep, is given to the copy's node at the same
// place, so a copied Pointer points into the copy as the original pointed into the original.
void CopyInnerReferences(const ProtoType& source, ProtoType& copy);

// Replaces the subtree at a path: Define, Cut, Delete, Paste, Add From File, Expand Pointer.
// `action` gets the node at the path and makes the edit, returning the node now at the path,
// or null when it did nothing (the tree must then be unchanged).
class SubtreeCommand : public Command {
public:
    using Action = std::function<ProtoType*(ProtoType& node)>;
    SubtreeCommand(CDendraDoc& doc, std::string label, NodePath path, Action action);
    ~SubtreeCommand() override;

    std::string Label() const override { return label_; }
    bool Do() override;
    bool Undo() override;
    bool Redo() override;

private:
    struct Ref;
    // Replaces the node at the path by `bytes`; the selected and top node inside it move to the
    // new node.
    bool Put(const std::vector<uint8_t>& bytes);

    CDendraDoc& doc_;
    std::string label_;
    NodePath path_;
    Action action_;
    std::vector<uint8_t> before_;
    std::vector<uint8_t> after_;
    std::vector<Ref> refsInto_; // references from outside into the old subtree
};

// Changes one node in place: its times, name, parameters and references (Params, Redefine
// Pointer, Find Pointer Name, Forget Target, the Accrete's Child One). `action` makes the edit;
// when the node's state comes out the same, Do reports that nothing was done.
class NodeStateCommand : public Command {
public:
    using Action = std::function<void(ProtoType& node)>;
    NodeStateCommand(CDendraDoc& doc, std::string label, NodePath path, Action action);
    ~NodeStateCommand() override;

    std::string Label() const override { return label_; }
    bool Do() override;
    bool Undo() override;
    bool Redo() override;

    struct State;

private:
    bool Apply(const State& state);

    CDendraDoc& doc_;
    std::string label_;
    NodePath path_;
    Action action_;
    std::unique_ptr<State> before_;
    std::unique_ptr<State> after_;
};

// Make Accretion: wraps the node at `path` in an Accrete, leaving out the node at `leftOut`
// ("" for none; it must lie inside the node). Undo unwraps it.
class AccreteCommand : public Command {
public:
    AccreteCommand(CDendraDoc& doc, NodePath path, NodePath leftOut, bool hasLeftOut);
    std::string Label() const override { return "Make Accretion"; }
    bool Do() override;
    bool Undo() override;

private:
    CDendraDoc& doc_;
    NodePath path_;
    NodePath leftOut_;
    bool hasLeftOut_;
};

// Un-Accrete: the Accrete at `path` gives its place to its branch. Undo wraps the branch again
// in an Accrete with the old name, window, inner references, and every reference other nodes
// held to the Accrete.
class UnAccreteCommand : public Command {
public:
    UnAccreteCommand(CDendraDoc& doc, NodePath path);
    ~UnAccreteCommand() override;
    std::string Label() const override { return "Un-Accrete"; }
    bool Do() override;
    bool Undo() override;
    bool Redo() override;

private:
    struct Saved;
    CDendraDoc& doc_;
    NodePath path_;
    std::unique_ptr<Saved> saved_;
};

// Align Times: the node's branches take start 0 and its duration, all the way down. Undo puts
// back every window of the subtree.
class AlignTimesCommand : public Command {
public:
    AlignTimesCommand(CDendraDoc& doc, NodePath path);
    std::string Label() const override { return "Align Times"; }
    bool Do() override;
    bool Undo() override;
    bool Redo() override;

private:
    using Windows = std::vector<std::pair<uint32_t, uint32_t>>; // start, duration, pre-order
    bool Apply(const Windows& windows);

    CDendraDoc& doc_;
    NodePath path_;
    Windows before_;
    Windows after_;
};
