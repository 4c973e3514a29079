// ProtoType: the base of every function-tree node, and TypedNode, the helper every node type
// derives from.
//
// A node owns its branches (childOne, childTwo); `start` is relative to the parent's window
// start, `duration` is the window's length. The virtual operations are declared in slot order
// (the order is part of the node interface shared with effect libraries; do not reorder).
//
// A node type is written once:
//   - derive from TypedNode<T> (or TypedNode<T, SomeBase>),
//   - give T a `static const NodeTypeInfo kInfo` (type name, display name, ids, branch count,
//     family and place in the type-choice list, description text, dialog title and the
//     parameter table of tree/params.h),
//   - override Solve and whatever else differs,
//   - list it in its family's factory table (tree/registry.h); the type-choice list follows.
// Copy and Serialize of the base already walk the parameter table after the base record, so
// only types with data beyond their table (Word's events, Pointer's path, Accrete's paths)
// override them.
//
// Nodes talk to the GUI only through tree/node_host.h and tree/draw_context.h, and to their
// document only through TreeOwner (held by the Root).
#pragma once

#include "tree/draw_context.h"
#include "tree/params.h"

#include <cstdint>
#include <string>

class CArchive;
class CNoteEventList;
class CEventTree;
class EventWave;
class WordSet;

// The question of interactive accretion (MakeAccretionCommand, the tree editor).
inline constexpr const char* kAccretionQuestion =
    "Select a branch leave out with the right mouse button (or cancel).";

// Window-test sentinel: next time = 0 selects fixed-step solving.
constexpr uint32_t kFixedStep = 0;
// The tree file version written and assumed when no Root says otherwise.
constexpr int kTreeFileVersion = 5;

// The fixed description of a node type (see TypedNode), written with designated initialisers:
//
//     constinit const NodeTypeInfo Loop::kInfo = {
//         .typeName = "Loop", .displayName = "Loop", .typeId = 9, .bitmapId = 2038,
//         .branches = 1, .family = "Basic", .menuOrder = 60, .info = "...",
//         .dialogTitle = "Loop definition", .params = Loop::kFields};
//
// The type-choice list of the tree editor (tree/registry.h) is built from these: a type is
// offered under its family, the families in the system's order, and within a family by
// menuOrder (numbered in tens, so that a type can be placed between two others).
struct NodeTypeInfo {
    const char* typeName;         // registry name; GetFxTypeName; stored in tree files
    const char* displayName = ""; // the node's name at creation
    int typeId = 0;
    int bitmapId = 0;
    int branches = 0;             // Null branches the constructor makes (0, 1 or 2)
    const char* family = "";      // the family it is offered under; "" when it is not offered
                                  // (the Root, Accrete)
    int menuOrder = 0;            // its place within its family, ascending
    const char* info = "";        // GetInfo text
    const char* dialogTitle = ""; // the type's own parameter page, or "" when it has none
    ParamTable params = {};       // stored fields after the base record, in order
};

class ProtoType {
public:
    ProtoType();
    ProtoType(const ProtoType&) = delete;
    ProtoType& operator=(const ProtoType&) = delete;

    // Slot order.
    virtual ~ProtoType();                                                      // 0 Destructor
    virtual void Copy(const ProtoType& source);                                // 1
    virtual void AnnounceRemoval();                                            // 2
    virtual void ForgetNode(const ProtoType* node);                            // 3
    virtual void Serialize(CArchive& ar);                                      // 4
    virtual void ReplaceNode(const ProtoType* old, ProtoType* replacement);    // 5
    virtual int GetFileVersion() const;                                        // 6
    virtual int FetchDocumentEvents(int flag, CNoteEventList& list);           // 7
    virtual void GetInfo(std::string& text) const;                             // 8
    virtual void ExchangeParams(bool toDialog, ParamDialog& dialog);           // 9
    virtual void Params();                                                     // 10
    virtual uint32_t GetAbsoluteStart() const;                                 // 11
    virtual void SetTimes(uint32_t absoluteStart, uint32_t newDuration);       // 12
    virtual float GetTimeScale() const;                                        // 13
    virtual int GetBitmapId() const;                                           // 14
    virtual int GetTypeId() const;                                             // 15
    virtual void GetFxTypeName(std::string& text) const;                       // 16
    virtual const std::string& GetName() const;                                // 17
    virtual void SetName(const std::string& text);                             // 18
    virtual int GetChildCount() const;                                         // 19
    virtual void SetChildOne(ProtoType* node);                                 // 20
    virtual void SetChildTwo(ProtoType* node);                                 // 21
    virtual ProtoType* GetChild(int which) const;                              // 22
    virtual ProtoType* GetInnerChild(int which) const;                         // 23
    virtual void SetInnerChild(int which, ProtoType* node);                    // 24
    virtual ProtoType* GetRoot();                                              // 25
    virtual bool IsWithin(const ProtoType* node) const;                        // 26
    virtual void FindNode(const ProtoType* node, int& found) const;            // 27
    virtual ProtoType* FindByName(const std::string& text);                    // 28
    virtual int WhichChild(const ProtoType* node) const;                       // 29
    virtual void NotifyTimeChange(uint32_t from, uint32_t length);             // 30
    virtual void NotifyChanged();                                              // 31
    virtual void EditData();                                                   // 32
    virtual bool IsActive(CNoteEventList& list);                               // 33
    virtual bool IsStarting(CNoteEventList& list);                             // 34
    virtual void ResetCounters();                                              // 35
    virtual void AlignTimes(int arg);                                          // 36
    virtual void Solve(CNoteEventList& list);                                  // 37
    virtual int Supports(int capability) const;                                // 38
    virtual void Evaluate(EventWave& block);                                   // 39
    virtual void SolveInto(CNoteEventList& output, uint32_t step);             // 40
    virtual void Display();                                                    // 41
    virtual void DrawTree(DrawContext& dc, const TreeLayout& layout, int row); // 42
    virtual void DrawBM(DrawContext& dc, int x, int y, int size);              // 43
    virtual void DrawTimeBars(DrawContext& dc, const TimeBarLayout& layout, int& row); // 44
    virtual void GetSpecialName(int which, std::string& label) const;                  // 45
    virtual void Special(int which);                                                   // 46
    virtual void MakeAccretionCommand();                                               // 47
    virtual int QueryParent(int arg);                                                  // 48
    virtual void MakeAccretion(ProtoType* leftOut);                                    // 49
    virtual void OnPick(ProtoType* node);                                              // 50
    virtual void ExpandPointer(ProtoType* node);                                       // 51
    virtual void GetPath(std::string& text) const;                                     // 52
    virtual ProtoType* FollowPath(const std::string& text);                            // 53
    virtual void ResolvePointer();                                                     // 54
    virtual void GenerateSet();                                                        // 55
    virtual WordSet* GetWordSet();                                                     // 56
    // After the shared slots: the label of a branch in the tree view (wave family); base "".
    virtual void GetBranchLabel(int which, std::string& label) const; // 57

    // Not part of the slot table: the type's parameter table (empty for the base).
    virtual ParamTable GetParamTable() const;
    // The type's own parameter page title ("" when it has none).
    virtual const char* GetDialogTitle() const;

    // References a node holds to other nodes of its own tree (a Pointer's target, an Accrete's
    // inner references), so that the tree editor can name them by path and put them back on
    // Undo: the number of slots, a slot's node (null when empty), and setting a slot (null
    // clears it; a node the type refuses, such as a target that contains the Pointer, leaves
    // the slot empty). Setting touches nothing but the slot. Base: no slots.
    virtual int ReferenceSlots() const;
    virtual ProtoType* GetReference(int slot) const;
    virtual void SetReference(int slot, ProtoType* node);
    // `top` and every node below it are about to be destroyed: drop each reference to any of
    // them, then pass to both branches. AnnounceRemoval sends it once to the Root for a whole
    // subtree (one walk of the tree instead of one per removed node).
    virtual void ForgetSubtree(const ProtoType* top);
    // Called on every node of a subtree about to be destroyed, after the references to it were
    // dropped; passes to both branches (a Word closes its event editor here).
    virtual void OnRemoval();
    // Resolves a reference read from a file whose stored path is still pending (after the
    // whole tree was read); true when one was pending. Base: nothing.
    virtual bool ResolveStoredReference();

    // Conveniences over the slots.
    std::string TypeName() const;
    const ProtoType* Root() const;
    // The event graph of this node (Display): with `sampled` one sample every 250 ms without a
    // reset of the counters, otherwise an event-mode solve after ResetCounters.
    void ShowGraph(bool sampled);
    // Makes `count` (0, 1 or 2) fresh Null branches with start 0 and this node's duration,
    // destroying any present ones.
    void MakeNullBranches(int count);
    // Schedules the re-solve after this node's window moved or changed length: from the
    // earlier of the old and the current start to the later of the two ends (NotifyTimeChange).
    void NotifyWindowChange(uint32_t oldStart, uint32_t oldDuration);

    ProtoType* parent = nullptr;
    ProtoType* childOne = nullptr;
    ProtoType* childTwo = nullptr;
    std::string name = "ProtoType";
    uint32_t start = 0;
    uint32_t duration = 0;
};

// The common implementation of the type-describing slots from T::kInfo.
template <class T, class Base = ProtoType> class TypedNode : public Base {
public:
    TypedNode() {
        this->name = T::kInfo.displayName;
        this->MakeNullBranches(T::kInfo.branches);
    }
    void GetInfo(std::string& text) const override { text = T::kInfo.info; }
    int GetBitmapId() const override { return T::kInfo.bitmapId; }
    int GetTypeId() const override { return T::kInfo.typeId; }
    void GetFxTypeName(std::string& text) const override { text = T::kInfo.typeName; }
    ParamTable GetParamTable() const override { return T::kInfo.params; }
    const char* GetDialogTitle() const override { return T::kInfo.dialogTitle; }
};
