// The tree editor's window: a tree document's function tree (gui/tree_view.h), the solution
// strip under it, the tree's commands, and the prompt of a pending pick.
//
// Everything the window does goes through the tree editor's model (editing/tree_editor.h): the
// context menu is the model's list of entries for the node, each command calls the model, and
// every change is one step on the document's undo stack (the main window's Undo and Redo name
// it). The window adds what needs a person: the type-choice dialog for "Add new node...", the
// parameter dialogs (through the node host, gui/param_dialog.h), the file chooser of "Add From
// File", the comments dialog, and the play commands of the shell.
//
// Commands (QActions with stable object names, enabled only when they can act): treeDefine
// (Enter: the type choice on a Null, the parameters otherwise), treeGraph, treeCut, treeCopy,
// treePaste, treeDelete, treeRoot, treeParent, treeLeft, treeRight, treeRows, treeZoomFit,
// treeCancelPick (Escape), treeSolve, treeStopSolve, treePlay, treeStop, treeSaveGenerated,
// treeSolvable, treeComments. While a pick is pending the view shows a cross cursor and the
// bar under the tree shows the prompt with a Cancel button.
//
// The solution strip draws the events the tree yields as a piano roll over the Root's window,
// redrawn as the background solve delivers chunks (the shell's idle timer solves; the window
// only looks), with the solve's position while it runs.
//
// Used on the user-interface thread only.
#pragma once

#include "gui/document_window.h"

#include <QWidget>

#include <memory>
#include <vector>

class CDendraDoc;
class ProtoType;
class QAction;
class QLabel;
class QMenu;
class QTimer;
class TreeEditor;
enum class TreeMenuAction;

namespace gui {

class Shell;
class TreeView;

// The piano roll of a tree document's solution.
class SolutionStrip : public QWidget {
    Q_OBJECT

public:
    explicit SolutionStrip(CDendraDoc& doc, QWidget* parent = nullptr);
    // Reads the solution again (after a chunk or a change) and repaints.
    void Reload();
    int NoteCount() const { return static_cast<int>(notes_.size()); }
    int OtherCount() const { return others_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    struct Note {
        uint32_t time;
        uint32_t duration;
        int pitch;
    };
    CDendraDoc& doc_;
    std::vector<Note> notes_;
    std::vector<uint32_t> otherTimes_;
    int others_ = 0;
    int low_ = 60, high_ = 72;
    uint32_t end_ = 1;
};

class TreeWindow : public DocumentWindow {
    Q_OBJECT

public:
    TreeWindow(CDendraDoc& doc, Shell& shell, QWidget* parent = nullptr);
    ~TreeWindow() override;

    CDendraDoc& Tree() { return tree_; }
    TreeEditor& Editor() { return *editor_; }
    TreeView* View() const { return view_; }
    SolutionStrip* Strip() const { return strip_; }
    QLabel* PickBar() const { return pickPrompt_; }
    QAction* Command(const char* name) const;

    // The context menu of a node as the model lists it (each entry's action named "menu" and
    // its kind: menuAddNewNode, menuDefineNode, menuGraphNode, menuSpecial1, menuSpecial2,
    // menuMakeAccretion, menuAlignTimes).
    std::unique_ptr<QMenu> MakeContextMenu(ProtoType* node);
    // Runs a menu entry on a node; the type choice for AddNewNode.
    bool RunEntry(ProtoType* node, TreeMenuAction action);
    // The type-choice dialog for a Null, then Define (or Add From File).
    bool AddNewNode(ProtoType* node);
    // "Define Node" on any other node; the type choice on a Null.
    bool DefineOrAdd(ProtoType* node);

    void Refresh() override;
    // Lets go of the document: the view, the strip and the editor go first.
    void Detach() override;

private:
    void Release();
    void MakeCommands();
    void ShowMenu(ProtoType* node, QPoint global);
    void EditComments();
    void SetOption(bool saveGenerated, bool on);
    void Changed();

    CDendraDoc& tree_;
    Shell& shell_;
    std::unique_ptr<TreeEditor> editor_;
    TreeView* view_;
    SolutionStrip* strip_;
    QLabel* pickPrompt_;
    QWidget* pickBar_;
    QTimer* solveWatch_;
    bool wasSolving_ = false;
};

// Makes the tree editor the window of tree documents and installs the node host.
void RegisterTreeEditor();
// The tree editor's pictures for scripts/screenshots (gui/tree_screenshots.cpp), taken of the
// first tree document's window; returns how many were written into dir.
int TakeTreeEditorScreenshots(Shell& shell, const QString& dir);

} // namespace gui
