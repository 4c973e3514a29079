// The tree editor's model: everything the tree view does to a tree document, without drawing.
//
// A TreeEditor is bound to one tree document (CDendraDoc) and works on the editing state the
// document keeps (selected node, top node, pending pick). The view draws the tree from the top
// node, asks HitTest which node a click falls on, shows ContextMenu's entries, and forwards
// clicks, keys and menu choices here; every rule (what is enabled, what a click does, the texts
// of prompts and messages) lives in this class.
//
// Every change of the tree is a command on the document's undo stack (editing/tree_commands.h),
// labelled for the Edit menu: "Define MidiNote", "Add From File", "Edit Every" (parameters),
// "Cut", "Delete", "Paste", "Make Accretion", "Un-Accrete", "Redefine Pointer", "Find Pointer
// Name", "Forget Target", "Expand Pointer", "Child One", "Align Times", or the label of a type's
// own special command. Undo and Redo walk that stack any number of steps. Copy changes only the
// clipboard (editing/tree_clipboard.h), which all editors of the application share.
//
// Node arguments are nodes of this document's tree as the model handed them out (HitTest,
// Selected, Top, ...) since the last change; a node of another tree is refused.
//
// Choices made where the behaviour was open:
// - Paste with an empty clipboard does nothing (CanPaste is false).
// - CancelPick ends a pending pick without an edit (the accretion that waited for it is not
//   made).
// - A right-click on no node while a pick is pending leaves the pick pending.
// - Pointers and Accretes inside a copied subtree keep pointing into the copy.
//
// Listeners hear every change a view must draw: the document's hints (kHintTreeChanged,
// kHintSelectionChanged, kHintPickChanged) and 0 after Undo and Redo.
// User-interface thread only; the editor must not outlive its document.
#pragma once

#include "documents/document.h"
#include "documents/tree_document.h"
#include "editing/tree_clipboard.h"
#include "nodes/control.h"
#include "tree/registry.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// Texts of the tree editor, as the system words them.
// (kAccretionQuestion is in tree/proto_type.h; the Pointer's and the Accrete's messages,
// kInvalidSelectionMessage, PointerNowPointsMessage, NameNotFoundMessage and kChildOneMessage,
// in nodes/control.h.)
inline constexpr const char* kChildOnePrompt = kChildOneMessage;
inline constexpr const char* kPointerTargetPrompt =
    "Right-click on the function the Pointer shall point to.";
inline constexpr const char* kAddNewNodeText = "Add new node...";
inline constexpr const char* kDefineNodeText = "Define Node";
inline constexpr const char* kGraphNodeText = "Graph Node";
inline constexpr const char* kMakeAccretionText = "Make Accretion";
inline constexpr const char* kAlignTimesText = "Align Times";
inline constexpr const char* kAddFunctionText = "Add A Function to selected NULL node.";
inline constexpr const char* kEffectNotLoadedMessage =
    "This function comes from an effect library that is not loaded: ";

// What the view needs for the hit test: its size, the number of rows it shows ("Set the number
// of rows") and its scroll position.
struct TreeViewGeometry {
    int width = 0;
    int height = 0;
    int rows = 0;
    int scrollX = 0;
    int scrollY = 0;
};

enum class TreeMenuAction {
    AddNewNode, // on a Null: the type choice
    DefineNode, // on any other node: its parameters
    GraphNode,  // the node's Display
    Separator,
    Special1, // the type's special commands (GetSpecialName 1 and 2)
    Special2,
    MakeAccretion,
    AlignTimes,
};

struct TreeMenuEntry {
    std::string text; // empty for the separator
    TreeMenuAction action;
};

// The type-choice dialog "Add a Function to a leaf.": the drop-down "Function SubSet" of the
// registry's families ("All Types" first and chosen), the list "Function Name" of the chosen
// family's type names in registry order (the first chosen); "Add From File" is offered beside.
class TypeChoice {
public:
    static constexpr const char* kTitle = "Add a Function to a leaf.";
    static constexpr const char* kFamilyLabel = "Function SubSet";
    static constexpr const char* kNameLabel = "Function Name";
    static constexpr const char* kFromFileText = "Add From File";

    // The application's registry (the node library registered first).
    TypeChoice();
    explicit TypeChoice(const NodeRegistry& registry);

    const std::vector<std::string>& Families() const { return families_; }
    int Family() const { return family_; }
    // Chooses a family (out of range: nothing) and refills the names, the first chosen.
    void ChooseFamily(int index);
    const std::vector<std::string>& Names() const { return names_; }
    int Name() const { return name_; }
    void ChooseName(int index);
    // The chosen type name ("" when the list is empty).
    std::string Chosen() const;

private:
    const NodeRegistry& registry_;
    std::vector<std::string> families_;
    std::vector<std::string> names_;
    int family_ = 0;
    int name_ = 0;
};

class TreeEditor : private CDocView, private NodeDefiner {
public:
    explicit TreeEditor(CDendraDoc& doc, TreeClipboard& clipboard = ApplicationTreeClipboard());
    ~TreeEditor() override;
    TreeEditor(const TreeEditor&) = delete;
    TreeEditor& operator=(const TreeEditor&) = delete;

    CDendraDoc& Document() { return doc_; }
    TreeClipboard& Clipboard() { return clipboard_; }

    // ---- State ----
    ProtoType* Selected() const { return doc_.SelectedNode(); }
    ProtoType* Top() const { return doc_.TopNode(); }
    // 0 none, 1 the branch to leave out of an accretion, 2 a target.
    int PickMode() const { return doc_.PickMode(); }
    ProtoType* Picker() const { return doc_.Picker(); }
    // What the status line says while a pick is pending ("" when none).
    std::string PickPrompt() const;

    // Listeners hear the hint of every change (see the top of this file).
    int AddListener(std::function<void(long hint)> listener);
    void RemoveListener(int id);

    // ---- Selection and navigation ----
    // Select: a node already selected that has a parent passes the selection to its visual
    // parent (when `climb`); otherwise the node becomes selected. SetTop: the same for the top.
    void Select(ProtoType* node, bool climb = true);
    void SetTop(ProtoType* node, bool climb = true);
    // From the node's parent upwards (at most 100 levels) the topmost ancestor that holds the
    // node as an inner branch (GetInnerChild 1 or 2); without one the parent. Null for the Root.
    static ProtoType* VisualParent(const ProtoType* node);
    // The node a click at (x, y) of the view falls on, or null: rows of equal height from the
    // top node, each level halving the width (left half: inner branch 1, right: 2). A view
    // without rows or with rows of no height has no node anywhere.
    ProtoType* HitTest(int x, int y, const TreeViewGeometry& view) const;
    // Left click: Select; double click: SetTop (nothing when the click hits no node).
    void LeftClick(int x, int y, const TreeViewGeometry& view);
    void DoubleClick(int x, int y, const TreeViewGeometry& view);
    // Right click: with a pick pending, the pick (an empty menu is returned); otherwise the
    // context menu of the node hit (empty when none).
    std::vector<TreeMenuEntry> RightClick(int x, int y, const TreeViewGeometry& view);
    std::vector<TreeMenuEntry> RightClickOn(ProtoType* node);
    void GoToRoot();   // selected and top node := the Root
    void GoToLeft();   // selected := its branch 1, when present
    void GoToRight();  // selected := its branch 2, when present
    void GoToParent(); // selected := its visual parent, when it has a parent

    // ---- Menus ----
    // On a Null: "Add new node..."; otherwise "Define Node", "Graph Node", a separator, the
    // type's special commands that have a label, "Make Accretion" (not on the Root), "Align
    // Times".
    std::vector<TreeMenuEntry> ContextMenu(ProtoType* node) const;
    // Runs a context-menu entry on the node. AddNewNode needs the type choice: the view shows a
    // TypeChoice and calls Define; it returns false here.
    bool RunMenuAction(ProtoType* node, TreeMenuAction action);

    // ---- Defining nodes ----
    bool CanDefine(const ProtoType* node) const; // a Null of this tree
    // Define node: a Null becomes a node of `typeName` through the registry (built-in types, or
    // an effect library's through its slot); its branches take its window. A node that is not
    // a Null, or an unknown name, changes nothing (false).
    bool Define(ProtoType* node, const std::string& typeName);
    // "Add From File": the left branch of the tree in the file takes the Null's place (a deep
    // copy). A file that cannot be read shows its message and changes nothing.
    bool DefineFromFile(ProtoType* node, const std::string& path);

    // ---- Parameters ----
    // The standard parameter dialog's values for the node (ExchangeParams to the dialog).
    ParamDialog ParamsDialogFor(ProtoType* node) const;
    // Takes the dialog's values (as OK does) as one command "Edit <type>"; false when nothing
    // changed.
    bool ApplyParams(ProtoType* node, const ParamDialog& dialog);
    // The parameter dialog through the installed NodeHost, then ApplyParams on OK.
    bool EditParams(ProtoType* node);

    // ---- Clipboard and undo ----
    bool CanCopy() const { return Selected() != nullptr; }
    bool CanCut() const; // the selected node is not the Root
    bool CanDelete() const { return CanCut(); }
    bool CanPaste() const; // the selected node is a Null and the clipboard holds a subtree
    // Copy: the clipboard takes a deep copy of the selected node (the Root: the clipboard is
    // emptied).
    void Copy();
    // Cut: Copy, then Delete. Delete: the selected node (not the Root) gives way to a Null,
    // which becomes the selected node and, when the top node lay inside, the top node.
    bool Cut();
    bool Delete();
    // Paste: a deep copy of the clipboard takes the selected Null's place and is selected.
    bool Paste();
    bool CanUndo() const { return doc_.History().CanUndo(); }
    bool CanRedo() const { return doc_.History().CanRedo(); }
    std::string UndoLabel() const { return doc_.History().UndoLabel(); }
    std::string RedoLabel() const { return doc_.History().RedoLabel(); }
    // A pending pick ends first.
    bool Undo();
    bool Redo();

    // ---- Accretion ----
    // Make Accretion on a node (not the Root): the node's parent becomes selected and the user
    // is asked kAccretionQuestion. OK: pick mode 1 (the next right-click names the branch to
    // leave out); Cancel: the node is wrapped at once, leaving nothing out.
    bool MakeAccretion(ProtoType* node);
    // Un-Accrete: the Accrete's parent becomes selected (and top, when the top was the
    // Accrete); the Accrete's branch takes its place.
    bool UnAccrete(ProtoType* accrete);
    // Completes a pending pick with `node`: mode 1 wraps the picker in an Accrete leaving out
    // the node (when it lies inside), and the top node, when it was the picker, becomes the
    // picker's visual parent; mode 2 hands the node to the picker's OnPick (a Pointer takes it
    // as its target, an Accrete as its Child One). The pick ends. False when nothing changed.
    bool Pick(ProtoType* node);
    void CancelPick();

    // ---- Pointers and special commands ----
    // "Redefine Pointer": pick mode 2 with the Pointer as picker.
    bool RedefinePointer(ProtoType* pointer);
    // "Find Pointer Name": the Pointer's target by its name (ResolvePointer).
    bool FindPointerName(ProtoType* pointer);
    // "Forget Target": the Pointer points nowhere.
    bool ForgetTarget(ProtoType* pointer);
    // "Expand Pointer": the Pointer gives way to a deep copy of its target.
    bool ExpandPointer(ProtoType* pointer);
    // Special command 1 or 2 of a node: Un-Accrete; Redefine Pointer, Find Pointer Name; any
    // other type's command runs as one undoable step labelled with its name.
    bool Special(ProtoType* node, int which);
    bool AlignTimes(ProtoType* node);
    // "Graph Node": the node's Display.
    void GraphNode(ProtoType* node);

private:
    // CDocView
    void OnUpdate(CDocView* sender, long hint) override;
    // NodeDefiner (the registry's Create by name)
    void DefineNode(ProtoType* node, const std::string& typeName, void* libraryHandle) override;

    bool Owns(const ProtoType* node) const;
    bool Push(std::unique_ptr<Command> command);
    void Tell(long hint);

    CDendraDoc& doc_;
    TreeClipboard& clipboard_;
    std::map<int, std::function<void(long)>> listeners_;
    int nextListener_ = 1;
    bool defined_ = false; // set by DefineNode during Define
};
