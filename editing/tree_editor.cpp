#include "editing/tree_editor.h"

#include "editing/tree_commands.h"
#include "nodes/builtin_nodes.h"
#include "nodes/control.h"
#include "nodes/library.h"
#include "platform/user_messages.h"
#include "tree/node_host.h"

#include <utility>

namespace {

bool IsType(const ProtoType* node, const NodeTypeInfo& info) {
    return node && node->GetTypeId() == info.typeId;
}

// The node at which(-1 left, 1 right) of `parent`.
ProtoType* BranchAt(ProtoType* parent, int which) {
    return which == -1 ? parent->childOne : which == 1 ? parent->childTwo : nullptr;
}

} // namespace

// ---- TypeChoice -------------------------------------------------------------------------------

TypeChoice::TypeChoice() : TypeChoice((RegisterBuiltinNodeTypes(), Registry())) {}

TypeChoice::TypeChoice(const NodeRegistry& registry)
    : registry_(registry), families_(registry.Families()) {
    ChooseFamily(0);
}

void TypeChoice::ChooseFamily(int index) {
    if (index < 0 || index >= static_cast<int>(families_.size())) return;
    family_ = index;
    names_ = registry_.NamesInFamily(families_[static_cast<size_t>(index)]);
    name_ = 0;
}

void TypeChoice::ChooseName(int index) {
    if (index >= 0 && index < static_cast<int>(names_.size())) name_ = index;
}

std::string TypeChoice::Chosen() const {
    return names_.empty() ? std::string() : names_[static_cast<size_t>(name_)];
}

// ---- TreeEditor -------------------------------------------------------------------------------

TreeEditor::TreeEditor(CDendraDoc& doc, TreeClipboard& clipboard)
    : doc_(doc), clipboard_(clipboard) {
    doc_.AddView(this);
}

TreeEditor::~TreeEditor() {
    doc_.RemoveView(this);
}

int TreeEditor::AddListener(std::function<void(long)> listener) {
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void TreeEditor::RemoveListener(int id) {
    listeners_.erase(id);
}

void TreeEditor::Tell(long hint) {
    // A listener may remove itself (or another) while it is told.
    std::map<int, std::function<void(long)>> listeners = listeners_;
    for (auto& [id, listener] : listeners) {
        if (listeners_.count(id) && listener) listener(hint);
    }
}

void TreeEditor::OnUpdate(CDocView*, long hint) {
    Tell(hint);
}

bool TreeEditor::Owns(const ProtoType* node) const {
    return node && node->Root() == &doc_.GetRoot();
}

bool TreeEditor::Push(std::unique_ptr<Command> command) {
    return doc_.History().Push(std::move(command));
}

std::string TreeEditor::PickPrompt() const {
    switch (PickMode()) {
    case 1:
        return kAccretionQuestion;
    case 2:
        return IsType(Picker(), Accrete::kInfo) ? kChildOnePrompt : kPointerTargetPrompt;
    default:
        return "";
    }
}

// ---- Selection and navigation -----------------------------------------------------------------

ProtoType* TreeEditor::VisualParent(const ProtoType* node) {
    if (!node || !node->parent) return nullptr;
    ProtoType* found = nullptr;
    int levels = 0;
    for (ProtoType* a = node->parent; a && levels < 100; a = a->parent, ++levels) {
        if (a->GetInnerChild(1) == node || a->GetInnerChild(2) == node) found = a;
    }
    return found ? found : node->parent;
}

void TreeEditor::Select(ProtoType* node, bool climb) {
    if (!Owns(node)) return;
    if (climb && node == Selected() && node->parent) node = VisualParent(node);
    doc_.SetSelectedNode(node);
}

void TreeEditor::SetTop(ProtoType* node, bool climb) {
    if (!Owns(node)) return;
    if (climb && node == Top() && node->parent) node = VisualParent(node);
    doc_.SetTopNode(node);
}

ProtoType* TreeEditor::HitTest(int x, int y, const TreeViewGeometry& view) const {
    if (view.rows <= 0 || view.height <= 0 || view.width <= 0) return nullptr;
    const long long rowHeight = view.height / view.rows;
    if (rowHeight <= 0) return nullptr; // more rows than pixels: no row can be hit
    const long long yy = static_cast<long long>(y) + view.scrollY;
    if (yy < 0) return nullptr;
    const long long row = yy / rowHeight;
    double xx = static_cast<double>(x) + view.scrollX;
    double half = view.width;
    ProtoType* n = Top();
    // Inner branches always lead further down, so the walk ends at the tree's depth.
    for (long long i = 1; i <= row && n; ++i) {
        half /= 2.0;
        if (xx >= half) {
            n = n->GetInnerChild(2);
            xx -= half;
        } else {
            n = n->GetInnerChild(1);
        }
    }
    return n;
}

void TreeEditor::LeftClick(int x, int y, const TreeViewGeometry& view) {
    if (ProtoType* n = HitTest(x, y, view)) Select(n);
}

void TreeEditor::DoubleClick(int x, int y, const TreeViewGeometry& view) {
    if (ProtoType* n = HitTest(x, y, view)) SetTop(n);
}

std::vector<TreeMenuEntry> TreeEditor::RightClick(int x, int y, const TreeViewGeometry& view) {
    return RightClickOn(HitTest(x, y, view));
}

std::vector<TreeMenuEntry> TreeEditor::RightClickOn(ProtoType* node) {
    if (PickMode() != 0) {
        if (node) Pick(node);
        return {};
    }
    return ContextMenu(node);
}

void TreeEditor::GoToRoot() {
    doc_.SetSelectedNode(&doc_.GetRoot());
    doc_.SetTopNode(&doc_.GetRoot());
}

void TreeEditor::GoToLeft() {
    if (ProtoType* c = Selected()->GetChild(1)) doc_.SetSelectedNode(c);
}

void TreeEditor::GoToRight() {
    if (ProtoType* c = Selected()->GetChild(2)) doc_.SetSelectedNode(c);
}

void TreeEditor::GoToParent() {
    if (ProtoType* p = VisualParent(Selected())) doc_.SetSelectedNode(p);
}

// ---- Menus ------------------------------------------------------------------------------------

std::vector<TreeMenuEntry> TreeEditor::ContextMenu(ProtoType* node) const {
    if (!Owns(node)) return {};
    if (IsType(node, Null::kInfo)) return {{kAddNewNodeText, TreeMenuAction::AddNewNode}};
    std::vector<TreeMenuEntry> menu = {{kDefineNodeText, TreeMenuAction::DefineNode},
                                       {kGraphNodeText, TreeMenuAction::GraphNode},
                                       {"", TreeMenuAction::Separator}};
    for (int which = 1; which <= 2; ++which) {
        std::string label;
        node->GetSpecialName(which, label);
        if (!label.empty()) {
            menu.push_back(
                {label, which == 1 ? TreeMenuAction::Special1 : TreeMenuAction::Special2});
        }
    }
    if (node->parent) menu.push_back({kMakeAccretionText, TreeMenuAction::MakeAccretion});
    menu.push_back({kAlignTimesText, TreeMenuAction::AlignTimes});
    return menu;
}

bool TreeEditor::RunMenuAction(ProtoType* node, TreeMenuAction action) {
    if (!Owns(node)) return false;
    switch (action) {
    case TreeMenuAction::AddNewNode:
    case TreeMenuAction::Separator:
        return false; // the type choice is the view's dialog; it calls Define
    case TreeMenuAction::DefineNode:
        return CanDefine(node) ? false : EditParams(node);
    case TreeMenuAction::GraphNode:
        GraphNode(node);
        return true;
    case TreeMenuAction::Special1:
        return Special(node, 1);
    case TreeMenuAction::Special2:
        return Special(node, 2);
    case TreeMenuAction::MakeAccretion:
        return MakeAccretion(node);
    case TreeMenuAction::AlignTimes:
        return AlignTimes(node);
    }
    return false;
}

// ---- Defining nodes ---------------------------------------------------------------------------

bool TreeEditor::CanDefine(const ProtoType* node) const {
    return Owns(node) && IsType(node, Null::kInfo);
}

bool TreeEditor::Define(ProtoType* node, const std::string& typeName) {
    if (!CanDefine(node)) return false;
    defined_ = false;
    if (!Registry().CreateByName(*this, node, typeName)) return false;
    return std::exchange(defined_, false);
}

void TreeEditor::DefineNode(ProtoType* node, const std::string& typeName, void* libraryHandle) {
    // An effect type becomes a Library node bound to its loaded library; an effect whose
    // library is not loaded cannot be made.
    const RegistryEntry* entry = Registry().Find(typeName);
    const bool effect = libraryHandle || (entry && !entry->library.empty());
    if ((effect && !libraryHandle) || (!effect && !FindNodeType(typeName))) {
        platform::MessageBox(kEffectNotLoadedMessage + typeName);
        return;
    }
    if (!CanDefine(node)) return;
    defined_ = Push(std::make_unique<SubtreeCommand>(
        doc_, "Define " + typeName, PathOf(*node),
        [typeName, libraryHandle](ProtoType& x) -> ProtoType* {
            if (!IsType(&x, Null::kInfo)) return nullptr;
            ProtoType* q = libraryHandle ? DefineLibraryNode(&x, libraryHandle, typeName)
                                         : ReplaceWith(&x, typeName);
            if (q) q->AlignTimes(0);
            return q;
        }));
}

bool TreeEditor::DefineFromFile(ProtoType* node, const std::string& path) {
    if (!CanDefine(node)) return false;
    CDendraDoc source;
    source.SetSolveOnRead(false);
    if (!source.OnOpenDocument(path)) return false; // the reader said why
    const ProtoType* branch = source.GetRoot().childOne;
    if (!branch) return false;
    return Push(std::make_unique<SubtreeCommand>(
        doc_, TypeChoice::kFromFileText, PathOf(*node),
        [branch](ProtoType& x) { return Transplant(x, DetachedCopy(*branch)); }));
}

// ---- Parameters -------------------------------------------------------------------------------

ParamDialog TreeEditor::ParamsDialogFor(ProtoType* node) const {
    ParamDialog dialog;
    if (Owns(node)) node->ExchangeParams(true, dialog);
    return dialog;
}

bool TreeEditor::ApplyParams(ProtoType* node, const ParamDialog& dialog) {
    if (!Owns(node)) return false;
    return Push(std::make_unique<NodeStateCommand>(doc_, "Edit " + node->TypeName(), PathOf(*node),
                                                   [dialog](ProtoType& n) {
                                                       ParamDialog d = dialog;
                                                       n.ExchangeParams(false, d);
                                                   }));
}

bool TreeEditor::EditParams(ProtoType* node) {
    NodeHost* host = GetNodeHost();
    if (!host || !Owns(node)) return false;
    ParamDialog dialog = ParamsDialogFor(node);
    if (!host->RunParamsDialog(*node, dialog)) return false;
    return ApplyParams(node, dialog);
}

// ---- Clipboard and undo -----------------------------------------------------------------------

bool TreeEditor::CanCut() const {
    return Selected() && Selected()->parent;
}

bool TreeEditor::CanPaste() const {
    return IsType(Selected(), Null::kInfo) && !clipboard_.IsEmpty();
}

void TreeEditor::Copy() {
    clipboard_.Set(Selected());
    Tell(0);
}

bool TreeEditor::Cut() {
    if (!CanCut()) return false;
    Copy();
    return Push(std::make_unique<SubtreeCommand>(
        doc_, "Cut", PathOf(*Selected()),
        [](ProtoType& x) -> ProtoType* { return ReplaceWith(&x, "Null"); }));
}

bool TreeEditor::Delete() {
    if (!CanDelete()) return false;
    return Push(std::make_unique<SubtreeCommand>(
        doc_, "Delete", PathOf(*Selected()),
        [](ProtoType& x) -> ProtoType* { return ReplaceWith(&x, "Null"); }));
}

bool TreeEditor::Paste() {
    if (!CanPaste()) return false;
    const NodePath path = PathOf(*Selected());
    TreeClipboard& clipboard = clipboard_;
    if (!Push(std::make_unique<SubtreeCommand>(
            doc_, "Paste", path, [&clipboard](ProtoType& x) -> ProtoType* {
                if (!IsType(&x, Null::kInfo) || clipboard.IsEmpty()) return nullptr;
                return Transplant(x, DetachedCopy(clipboard.Subtree()));
            }))) {
        return false;
    }
    doc_.SetSelectedNode(NodeAt(doc_, path));
    return true;
}

bool TreeEditor::Undo() {
    CancelPick();
    const bool done = doc_.History().Undo();
    Tell(0);
    return done;
}

bool TreeEditor::Redo() {
    CancelPick();
    const bool done = doc_.History().Redo();
    Tell(0);
    return done;
}

// ---- Accretion --------------------------------------------------------------------------------

bool TreeEditor::MakeAccretion(ProtoType* node) {
    if (!Owns(node) || !node->parent) return false;
    doc_.SetSelectedNode(node->parent);
    const platform::Answer answer =
        platform::Messages().Ask(kAccretionQuestion, platform::Answer::Cancel);
    if (answer == platform::Answer::Ok || answer == platform::Answer::Yes) {
        doc_.SetPickMode(1, node);
        return true;
    }
    return Push(std::make_unique<AccreteCommand>(doc_, PathOf(*node), NodePath(), false));
}

bool TreeEditor::UnAccrete(ProtoType* accrete) {
    if (!Owns(accrete) || !IsType(accrete, Accrete::kInfo) || !accrete->parent ||
        !accrete->childOne) {
        return false;
    }
    doc_.SetSelectedNode(accrete->parent);
    if (Top() == accrete) doc_.SetTopNode(accrete->parent);
    return Push(std::make_unique<UnAccreteCommand>(doc_, PathOf(*accrete)));
}

bool TreeEditor::Pick(ProtoType* node) {
    const int mode = PickMode();
    ProtoType* picker = Picker();
    if (mode == 0 || !picker || !Owns(node)) return false;
    doc_.EndPick();
    if (mode == 1) {
        const bool wasTop = Top() == picker;
        const bool leftOut = node != picker && node->IsWithin(picker);
        const bool done = Push(std::make_unique<AccreteCommand>(
            doc_, PathOf(*picker), leftOut ? PathOf(*node) : NodePath(), leftOut));
        // The picker lives on, under its new Accrete.
        if (done && wasTop) doc_.SetTopNode(VisualParent(picker));
        return done;
    }
    const char* label = IsType(picker, Pointer::kInfo)   ? "Redefine Pointer"
                        : IsType(picker, Accrete::kInfo) ? "Child One"
                                                         : "Pick";
    CDendraDoc& doc = doc_;
    const NodePath picked = PathOf(*node);
    return Push(std::make_unique<NodeStateCommand>(
        doc_, label, PathOf(*picker),
        [&doc, picked](ProtoType& p) { p.OnPick(NodeAt(doc, picked)); }));
}

void TreeEditor::CancelPick() {
    doc_.EndPick();
}

// ---- Pointers and special commands ------------------------------------------------------------

bool TreeEditor::RedefinePointer(ProtoType* pointer) {
    if (!Owns(pointer) || !IsType(pointer, Pointer::kInfo)) return false;
    doc_.SetPickMode(2, pointer);
    return true;
}

bool TreeEditor::FindPointerName(ProtoType* pointer) {
    if (!Owns(pointer) || !IsType(pointer, Pointer::kInfo)) return false;
    return Push(std::make_unique<NodeStateCommand>(doc_, "Find Pointer Name", PathOf(*pointer),
                                                   [](ProtoType& p) { p.ResolvePointer(); }));
}

bool TreeEditor::ForgetTarget(ProtoType* pointer) {
    if (!Owns(pointer) || !IsType(pointer, Pointer::kInfo)) return false;
    return Push(std::make_unique<NodeStateCommand>(
        doc_, "Forget Target", PathOf(*pointer),
        [](ProtoType& p) { static_cast<Pointer&>(p).SetTarget(nullptr); }));
}

bool TreeEditor::ExpandPointer(ProtoType* pointer) {
    if (!Owns(pointer) || !IsType(pointer, Pointer::kInfo) || !pointer->parent) return false;
    if (!static_cast<Pointer*>(pointer)->Target()) return false;
    return Push(std::make_unique<SubtreeCommand>(
        doc_, "Expand Pointer", PathOf(*pointer), [](ProtoType& x) -> ProtoType* {
            auto& p = static_cast<Pointer&>(x);
            ProtoType* target = p.Target();
            ProtoType* parent = p.parent;
            const int which = parent->WhichChild(&p);
            p.ExpandPointer(target); // the Pointer gives way to a copy of its target
            ProtoType* now = BranchAt(parent, which);
            if (now == &x) return nullptr;
            CopyInnerReferences(*target, *now);
            return now;
        }));
}

bool TreeEditor::Special(ProtoType* node, int which) {
    if (!Owns(node) || (which != 1 && which != 2)) return false;
    if (IsType(node, Accrete::kInfo)) return which == 1 && UnAccrete(node);
    if (IsType(node, Pointer::kInfo)) {
        return which == 1 ? RedefinePointer(node) : FindPointerName(node);
    }
    if (node->GetWordSet() && node->parent) {
        if (which == 1) {
            // Pick Word changes only the word the node plays, which is not stored: there is no
            // step to undo, but the solution follows.
            node->Special(1);
            node->NotifyChanged();
            return true;
        }
        // Generate Set ripples up through the set nodes above: the step keeps the subtree of
        // the highest one it reaches.
        ProtoType* top = node;
        while (top->parent && top->parent->GetWordSet()) top = top->parent;
        return Push(std::make_unique<SubtreeCommand>(doc_, "Generate Set", PathOf(*top),
                                                     [node](ProtoType& x) -> ProtoType* {
                                                         node->Special(2);
                                                         return &x;
                                                     }));
    }
    std::string label;
    node->GetSpecialName(which, label);
    if (label.empty() || !node->parent) return false;
    // Another type's command changes its own subtree: kept as the subtree before and after.
    return Push(std::make_unique<SubtreeCommand>(doc_, label, PathOf(*node),
                                                 [which](ProtoType& x) -> ProtoType* {
                                                     ProtoType* parent = x.parent;
                                                     const int side = parent->WhichChild(&x);
                                                     x.Special(which);
                                                     return BranchAt(parent, side);
                                                 }));
}

bool TreeEditor::AlignTimes(ProtoType* node) {
    if (!Owns(node)) return false;
    return Push(std::make_unique<AlignTimesCommand>(doc_, PathOf(*node)));
}

void TreeEditor::GraphNode(ProtoType* node) {
    if (Owns(node)) node->Display();
}
