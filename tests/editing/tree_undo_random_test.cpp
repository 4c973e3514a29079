// Long random sequences of tree edits, undone step by step back to the original bytes and redone
// to the edited bytes. Between steps every node the document or a node refers to must still be
// in the tree (a dangling reference fails here even without the address sanitizer).
#include "editing/tree_editor.h"

#include "nodes/control.h"
#include "platform/user_messages.h"
#include "tests/editing/tree_editing_helpers.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using treeedit::Bytes;
using treeedit::QuietDoc;

namespace {

std::vector<ProtoType*> AllNodes(ProtoType& root) {
    std::vector<ProtoType*> out;
    std::vector<ProtoType*> stack{&root};
    while (!stack.empty()) {
        ProtoType* n = stack.back();
        stack.pop_back();
        out.push_back(n);
        if (n->childTwo) stack.push_back(n->childTwo);
        if (n->childOne) stack.push_back(n->childOne);
    }
    return out;
}

std::string FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    std::string out = "first difference at byte " + std::to_string(i) + " of " +
                      std::to_string(a.size()) + "/" + std::to_string(b.size()) + ":";
    for (size_t j = i >= 16 ? i - 16 : 0; j < i + 16; ++j) {
        out += " " + (j < a.size() ? std::to_string(a[j]) : "-") + "/" +
               (j < b.size() ? std::to_string(b[j]) : "-");
    }
    return out + "\n";
}

// A readable form of a tree document's bytes, for failure messages: one line per node with its
// type, name, window and references (as paths).
std::string Describe(const std::vector<uint8_t>& bytes) {
    QuietDoc doc;
    if (!doc.LoadFromMemory(bytes.data(), bytes.size())) return "(unreadable)";
    std::string out;
    std::vector<std::pair<ProtoType*, int>> stack{{&doc.GetRoot(), 0}};
    while (!stack.empty()) {
        auto [n, depth] = stack.back();
        stack.pop_back();
        out += std::string(static_cast<size_t>(depth) * 2, ' ') + n->TypeName() + " '" + n->name +
               "' " + std::to_string(n->start) + "+" + std::to_string(n->duration);
        for (int i = 0; i < n->ReferenceSlots(); ++i) {
            const ProtoType* r = n->GetReference(i);
            out += r ? " ->" + PathOf(*r) : " ->none";
        }
        for (const ParamField& f : n->GetParamTable()) {
            if (f.store != ParamStore::None)
                out += std::string(" ") + f.key + "=" + GetParamText(f, *n);
        }
        out += "\n";
        if (n->childTwo) stack.emplace_back(n->childTwo, depth + 1);
        if (n->childOne) stack.emplace_back(n->childOne, depth + 1);
    }
    return out;
}

bool InTree(ProtoType& root, const ProtoType* node) {
    int found = 0;
    root.FindNode(node, found); // compares addresses only: safe for a stale pointer
    return found != 0;
}

class RandomEdits {
public:
    RandomEdits(uint32_t seed, QuietDoc& doc, TreeEditor& editor)
        : rng_(seed), doc_(doc), editor_(editor), types_(Registry().NamesInFamily("All Types")) {}

    // One random edit (or none when the chosen one does not apply); true when a step was made.
    bool Step() {
        const size_t before = doc_.History().Index();
        if (editor_.PickMode() != 0) {
            editor_.RightClickOn(Any());
            return doc_.History().Index() != before;
        }
        const int op = Pick(0, 16);
        ProtoType* n = Any();
        switch (op) {
        case 0:
        case 1:
        case 2: { // Define, on a Null
            ProtoType* null = AnyOf([](ProtoType* x) { return x->TypeName() == "Null"; });
            if (null && Count() < 250) { // Pointers more often than their share
                editor_.Define(null, Pick(0, 5) == 0
                                         ? std::string("Pointer")
                                         : types_[static_cast<size_t>(Pick(0, Last(types_)))]);
            }
            break;
        }
        case 3:
        case 4:
            EditParams(n);
            break;
        case 5:
            doc_.SetSelectedNode(n);
            editor_.Cut();
            break;
        case 6:
            doc_.SetSelectedNode(n);
            editor_.Copy();
            break;
        case 7: {
            ProtoType* null = AnyOf([](ProtoType* x) { return x->TypeName() == "Null"; });
            if (null && Count() < 250) {
                doc_.SetSelectedNode(null);
                editor_.Paste();
            }
            break;
        }
        case 8:
            doc_.SetSelectedNode(n);
            editor_.Delete();
            break;
        case 9: // accretion, the pick (inside, outside) or Cancel
            messages_.QueueAnswer(Pick(0, 1) ? platform::Answer::Ok : platform::Answer::Cancel);
            if (editor_.MakeAccretion(n) && editor_.PickMode() == 1) {
                std::vector<ProtoType*> inside = AllNodes(*n);
                editor_.RightClickOn(Pick(0, 2) ? inside[static_cast<size_t>(Pick(0, Last(inside)))]
                                                : Any());
            }
            break;
        case 10:
            if (ProtoType* a = AnyOf(IsA<Accrete>)) editor_.UnAccrete(a);
            break;
        case 11:
            if (ProtoType* p = AnyOf(IsA<Pointer>)) {
                editor_.RedefinePointer(p);
                editor_.RightClickOn(Any());
            }
            break;
        case 12:
            if (ProtoType* p = AnyOf(IsA<Pointer>)) editor_.FindPointerName(p);
            break;
        case 13:
            editor_.AlignTimes(n);
            break;
        case 14:
            if (ProtoType* p = AnyOf(IsA<Pointer>)) {
                Pick(0, 1) ? editor_.ExpandPointer(p) : editor_.ForgetTarget(p);
            }
            break;
        case 15: // give a Pointer a target directly, as a file read would
            if (auto* p = static_cast<Pointer*>(AnyOf(IsA<Pointer>))) {
                editor_.RedefinePointer(p);
                editor_.Pick(AnyOf([](ProtoType* x) { return x->TypeName() != "Null"; }));
            }
            break;
        case 16:
            if (doc_.History().CanUndo() && Pick(0, 1)) editor_.Undo();
            break;
        }
        if (messages_.Shown().size() > 100) messages_.Clear();
        return doc_.History().Index() != before;
    }

private:
    template <class T> static bool IsA(ProtoType* x) { return x->GetTypeId() == T::kInfo.typeId; }
    static int Last(const std::vector<std::string>& v) { return static_cast<int>(v.size()) - 1; }
    static int Last(const std::vector<ProtoType*>& v) { return static_cast<int>(v.size()) - 1; }

    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    int Count() { return static_cast<int>(AllNodes(doc_.GetRoot()).size()); }
    ProtoType* Any() {
        std::vector<ProtoType*> all = AllNodes(doc_.GetRoot());
        return all[static_cast<size_t>(Pick(0, Last(all)))];
    }
    template <class Pred> ProtoType* AnyOf(Pred pred) {
        std::vector<ProtoType*> fit;
        for (ProtoType* x : AllNodes(doc_.GetRoot())) {
            if (pred(x)) fit.push_back(x);
        }
        return fit.empty() ? nullptr : fit[static_cast<size_t>(Pick(0, Last(fit)))];
    }

    void EditParams(ProtoType* n) {
        ParamDialog d = editor_.ParamsDialogFor(n);
        if (Pick(0, 2) == 0) d.startSeconds = Pick(0, 2000) / 1000.0;
        if (Pick(0, 2) == 0) d.durationSeconds = Pick(0, 12000) / 1000.0;
        if (Pick(0, 3) == 0) d.name = Pick(0, 1) ? "Tune" : "Beat";
        ParamTable table = n->GetParamTable();
        for (size_t i = 0; i < table.size() && i < d.fields.size(); ++i) {
            const ParamField& f = table[i];
            ParamValue& v = d.fields[i];
            if (Pick(0, 1)) continue;
            if (!f.choices.empty()) {
                const ParamChoice& c =
                    f.choices[static_cast<size_t>(Pick(0, static_cast<int>(f.choices.size()) - 1))];
                v.number = c.value;
                v.text = c.label;
            } else if (f.control == ParamControl::Check) {
                v.number = Pick(0, 1);
            } else if (f.control == ParamControl::Text) {
                v.text = Pick(0, 1) ? "Tune" : "x";
            } else if (f.control == ParamControl::Number || f.control == ParamControl::Seconds) {
                const double span = std::min(f.max - f.min, 2000.0);
                double value = f.min + span * Pick(0, 1000) / 1000.0;
                if (f.control == ParamControl::Seconds) value *= 0.001;
                v.number = value;
            }
        }
        editor_.ApplyParams(n, d);
    }

    std::mt19937 rng_;
    QuietDoc& doc_;
    TreeEditor& editor_;
    std::vector<std::string> types_;
    platform::ScopedRecordingMessages messages_;
};

// Every node the document keeps and every reference a node holds is a node of the tree.
void ExpectNoStaleNodes(CDendraDoc& doc) {
    Root& root = doc.GetRoot();
    ASSERT_TRUE(InTree(root, doc.SelectedNode()));
    ASSERT_TRUE(InTree(root, doc.TopNode()));
    if (doc.Picker()) {
        ASSERT_TRUE(InTree(root, doc.Picker()));
    }
    for (ProtoType* n : AllNodes(root)) {
        for (int i = 0; i < n->ReferenceSlots(); ++i) {
            if (const ProtoType* r = n->GetReference(i)) {
                ASSERT_TRUE(InTree(root, r)) << n->TypeName() << " holds a stale reference";
                ASSERT_FALSE(n->IsWithin(r) && n->GetTypeId() == Pointer::kInfo.typeId)
                    << "a Pointer targets a node that contains it";
            }
        }
    }
}

} // namespace

TEST(TreeEditingRandom, UndoAllGivesTheOriginalBytesAndRedoAllTheEdited) {
    constexpr int kSeeds = 30;
    constexpr int kSteps = 180;      // below the stack's limit, so the first state stays reachable
    std::map<std::string, int> made; // how often each kind of step was made, over all seeds
    for (int seed = 1; seed <= kSeeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        QuietDoc doc;
        TreeClipboard clipboard;
        TreeEditor editor(doc, clipboard);
        RandomEdits edits(static_cast<uint32_t>(seed), doc, editor);
        // A tree to start from, then forget how it was made.
        for (int i = 0; i < 60; ++i) edits.Step();
        while (editor.PickMode() != 0) editor.CancelPick();
        doc.History().Clear();
        ASSERT_LE(static_cast<size_t>(kSteps), doc.History().Limit());

        std::vector<std::vector<uint8_t>> states{Bytes(doc)}; // states[i]: after i steps
        int attempts = 0;
        while (doc.History().Count() < static_cast<size_t>(kSteps) && attempts < 20 * kSteps) {
            ++attempts;
            const size_t index = doc.History().Index();
            edits.Step();
            ExpectNoStaleNodes(doc);
            if (HasFatalFailure()) return;
            const size_t now = doc.History().Index();
            if (now > index) { // a new step (any redo steps are gone)
                const std::string label = doc.History().UndoLabel();
                const bool typed = label.starts_with("Define ") || label.starts_with("Edit ");
                ++made[typed ? label.substr(0, label.find(' ')) : label];
                states.resize(index + 1);
                states.push_back(Bytes(doc));
            } else if (now < index) { // an Undo inside the sequence
                ASSERT_EQ(Bytes(doc), states[now]) << "undo inside the sequence";
            } else {
                ASSERT_EQ(Bytes(doc), states[now]) << "no step, yet the tree changed";
            }
        }
        while (editor.PickMode() != 0) editor.CancelPick();
        states.resize(doc.History().Count() + 1);
        const std::vector<uint8_t> edited = states.back();
        ASSERT_GE(doc.History().Count(), static_cast<size_t>(kSteps / 2));

        while (editor.CanUndo()) {
            ASSERT_TRUE(editor.Undo());
            ExpectNoStaleNodes(doc);
            ASSERT_EQ(Bytes(doc), states[doc.History().Index()])
                << "undoing " << doc.History().RedoLabel() << "\n"
                << FirstDifference(Bytes(doc), states[doc.History().Index()])
                << Describe(Bytes(doc)) << "wanted\n"
                << Describe(states[doc.History().Index()]);
        }
        EXPECT_EQ(Bytes(doc), states.front());
        while (editor.CanRedo()) {
            ASSERT_TRUE(editor.Redo());
            ExpectNoStaleNodes(doc);
            ASSERT_EQ(Bytes(doc), states[doc.History().Index()])
                << "redoing " << doc.History().UndoLabel() << "\n"
                << Describe(Bytes(doc)) << "wanted\n"
                << Describe(states[doc.History().Index()]);
        }
        EXPECT_EQ(Bytes(doc), edited);
    }
    // The sequences hold every kind of edit, many times over.
    for (const char* kind : {"Define", "Edit", "Cut", "Paste", "Delete", "Make Accretion",
                             "Un-Accrete", "Redefine Pointer", "Find Pointer Name", "Forget Target",
                             "Expand Pointer", "Align Times"}) {
        EXPECT_GE(made[kind], 10) << kind;
    }
}
