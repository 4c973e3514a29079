// The control family: the Root and the nodes that give a tree its shape in time and logic.
//
// Every type here follows the node protocol of tree/proto_type.h; each is described once by
// its kInfo (and, when it has parameters, its kFields table) in control.cpp and listed in
// ControlNodeTypes() for the factory. Times are milliseconds of musical time; the solve state
// (now, next time, offset) travels in the CNoteEventList handed to Solve.
//
// Choices made where the behaviour was open:
// - Substitute solves its left branch into a copy of the list; when that copy holds a note
//   (IsNote) it yields its right branch solved into the list, otherwise it yields nothing. It
//   never walks a list while changing it.
// - Word with "Generate from Tree" regenerates from its left branch only when it has one (a Word
//   makes no branch, so a Word from a file or the factory keeps its stored events).
// - Accrete's "Child One" pick sets its first inner reference to the picked node when that node
//   lies inside the Accrete's subtree (and is not the Accrete), and clears it otherwise.
// - ForgetNode, ForgetSubtree and ReplaceNode of Accrete act on both inner references (a
//   reference is never left pointing at a destroyed node), and an inner reference is only ever
//   a node inside the Accrete's subtree.
// - A Pointer whose target the factory replaces follows the replacement (so Undo of a cut gives
//   the Pointer its target back); a target removed from the tree clears it.
// - A Pointer never targets a node that contains it (itself or an ancestor): picking, resolving
//   by name or by stored path, copying and following a replacement all refuse such a target.
//   Recursion comes only from Pointers that point into each other's subtrees.
// - All Pointers together nest at most kMaxPointerNesting deep and one outermost Pointer solve
//   expands at most kPointerBudget targets, so mutually recursive Pointers cannot hang a solve.
// - Counter with an empty left branch yields its count as a value at the current time.
// - A timed MetaWord (not sequential) asks to be solved again when its second word begins, so
//   an event-mode solve reaches the second word even when nothing else is pending then.
// - Loop in fixed-step mode (next time 0) leaves next time at 0, so fixed-step solving stays
//   fixed-step below and beside it.
// - Read from a file, the loop point is held to at least 1 ms, the quanta to 1-1000 and the
//   Pointer recursion limit to 0-40.
#pragma once

#include "events/event_tree.h"
#include "tree/event_editor_link.h"
#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>
#include <string>

class TreeOwner;

std::span<const NodeFactoryEntry> ControlNodeTypes();

// The messages of the Pointer and the Accrete.
inline constexpr const char* kInvalidSelectionMessage = "Your selection is invalid.  ";
inline constexpr const char* kChildOneMessage =
    "Please Right-Click on the function you wish to make Child One.  ";
// "The Pointer now points to '<name>' "
std::string PointerNowPointsMessage(const std::string& targetName);
// "The name was not found in the tree for '<pointer's name>'."
std::string NameNotFoundMessage(const std::string& pointerName);

class Root : public TypedNode<Root> {
public:
    static const NodeTypeInfo kInfo;
    Root();

    int GetFileVersion() const override;
    int FetchDocumentEvents(int flag, CNoteEventList& list) override;
    uint32_t GetAbsoluteStart() const override;
    float GetTimeScale() const override;
    void NotifyTimeChange(uint32_t from, uint32_t length) override;
    void NotifyChanged() override;
    void Solve(CNoteEventList& list) override;
    void Display() override;
    void MakeAccretion(ProtoType* leftOut) override;
    void OnPick(ProtoType* node) override;
    // These also tell the owner, so that the document's selection never names a destroyed node.
    void ForgetNode(const ProtoType* node) override;
    void ReplaceNode(const ProtoType* old, ProtoType* replacement) override;
    void ForgetSubtree(const ProtoType* top) override;

    TreeOwner* owner = nullptr; // the document; null for holder Roots
    float timeScale = 1000.0f;
    int fileVersion = kTreeFileVersion;
};

class Accrete : public TypedNode<Accrete> {
public:
    static const NodeTypeInfo kInfo;

    void Copy(const ProtoType& source) override;
    void ForgetNode(const ProtoType* node) override;
    void Serialize(CArchive& ar) override;
    void ReplaceNode(const ProtoType* old, ProtoType* replacement) override;
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    ProtoType* GetInnerChild(int which) const override;
    void SetInnerChild(int which, ProtoType* node) override;
    void Solve(CNoteEventList& list) override;
    void GetSpecialName(int which, std::string& label) const override;
    void Special(int which) override;
    void OnPick(ProtoType* node) override;
    int ReferenceSlots() const override { return 2; }
    ProtoType* GetReference(int slot) const override;
    void SetReference(int slot, ProtoType* node) override;
    void ForgetSubtree(const ProtoType* top) override;

    // The path of `inner` (inside this node's subtree) written bottom-up, "L"/"R" per level;
    // empty when it is not inside.
    std::string InnerPath(const ProtoType* inner) const;
    // Resolves such a path from this node downwards (letters consumed from the end).
    ProtoType* ResolveInnerPath(const std::string& path) const;
    // Un-Accrete: childOne takes this node's place in its parent; this node is destroyed.
    // Returns the node that took its place (null when there is no parent or no childOne).
    ProtoType* UnAccrete();

    ProtoType* inner[2] = {nullptr, nullptr};
    bool pickChildOne = false; // the page's check box
};

class And : public TypedNode<And> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
};

class Counter : public TypedNode<Counter> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;
    void ResetCounters() override { count = 0; }
    void Display() override;

    int32_t count = 0;
};

class Every : public TypedNode<Every> {
public:
    static const NodeTypeInfo kInfo;
    bool IsActive(CNoteEventList& list) override;
    void Solve(CNoteEventList& list) override;
};

class IfThen : public TypedNode<IfThen> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
    void Display() override {}
};

class Initialize : public TypedNode<Initialize> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
};

class Loop : public TypedNode<Loop> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    uint32_t loopPoint = 480;
};

class MetaWord : public TypedNode<MetaWord> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;
    void ResetCounters() override { secondStarted = false; }

    bool secondStarted = false; // not stored
    bool sequential = true;
    uint32_t interimTime = 0;
    uint32_t wordOneDuration = 0;
};

class Null : public TypedNode<Null> {
public:
    static const NodeTypeInfo kInfo;
    void Display() override {}
};

class Or : public TypedNode<Or> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;
    void Display() override {}

    float leftProbability = 0.5f;
};

// Pointers together nest at most this deep, and one outermost Pointer solve expands at most
// kPointerBudget targets.
constexpr int kMaxPointerNesting = 40;
constexpr int kPointerBudget = 1 << 16;

class Pointer : public TypedNode<Pointer> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    ~Pointer() override;

    void Copy(const ProtoType& source) override;
    void ForgetNode(const ProtoType* node) override;
    void Serialize(CArchive& ar) override;
    void ReplaceNode(const ProtoType* old, ProtoType* replacement) override;
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void ResetCounters() override;
    void Solve(CNoteEventList& list) override;
    void GetSpecialName(int which, std::string& label) const override;
    void Special(int which) override;
    void OnPick(ProtoType* node) override;
    void ExpandPointer(ProtoType* node) override;
    void ResolvePointer() override;
    int ReferenceSlots() const override { return 1; }
    ProtoType* GetReference(int slot) const override;
    void SetReference(int slot, ProtoType* node) override;
    void ForgetSubtree(const ProtoType* top) override;
    bool ResolveStoredReference() override;

    ProtoType* Target() const { return target; }
    // Whether `node` may be the target: not null and not this Pointer or one of its ancestors.
    bool CanTarget(const ProtoType* node) const { return node && !IsWithin(node); }
    // Points at `node`, taking its name; null clears both. A node that contains this Pointer is
    // refused: target and name are cleared and false is returned.
    bool SetTarget(ProtoType* node);

    int32_t recursionLimit = 3;
    int32_t depth = 0; // not stored
    ProtoType* target = nullptr;
    std::string path; // read from a file, resolved after the whole tree is read
    bool pathPending = false;
    std::string targetName;

private:
    bool resetting_ = false;
};

class Substitute : public TypedNode<Substitute> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
};

class Tempo : public TypedNode<Tempo> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
};

class Word : public TypedNode<Word> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];

    void Copy(const ProtoType& source) override;
    void OnRemoval() override;
    void Serialize(CArchive& ar) override;
    void EditData() override;
    bool IsActive(CNoteEventList& list) override;
    void ResetCounters() override;
    void Solve(CNoteEventList& list) override;
    void Display() override;

    bool generateFromTree = false;
    CEventTree events; // times relative to the window start
    // The event-list editor open on `events`; closed when the Word is cut or destroyed (declared
    // after `events`, so it is closed before they go).
    EventEditorLink editor;
};

class Quantize : public TypedNode<Quantize> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    int32_t quanta = 20;
    bool onsets = true;
    bool durations = false;
};

class Stretch : public TypedNode<Stretch> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    void Solve(CNoteEventList& list) override;

    float factor = 1.0f;
    bool onsets = true;
    bool durations = false;
};
