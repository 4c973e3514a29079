// The tree document: one function tree under its Root, the tree's solution, the solve options
// and a comment text, stored as a ".dra" file.
//
// File (little-endian, archive strings):
//   u32 version (5 written), u32 magic 71682 (versions 4 and up), u16 solvable (versions 3 and
//   up), the Root's node record, u16 save-generated-material, the solution (only when that flag
//   is 1), the comments.
// Reading builds the tree, the solution and the options apart from the document and takes them
// over only when the whole file was read: a newer version, a wrong magic, an unknown node type,
// nesting beyond the node reader's limit, or a truncated or corrupt file shows a message and
// fails the read, and the document keeps what it had. A file read without a stored solution is
// solved at once when the tree is solvable. Taking over a new tree (a read, a new document)
// forgets every undo step: no step can take that back.
//
// Everything here runs on the user-interface thread.
#pragma once

#include "documents/channel_document.h"
#include "nodes/control.h"
#include "tree/solve.h"
#include "tree/tree_owner.h"

#include <functional>
#include <memory>
#include <string>

constexpr uint32_t kDendraMagic = 71682; // 0x00011802
constexpr uint32_t kDendraFileVersion = 5;

// The system's messages.
inline constexpr const char* kNewerVersionMessage =
    "This file was made with a newer version of Ondrelles";
inline constexpr const char* kNotDendraMessage = "This is not a QUAV Dendra file";
inline constexpr const char* kDamagedTreeMessage = "This tree file is damaged or incomplete.";

inline constexpr const char* kDefaultComments = "No Comments.";
// The document template's type string.
inline constexpr const char* kDendraDocString =
    "\nDendra\nDendra\nDendras (*.dra)\n.dra\nQUAV.Dendra\nQUAV Dendra";

// View hints passed to UpdateAllViews.
constexpr long kHintTreeChanged = 1;
constexpr long kHintSelectionChanged = 2; // the selected or the top node
constexpr long kHintPickChanged = 3;      // a pick began or ended

class CDendraDoc : public CChanDoc, public TreeOwner {
public:
    CDendraDoc();
    ~CDendraDoc() override;

    // ---- Document ----
    uint32_t GetDocKind() const override { return kDocKindDendra; }
    // Back to the new-document contents: a Root of duration 10000 over one Null, an empty
    // solution, the default options and comments.
    bool OnNewDocument() override;
    bool ReadDocument(CArchive& ar) override;
    void WriteDocument(CArchive& ar) override;
    // One channel: the solution.
    int GetChannelCount() const override { return 1; }
    CEventTree* GetChannelEvents(int channel) override;
    int SetChannelCount(int n, bool keepExtra) override;
    void FreeChannel(int channel) override;
    // The end of the solution, in document units.
    uint32_t GetLength(int unit) override;

    // ---- Contents ----
    Root& GetRoot() { return *root_; }
    const Root& GetRoot() const { return *root_; }
    CEventTree& Solution() { return *solution_; }
    SolveOptions& Options() { return solver_->options; }
    const SolveOptions& Options() const { return solver_->options; }
    TreeSolver& Solver() { return *solver_; }
    const std::string& GetComments() const { return comments_; }
    void SetComments(const std::string& text);
    // The version the last file was read as (5 for a new document).
    int FileVersionRead() const { return versionRead_; }

    // The tree editor's state (editing/tree_editor.h works on it): the selected node, the node
    // shown at the top of the tree view, and the pending pick (mode 1: the branch to leave out
    // of an accretion, 2: a target; the picker is the node waiting for it). None of them ever
    // names a destroyed node: when a node is replaced they follow the replacement, when it is
    // removed the selected and top node fall back to the Root and a pick it waits for ends.
    // Setting one that changes tells the views (kHintSelectionChanged, kHintPickChanged).
    // A node replaced or removed outside an undo step (not through the tree editor) also
    // forgets the undo steps, which name nodes by their place in the tree.
    ProtoType* SelectedNode() const { return selected_; }
    void SetSelectedNode(ProtoType* node);
    ProtoType* TopNode() const { return top_; }
    void SetTopNode(ProtoType* node);
    ProtoType* Picker() const { return picker_; }
    int PickMode() const { return pickMode_; }
    // Ends a pending pick without picking.
    void EndPick() { SetPickMode(0, nullptr); }

    // Whether a read without a stored solution solves the tree at once (on by default; the
    // fuzzer turns it off to keep to the reader).
    void SetSolveOnRead(bool solve) { solveOnRead_ = solve; }

    // The GUI's handler for the Root's graph (a further window on this document).
    std::function<void(CDendraDoc&)> onDisplayTree;

    // ---- Solving (the commands and the background solve) ----
    void BeginSolve() { solver_->BeginSolve(); }
    void Solve() { solver_->Solve(); }
    void StopSolve() { solver_->StopSolve(); }
    bool IsSolving() const { return solver_->IsSolving(); }
    uint32_t SolveChunk(uint32_t request) { return solver_->SolveChunk(request); }
    // One idle call; true while more idle time is wanted.
    bool OnIdle() { return solver_->Idle(); }
    void ResolveRange(uint32_t start, uint32_t length);
    CEventTree& GetEvents(int flag);
    void ClearSolution() { solver_->ClearSolution(); }
    void PlayInputEvent(const EventMidi& event, LiveOutput& output) {
        solver_->PlayInputEvent(event, output);
    }

    // ---- TreeOwner (what the Root asks) ----
    void TreeTimeChanged(uint32_t start, uint32_t length) override;
    void TreeChanged() override;
    CEventTree& TreeEvents(int flag) override;
    void SetPickMode(int mode, ProtoType* picker) override;
    void DisplayTree() override;
    void NodesRemoved(const ProtoType* top) override;
    void NodeReplaced(const ProtoType* old, ProtoType* replacement) override;

private:
    // Takes over a tree, solution and options read apart from the document.
    void Adopt(std::unique_ptr<Root> root, std::unique_ptr<CEventTree> solution,
               const SolveOptions& options, std::string comments, int version);
    bool Fail(const std::string& message);

    std::unique_ptr<Root> root_;
    std::unique_ptr<CEventTree> solution_;
    std::unique_ptr<TreeSolver> solver_;
    std::string comments_ = kDefaultComments;
    int versionRead_ = kDendraFileVersion;
    ProtoType* selected_ = nullptr;
    ProtoType* top_ = nullptr;
    ProtoType* picker_ = nullptr;
    int pickMode_ = 0;
    bool solveOnRead_ = true;
};
