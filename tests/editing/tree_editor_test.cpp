#include "editing/tree_editor.h"

#include "documents/event_list_document.h"
#include "nodes/control.h"
#include "nodes/midi.h"
#include "platform/user_messages.h"
#include "tests/common/test_util.h"
#include "tests/editing/tree_editing_helpers.h"
#include "tree/node_host.h"

#include <gtest/gtest.h>

using treeedit::Bytes;
using treeedit::Define;
using treeedit::QuietDoc;

namespace {

// Root -> Every(Constant, And(MidiNote "Tune", Null)).
struct Fixture {
    QuietDoc doc;
    TreeClipboard clipboard;
    TreeEditor editor{doc, clipboard};
    ProtoType* every = nullptr;
    ProtoType* andNode = nullptr;
    ProtoType* note = nullptr;

    Fixture() {
        every = Define(editor, doc.GetRoot().childOne, "Every");
        Define(editor, every->childOne, "Constant");
        andNode = Define(editor, every->childTwo, "And");
        note = Define(editor, andNode->childOne, "MidiNote");
        note->name = "Tune";
        doc.History().Clear();
    }
};

bool IsNull(const ProtoType* n) {
    return n && n->TypeName() == "Null";
}

Accrete* AsAccrete(ProtoType* n) {
    return n && n->GetTypeId() == Accrete::kInfo.typeId ? static_cast<Accrete*>(n) : nullptr;
}

} // namespace

TEST(TreeEditor, DefineTakesOnlyNullsAndNamesTheStep) {
    QuietDoc doc;
    TreeClipboard clipboard;
    TreeEditor editor(doc, clipboard);
    ProtoType* null = doc.GetRoot().childOne;
    null->start = 300; // the defined node starts at 0 and its branches take its window
    doc.SetSelectedNode(null);
    ProtoType* loop = Define(editor, null, "Loop");
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->TypeName(), "Loop");
    EXPECT_EQ(loop->start, 0u);
    EXPECT_EQ(loop->childOne->duration, loop->duration);
    EXPECT_EQ(doc.SelectedNode(), loop) << "the new node takes the selection of the Null";
    EXPECT_EQ(editor.UndoLabel(), "Define Loop");
    EXPECT_FALSE(editor.Define(loop, "And")) << "only a Null is defined";
    EXPECT_FALSE(editor.Define(loop->childOne, "Unknown"));
    EXPECT_FALSE(editor.Define(loop->childOne, "Root")) << "not offered by the registry";
    EXPECT_EQ(doc.History().Count(), 1u);

    ASSERT_TRUE(editor.Undo());
    EXPECT_TRUE(IsNull(doc.GetRoot().childOne));
    EXPECT_EQ(doc.GetRoot().childOne->start, 300u);
    EXPECT_EQ(doc.SelectedNode(), doc.GetRoot().childOne);
    EXPECT_FALSE(doc.IsModified());
    ASSERT_TRUE(editor.Redo());
    EXPECT_EQ(doc.GetRoot().childOne->TypeName(), "Loop");
    EXPECT_TRUE(doc.IsModified());
}

TEST(TreeEditor, TypeChoiceListsFamiliesAndRefusesUnloadedEffects) {
    TypeChoice choice;
    ASSERT_FALSE(choice.Families().empty());
    EXPECT_EQ(choice.Families()[0], "All Types");
    EXPECT_EQ(choice.Names(), Registry().NamesInFamily("All Types"));
    EXPECT_EQ(choice.Chosen(), choice.Names().front());
    const auto basic = std::find(choice.Families().begin(), choice.Families().end(), "Basic");
    ASSERT_NE(basic, choice.Families().end());
    choice.ChooseFamily(static_cast<int>(basic - choice.Families().begin()));
    EXPECT_EQ(choice.Chosen(), "And");
    choice.ChooseName(static_cast<int>(choice.Names().size()) - 1);
    EXPECT_EQ(choice.Chosen(), "Word");
    choice.ChooseFamily(99); // out of range: unchanged
    EXPECT_EQ(choice.Chosen(), "Word");

    // An effect library's type in a registry whose library is not loaded: a message, no edit.
    NodeRegistry registry;
    registry.BuildBuiltins(false);
    ASSERT_EQ(registry.AddLibraryEntries(0, "Echo|Effects|", "FxPack"), 1);
    EXPECT_EQ(TypeChoice(registry).Families().back(), "Effects");
    QuietDoc doc;
    TreeClipboard clipboard;
    TreeEditor editor(doc, clipboard);
    platform::ScopedRecordingMessages messages;
    EXPECT_FALSE(editor.Define(doc.GetRoot().childOne, "Echo")) << "not in the app registry";
    Registry().AddLibraryEntries(0, "Echo|Effects|", "FxPack");
    EXPECT_FALSE(editor.Define(doc.GetRoot().childOne, "Echo"));
    Registry().BuildBuiltins(false);
    EXPECT_EQ(messages.Shown(),
              std::vector<std::string>{std::string(kEffectNotLoadedMessage) + "Echo"});
    EXPECT_EQ(doc.History().Count(), 0u);
    EXPECT_TRUE(IsNull(doc.GetRoot().childOne));
}

TEST(TreeEditor, CutThenPasteReproducesTheSubtreeAndUndoPutsItBack) {
    Fixture f;
    f.andNode->start = 120;
    f.note->duration = 777;
    const std::vector<uint8_t> edited = Bytes(f.doc);
    f.doc.SetTopNode(f.note); // inside the cut subtree
    f.doc.SetSelectedNode(f.andNode);

    ASSERT_TRUE(f.editor.Cut());
    ProtoType* hole = f.every->childTwo;
    EXPECT_TRUE(IsNull(hole));
    EXPECT_EQ(f.doc.SelectedNode(), hole);
    EXPECT_EQ(f.doc.TopNode(), hole) << "the top node lay inside the cut subtree";
    EXPECT_EQ(f.editor.UndoLabel(), "Cut");
    EXPECT_EQ(f.clipboard.Subtree().TypeName(), "And");

    // Undo right after the Cut: the subtree is back in place and selected again.
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), edited);
    EXPECT_EQ(f.doc.SelectedNode(), f.every->childTwo);
    EXPECT_EQ(f.doc.SelectedNode()->TypeName(), "And");
    EXPECT_EQ(f.doc.TopNode(), f.every->childTwo);
    ASSERT_TRUE(f.editor.Redo());
    EXPECT_TRUE(IsNull(f.every->childTwo));

    // Paste onto the Null gives the same types, names, times and parameters; a second Paste
    // elsewhere is an independent copy.
    f.doc.SetSelectedNode(f.every->childTwo);
    ASSERT_TRUE(f.editor.Paste());
    EXPECT_EQ(Bytes(f.doc), edited);
    EXPECT_EQ(f.doc.SelectedNode(), f.every->childTwo);
    ProtoType* pasted = f.every->childTwo;
    f.doc.SetSelectedNode(pasted->childTwo);
    ASSERT_TRUE(f.editor.Paste());
    ProtoType* second = pasted->childTwo;
    ASSERT_EQ(second->TypeName(), "And");
    second->childOne->name = "Other";
    EXPECT_EQ(pasted->childOne->name, "Tune");
    EXPECT_EQ(f.clipboard.Subtree().childOne->name, "Tune") << "Paste leaves the clipboard";

    // Everything back to the start.
    while (f.editor.CanUndo()) ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), edited);
}

TEST(TreeEditor, RootAndEmptyClipboardRefusals) {
    Fixture f;
    f.doc.SetSelectedNode(&f.doc.GetRoot());
    EXPECT_FALSE(f.editor.CanCut());
    EXPECT_FALSE(f.editor.Cut());
    EXPECT_FALSE(f.editor.Delete());
    f.clipboard.Set(f.note);
    f.editor.Copy(); // the Root: the clipboard is emptied
    EXPECT_TRUE(f.clipboard.IsEmpty());
    f.doc.SetSelectedNode(f.andNode->childTwo);
    EXPECT_FALSE(f.editor.CanPaste());
    EXPECT_FALSE(f.editor.Paste());
    f.doc.SetSelectedNode(f.note);
    f.editor.Copy();
    EXPECT_FALSE(f.editor.Paste()) << "only onto a Null";
    EXPECT_EQ(f.doc.History().Count(), 0u);
}

// The single undo place could be destroyed by a Paste onto it, a Define of it or the Cut of an
// ancestor, after which Undo worked on freed memory. Every step now names its place by path.
TEST(TreeEditor, UndoAfterTheUndoPlaceWasReplacedOrCutAway) {
    Fixture f;
    const std::vector<uint8_t> start = Bytes(f.doc);
    std::vector<std::vector<uint8_t>> states{start};
    auto step = [&](bool ok) {
        ASSERT_TRUE(ok);
        states.push_back(Bytes(f.doc));
    };
    f.doc.SetSelectedNode(f.note);
    step(f.editor.Cut()); // the Null left is the old undo place
    step(Define(f.editor, f.andNode->childOne, "Or") != nullptr); // ... defined over
    f.doc.SetSelectedNode(f.andNode->childOne->childOne);
    step(f.editor.Paste()); // a Paste inside it
    f.doc.SetSelectedNode(f.every);
    step(f.editor.Cut()); // and the Cut of an ancestor
    f.doc.SetSelectedNode(f.doc.GetRoot().childOne);
    step(f.editor.Paste());
    for (size_t i = states.size() - 1; i > 0; --i) {
        ASSERT_TRUE(f.editor.Undo());
        EXPECT_EQ(Bytes(f.doc), states[i - 1]) << "after undoing step " << i;
    }
    for (size_t i = 1; i < states.size(); ++i) {
        ASSERT_TRUE(f.editor.Redo());
        EXPECT_EQ(Bytes(f.doc), states[i]) << "after redoing step " << i;
    }
}

TEST(TreeEditor, ReferencesIntoARemovedSubtreeComeBackOnUndo) {
    Fixture f;
    // A Pointer beside the And points at the note inside it; another at the And itself.
    auto* inner = static_cast<Pointer*>(Define(f.editor, f.andNode->childTwo, "Pointer"));
    f.doc.SetSelectedNode(f.every->childOne);
    ASSERT_TRUE(f.editor.Cut()); // the Constant: make room for two Pointers
    ProtoType* pair = Define(f.editor, f.every->childOne, "And");
    auto* toNote = static_cast<Pointer*>(Define(f.editor, pair->childOne, "Pointer"));
    auto* toAnd = static_cast<Pointer*>(Define(f.editor, pair->childTwo, "Pointer"));
    ASSERT_TRUE(toNote->SetTarget(f.note));
    ASSERT_TRUE(toAnd->SetTarget(f.andNode));
    ASSERT_TRUE(inner->SetTarget(toNote)); // from inside the subtree out
    const std::vector<uint8_t> before = Bytes(f.doc);

    f.doc.SetSelectedNode(f.andNode);
    ASSERT_TRUE(f.editor.Delete());
    EXPECT_EQ(toNote->Target(), nullptr) << "its target went with the subtree";
    EXPECT_EQ(toAnd->Target(), f.every->childTwo) << "follows the Null that took the place";
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), before);
    EXPECT_EQ(toNote->Target(), f.every->childTwo->childOne);
    EXPECT_EQ(toAnd->Target(), f.every->childTwo);
    auto* back = static_cast<Pointer*>(f.every->childTwo->childTwo);
    EXPECT_EQ(back->Target(), toNote);
}

TEST(TreeEditor, ParameterEditIsOneStepAndResolvesTheUnionOfBothWindows) {
    Fixture f;
    f.doc.Options().resolveOnChange = true;
    f.every->start = 1000;
    f.every->duration = 2000;
    ParamDialog dialog = f.editor.ParamsDialogFor(f.every);
    EXPECT_DOUBLE_EQ(dialog.startSeconds, 1.0);
    dialog.startSeconds = 3.0; // moved later: [3000, 5000)
    dialog.durationSeconds = 2.0;
    dialog.name = "Pulse";
    f.doc.StopSolve();
    ASSERT_TRUE(f.editor.ApplyParams(f.every, dialog));
    EXPECT_EQ(f.editor.UndoLabel(), "Edit Every");
    EXPECT_EQ(f.every->start, 3000u);
    EXPECT_EQ(f.every->name, "Pulse");
    EXPECT_EQ(f.doc.Solver().Position(), 1000u) << "from the earlier start";
    EXPECT_EQ(f.doc.Solver().Remaining(), 4000u) << "to the later end";

    f.doc.StopSolve();
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(f.every->start, 1000u);
    EXPECT_EQ(f.every->name, "Every");
    EXPECT_EQ(f.doc.Solver().Position(), 1000u);
    EXPECT_EQ(f.doc.Solver().Remaining(), 4000u);

    // The same values again change nothing and make no step.
    EXPECT_FALSE(f.editor.ApplyParams(f.every, f.editor.ParamsDialogFor(f.every)));
    EXPECT_EQ(f.doc.History().Index(), 0u);
}

TEST(TreeEditor, AccretionWithCancelAndWithAPick) {
    Fixture f;
    const std::vector<uint8_t> before = Bytes(f.doc);
    platform::ScopedRecordingMessages messages;

    // Cancel: wrapped at once, nothing left out; the parent is selected.
    messages.QueueAnswer(platform::Answer::Cancel);
    ASSERT_TRUE(f.editor.MakeAccretion(f.andNode));
    EXPECT_EQ(messages.Asked(), std::vector<std::string>{kAccretionQuestion});
    Accrete* acc = AsAccrete(f.every->childTwo);
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(acc->childOne, f.andNode);
    EXPECT_EQ(acc->GetInnerChild(1), nullptr);
    EXPECT_EQ(f.doc.SelectedNode(), f.every);
    EXPECT_EQ(f.editor.UndoLabel(), "Make Accretion");

    // Un-Accrete gives back the shape from before the accretion.
    std::vector<TreeMenuEntry> menu = f.editor.ContextMenu(acc);
    ASSERT_TRUE(std::any_of(menu.begin(), menu.end(),
                            [](const TreeMenuEntry& e) { return e.text == "Un-Accrete"; }));
    f.doc.SetTopNode(acc);
    ASSERT_TRUE(f.editor.Special(acc, 1));
    EXPECT_EQ(f.editor.UndoLabel(), "Un-Accrete");
    EXPECT_EQ(Bytes(f.doc), before);
    EXPECT_EQ(f.doc.SelectedNode(), f.every);
    EXPECT_EQ(f.doc.TopNode(), f.every);
    ASSERT_TRUE(f.editor.Undo()); // the Accrete again
    ASSERT_TRUE(f.editor.Undo()); // and gone
    EXPECT_EQ(Bytes(f.doc), before);

    // OK: the pick that follows names the branch to leave out; the top node, when it was the
    // node, becomes its visual parent (the Accrete).
    f.doc.SetTopNode(f.andNode);
    messages.QueueAnswer(platform::Answer::Ok);
    ASSERT_TRUE(f.editor.MakeAccretion(f.andNode));
    EXPECT_EQ(f.editor.PickMode(), 1);
    EXPECT_EQ(f.editor.PickPrompt(), kAccretionQuestion);
    EXPECT_TRUE(f.editor.RightClickOn(f.note).empty());
    EXPECT_EQ(f.editor.PickMode(), 0);
    acc = AsAccrete(f.every->childTwo);
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(acc->GetInnerChild(1), f.note);
    EXPECT_EQ(f.doc.TopNode(), acc);
    EXPECT_EQ(TreeEditor::VisualParent(f.note), acc) << "the left-out branch leads back";
    const std::vector<uint8_t> accreted = Bytes(f.doc);
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), before);
    ASSERT_TRUE(f.editor.Redo());
    EXPECT_EQ(Bytes(f.doc), accreted);

    // Cancelling a pending pick makes no step.
    messages.QueueAnswer(platform::Answer::Ok);
    const size_t steps = f.doc.History().Index();
    ASSERT_TRUE(f.editor.MakeAccretion(f.every->childOne));
    f.editor.CancelPick();
    EXPECT_EQ(f.doc.History().Count(), steps);
    EXPECT_EQ(f.editor.PickMode(), 0);
}

TEST(TreeEditor, UnAccreteUndoGivesReferencesTheAccreteBack) {
    Fixture f;
    platform::ScopedRecordingMessages messages;
    messages.QueueAnswer(platform::Answer::Cancel);
    ASSERT_TRUE(f.editor.MakeAccretion(f.andNode));
    auto* acc = static_cast<Accrete*>(f.every->childTwo);
    acc->SetReference(0, f.note);
    acc->SetReference(1, f.andNode->childTwo);
    acc->start = 40; // Un-Accrete keeps the branch's absolute window
    f.doc.SetSelectedNode(f.every->childOne);
    ASSERT_TRUE(f.editor.Delete());
    auto* p = static_cast<Pointer*>(Define(f.editor, f.every->childOne, "Pointer"));
    ASSERT_TRUE(p->SetTarget(acc));
    f.doc.History().Clear();
    const std::vector<uint8_t> before = Bytes(f.doc);

    ASSERT_TRUE(f.editor.UnAccrete(acc));
    EXPECT_EQ(p->Target(), f.andNode);
    EXPECT_EQ(f.andNode->start, 40u);
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), before);
    auto* again = static_cast<Accrete*>(f.every->childTwo);
    EXPECT_EQ(p->Target(), again);
    EXPECT_EQ(again->GetInnerChild(1), f.note);
    EXPECT_EQ(again->GetInnerChild(2), f.andNode->childTwo);
}

TEST(TreeEditor, AccreteForgetsBothInnerReferences) {
    Fixture f;
    platform::ScopedRecordingMessages messages;
    messages.QueueAnswer(platform::Answer::Cancel);
    ASSERT_TRUE(f.editor.MakeAccretion(f.andNode));
    auto* acc = static_cast<Accrete*>(f.every->childTwo);
    acc->SetReference(0, f.note);
    acc->SetReference(1, f.andNode->childTwo);
    acc->SetReference(0, f.every); // outside the Accrete: refused
    EXPECT_EQ(acc->GetInnerChild(1), nullptr);
    acc->SetReference(0, f.note);
    f.doc.SetSelectedNode(f.andNode);
    ASSERT_TRUE(f.editor.Delete());
    EXPECT_EQ(acc->GetInnerChild(1), nullptr);
    EXPECT_EQ(acc->GetInnerChild(2), nullptr);
}

TEST(TreeEditor, PointerPickRefusesWhatContainsItAndUndoes) {
    Fixture f;
    auto* p = static_cast<Pointer*>(Define(f.editor, f.andNode->childTwo, "Pointer"));
    platform::ScopedRecordingMessages messages;
    std::vector<TreeMenuEntry> menu = f.editor.ContextMenu(p);
    std::vector<std::string> texts;
    for (const TreeMenuEntry& e : menu) texts.push_back(e.text);
    EXPECT_EQ(texts,
              (std::vector<std::string>{"Define Node", "Graph Node", "", "Redefine Pointer",
                                        "Find Pointer Name", "Make Accretion", "Align Times"}));

    // Redefine Pointer, picked onto a sibling subtree: it takes that node and its name.
    ASSERT_TRUE(f.editor.RunMenuAction(p, TreeMenuAction::Special1));
    EXPECT_EQ(f.editor.PickMode(), 2);
    EXPECT_EQ(f.editor.PickPrompt(), kPointerTargetPrompt);
    f.editor.RightClickOn(f.note);
    EXPECT_EQ(p->Target(), f.note);
    EXPECT_EQ(p->targetName, "Tune");
    EXPECT_EQ(messages.Shown().back(), "The Pointer now points to 'Tune' ");
    EXPECT_EQ(f.editor.UndoLabel(), "Redefine Pointer");

    // Picked onto its own parent: refused, the target cleared.
    ASSERT_TRUE(f.editor.RedefinePointer(p));
    f.editor.RightClickOn(f.andNode);
    EXPECT_EQ(messages.Shown().back(), "Your selection is invalid.  ");
    EXPECT_EQ(p->Target(), nullptr);
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(p->Target(), f.note);
    EXPECT_EQ(p->targetName, "Tune");

    // Find Pointer Name: a name that contains the Pointer is refused as well, and an unknown
    // one leaves the target alone; neither makes a step.
    const size_t steps = f.doc.History().Index();
    p->targetName = "And";
    ASSERT_FALSE(f.editor.FindPointerName(p));
    EXPECT_EQ(messages.Shown().back(), "Your selection is invalid.  ");
    p->targetName = "Nowhere";
    ASSERT_FALSE(f.editor.FindPointerName(p));
    EXPECT_EQ(messages.Shown().back(), "The name was not found in the tree for 'Pointer'.");
    EXPECT_EQ(p->Target(), f.note);
    f.every->childOne->name = "Beat";
    p->targetName = "Beat";
    ASSERT_TRUE(f.editor.FindPointerName(p));
    EXPECT_EQ(p->Target(), f.every->childOne);
    EXPECT_EQ(f.doc.History().Index(), steps + 1);

    // Expand Pointer: a copy of the target takes the Pointer's place; Undo brings it back.
    const std::vector<uint8_t> pointing = Bytes(f.doc);
    ASSERT_TRUE(f.editor.ExpandPointer(p));
    EXPECT_EQ(f.andNode->childTwo->TypeName(), "Constant");
    EXPECT_EQ(f.andNode->childTwo->name, "Beat");
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), pointing);
    p = static_cast<Pointer*>(f.andNode->childTwo);
    ASSERT_TRUE(f.editor.ForgetTarget(p));
    EXPECT_EQ(p->Target(), nullptr);
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(p->Target(), f.every->childOne);
}

TEST(TreeEditor, SelectClimbsToTheVisualParentAndNavigates) {
    Fixture f;
    f.editor.Select(f.note);
    EXPECT_EQ(f.editor.Selected(), f.note);
    f.editor.Select(f.note); // already selected: its visual parent
    EXPECT_EQ(f.editor.Selected(), f.andNode);
    f.editor.Select(f.andNode, false);
    EXPECT_EQ(f.editor.Selected(), f.andNode);
    f.editor.SetTop(f.every);
    f.editor.SetTop(f.every);
    EXPECT_EQ(f.editor.Top(), &f.doc.GetRoot());
    f.editor.GoToLeft();
    EXPECT_EQ(f.editor.Selected(), f.note);
    f.editor.GoToLeft(); // a leaf: stays
    EXPECT_EQ(f.editor.Selected(), f.note);
    f.editor.GoToParent();
    f.editor.GoToRight();
    EXPECT_EQ(f.editor.Selected(), f.andNode->childTwo);
    f.editor.GoToRoot();
    EXPECT_EQ(f.editor.Selected(), &f.doc.GetRoot());
    f.editor.GoToParent(); // the Root has none
    EXPECT_EQ(f.editor.Selected(), &f.doc.GetRoot());

    // Menus: a Null offers only "Add new node...", the Root no accretion.
    std::vector<TreeMenuEntry> menu = f.editor.ContextMenu(f.andNode->childTwo);
    ASSERT_EQ(menu.size(), 1u);
    EXPECT_EQ(menu[0].text, "Add new node...");
    menu = f.editor.ContextMenu(&f.doc.GetRoot());
    EXPECT_TRUE(std::none_of(menu.begin(), menu.end(),
                             [](const TreeMenuEntry& e) { return e.text == "Make Accretion"; }));
    QuietDoc other;
    EXPECT_TRUE(f.editor.ContextMenu(other.GetRoot().childOne).empty()) << "another tree";
}

TEST(TreeEditor, HitTestHalvesTheWidthPerRow) {
    Fixture f;
    const TreeViewGeometry view{.width = 800, .height = 400, .rows = 4};
    EXPECT_EQ(f.editor.HitTest(10, 10, view), &f.doc.GetRoot());
    EXPECT_EQ(f.editor.HitTest(200, 150, view), f.every);
    EXPECT_EQ(f.editor.HitTest(700, 150, view), nullptr) << "the Root has no right branch";
    EXPECT_EQ(f.editor.HitTest(100, 250, view), f.every->childOne);
    f.doc.SetTopNode(f.every);
    EXPECT_EQ(f.editor.HitTest(100, 150, view), f.every->childOne);
    EXPECT_EQ(f.editor.HitTest(500, 150, view), f.andNode);
    EXPECT_EQ(f.editor.HitTest(500, 250, view), f.note) << "400 <= x < 600: right, then left";
    EXPECT_EQ(f.editor.HitTest(700, 250, view), f.andNode->childTwo);
    EXPECT_EQ(f.editor.HitTest(100, 350, view), nullptr) << "below a leaf";
    EXPECT_EQ(f.editor.HitTest(
                  300, 0, {.width = 800, .height = 400, .rows = 4, .scrollX = 200, .scrollY = 100}),
              f.andNode);

    // No rows, rows of no height, no width: no node, and no division by zero.
    EXPECT_EQ(f.editor.HitTest(5, 5, {.width = 800, .height = 400, .rows = 0}), nullptr);
    EXPECT_EQ(f.editor.HitTest(5, 5, {.width = 800, .height = 3, .rows = 4}), nullptr);
    EXPECT_EQ(f.editor.HitTest(5, 5, {.width = 800, .height = 0, .rows = 4}), nullptr);
    EXPECT_EQ(f.editor.HitTest(5, 5, {.width = 0, .height = 400, .rows = 4}), nullptr);
    EXPECT_EQ(f.editor.HitTest(5, -50, view), nullptr);

    f.editor.LeftClick(500, 250, view);
    EXPECT_EQ(f.editor.Selected(), f.note);
    f.editor.DoubleClick(500, 150, view);
    EXPECT_EQ(f.editor.Top(), f.andNode);
}

TEST(TreeEditor, AlignTimesUndoesEveryWindow) {
    Fixture f;
    f.andNode->start = 50;
    f.andNode->duration = 70;
    f.note->start = 5;
    const std::vector<uint8_t> before = Bytes(f.doc);
    ASSERT_TRUE(f.editor.RunMenuAction(f.every, TreeMenuAction::AlignTimes));
    EXPECT_EQ(f.editor.UndoLabel(), "Align Times");
    EXPECT_EQ(f.andNode->start, 0u);
    EXPECT_EQ(f.note->duration, f.every->duration);
    EXPECT_FALSE(f.editor.AlignTimes(f.every)) << "already aligned: no step";
    ASSERT_TRUE(f.editor.Undo());
    EXPECT_EQ(Bytes(f.doc), before);
}

TEST(TreeEditor, SelectionAndPickNeverOutliveTheirNodes) {
    Fixture f;
    // Un-Accrete straight on the node tells the document: what named the Accrete follows its
    // branch, and a pick the Accrete waited for ends.
    f.andNode->MakeAccretion(nullptr);
    Accrete* acc = AsAccrete(f.every->childTwo);
    ASSERT_NE(acc, nullptr);
    f.doc.SetSelectedNode(acc);
    f.doc.SetTopNode(acc);
    f.doc.SetPickMode(2, acc);
    ASSERT_EQ(acc->UnAccrete(), f.andNode);
    EXPECT_EQ(f.doc.SelectedNode(), f.andNode);
    EXPECT_EQ(f.doc.TopNode(), f.andNode);
    EXPECT_EQ(f.doc.PickMode(), 0);

    auto* p = static_cast<Pointer*>(Define(f.editor, f.andNode->childTwo, "Pointer"));
    ASSERT_TRUE(f.editor.RedefinePointer(p));
    f.doc.SetSelectedNode(f.every->childOne);
    f.doc.SetTopNode(f.note);
    // Removing the subtree outside the editor (the factory directly) ends the pick and moves
    // the kept nodes to the Root; nothing keeps the freed nodes, and no step can be undone in
    // the changed tree.
    ASSERT_TRUE(f.editor.CanUndo());
    ReplaceWith(f.every, "Null");
    EXPECT_FALSE(f.editor.CanUndo());
    EXPECT_EQ(f.doc.PickMode(), 0);
    EXPECT_EQ(f.doc.Picker(), nullptr);
    EXPECT_EQ(f.doc.SelectedNode(), &f.doc.GetRoot());
    EXPECT_EQ(f.doc.TopNode(), &f.doc.GetRoot());

    // A new document forgets the steps, which name places in the old tree.
    Fixture g;
    ASSERT_NE(Define(g.editor, g.andNode->childTwo, "Word"), nullptr);
    EXPECT_TRUE(g.editor.CanUndo());
    ASSERT_TRUE(g.doc.OnNewDocument());
    EXPECT_FALSE(g.editor.CanUndo());
}

namespace {

// Keeps the Word editors it is asked to show, as the desktop's window list would.
class EditorHost : public NodeHost {
public:
    bool RunParamsDialog(ProtoType&, ParamDialog& dialog) override {
        dialog.name = "Renamed";
        return true;
    }
    void ShowEventGraph(const std::string&, float, CNoteEventList&) override {}
    void ToggleDataEditor(ProtoType&) override {}
    void OpenEventEditor(EventEditorLink& link, CEventTree& events,
                         const std::string& title) override {
        if (auto editor = ToggleLinkedEditor(link, events, title))
            editors.push_back(std::move(editor));
    }
    std::vector<std::unique_ptr<CSELDoc>> editors;
};

} // namespace

TEST(TreeEditor, AWordsEditorLetsGoWhenItsAncestorIsCut) {
    Fixture f;
    EditorHost host;
    NodeHost* previous = SetNodeHost(&host);
    auto* word = static_cast<Word*>(Define(f.editor, f.andNode->childTwo, "Word"));
    word->events.Add(new EventMidi(0, 0x90, 60, 100, 250));
    f.editor.GraphNode(word);
    ASSERT_EQ(host.editors.size(), 1u);
    EXPECT_EQ(host.editors[0]->GetChannelEvents(1), &word->events);
    f.doc.SetSelectedNode(f.every);
    ASSERT_TRUE(f.editor.Cut());
    EXPECT_FALSE(host.editors[0]->EditsOwnerEvents());
    host.editors[0]->GetChannelEvents(1)->Add(new EventMidi(0, 0x90, 61, 100, 10));
    ASSERT_TRUE(f.editor.Undo()); // a new Every, holding a new Word
    auto* back = static_cast<Word*>(f.doc.GetRoot().childOne->childTwo->childTwo);
    EXPECT_EQ(back->events.GetCount(), 1) << "the store as it was cut";

    // Define Node on a defined node is its parameter dialog, through the host.
    ASSERT_TRUE(f.editor.RunMenuAction(back, TreeMenuAction::DefineNode));
    EXPECT_EQ(back->name, "Renamed");
    EXPECT_EQ(f.editor.UndoLabel(), "Edit Word");
    SetNodeHost(previous);
}

TEST(TreeEditor, AddFromFileCopiesTheFilesBranch) {
    testutil::TempDir dir("dendra-edit");
    {
        Fixture source;
        auto* p = static_cast<Pointer*>(Define(source.editor, source.andNode->childTwo, "Pointer"));
        ASSERT_TRUE(p->SetTarget(source.note));
        ASSERT_TRUE(source.doc.OnSaveDocument(dir.File("part.dra")));
    }
    QuietDoc doc;
    TreeClipboard clipboard;
    TreeEditor editor(doc, clipboard);
    ASSERT_TRUE(editor.DefineFromFile(doc.GetRoot().childOne, dir.File("part.dra")));
    EXPECT_EQ(editor.UndoLabel(), "Add From File");
    ProtoType* every = doc.GetRoot().childOne;
    ASSERT_EQ(every->TypeName(), "Every");
    auto* p = static_cast<Pointer*>(every->childTwo->childTwo);
    EXPECT_EQ(p->Target(), every->childTwo->childOne) << "points into the copy";

    platform::ScopedRecordingMessages messages;
    EXPECT_FALSE(editor.DefineFromFile(every->childOne, dir.File("part.dra"))) << "not a Null";
    EXPECT_FALSE(editor.DefineFromFile(p, dir.File("missing.dra")));
    EXPECT_EQ(doc.History().Count(), 1u);
}
