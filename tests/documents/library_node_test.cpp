// Effect libraries: loading the example library and ones that misbehave, Library nodes that
// solve through it, and trees with Library nodes saved and re-opened with and without it.
#include "documents/tree_document.h"
#include "events/archive.h"
#include "events/event_list.h"
#include "nodes/builtin_nodes.h"
#include "nodes/library.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "tests/documents/tree_bytes.h"
#include "tests/tree/tree_helpers.h"
#include "tree/solve.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

class Libraries : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterBuiltinNodeTypes();
        Registry().BuildBuiltins(true);
        ResetMissingLibraryNotices();
        doc.OnNewDocument();
        doc.SetSolveOnRead(false);
    }
    void TearDown() override { Registry().BuildBuiltins(false); }

    bool LoadExample() { return LoadEffectLibraries(Registry(), {EXAMPLE_EFFECTS}) == 1; }

    platform::ScopedRecordingMessages messages;
    CDendraDoc doc;
};

std::vector<uint8_t> Stored(CDendraDoc& d) {
    CArchive ar;
    d.WriteDocument(ar);
    return ar.Buffer();
}

// Defines `effect` in place of `at` as the tree editor does.
LibraryNode* PutEffect(ProtoType* at, const std::string& effect) {
    const RegistryEntry* e = Registry().Find(effect);
    if (!e) return nullptr;
    void* handle = FindLoadedLibrary(Registry(), e->library);
    auto* n = static_cast<LibraryNode*>(DefineLibraryNode(at, handle, effect));
    if (n) n->AlignTimes(0);
    return n;
}

std::vector<std::string> Solved(CDendraDoc& d) {
    d.Solver().SolveAtOnce();
    return Flatten(d.Solution());
}

TEST_F(Libraries, TheExampleLibraryOffersItsEffectsWhichSolveThroughIt) {
    ASSERT_TRUE(LoadExample());
    EXPECT_TRUE(messages.Shown().empty());
    const RegistryEntry* pulse = Registry().Find("Pulse");
    ASSERT_NE(pulse, nullptr);
    EXPECT_EQ(pulse->family, "Examples");
    EXPECT_EQ(pulse->library, "ExampleEffects");
    EXPECT_EQ(Registry().Families().back(), "Examples");
    EXPECT_EQ(Registry().NamesInFamily("Examples"),
              (std::vector<std::string>{"Pulse", "Transpose"}));

    // Pulse: a drum note every 250 ms of its window, every fourth accented.
    doc.GetRoot().duration = 1000;
    LibraryNode* p = PutEffect(doc.GetRoot().childOne, "Pulse");
    ASSERT_TRUE(p && p->IsBound());
    EXPECT_EQ(p->GetChildCount(), 0);
    EXPECT_EQ(p->name, "Pulse");
    EXPECT_EQ(p->LibraryTypeName(), "Pulse");
    std::string info;
    p->GetInfo(info);
    EXPECT_EQ(info, "Pulse plays one note at a steady interval over its window.");
    const std::vector<std::string> pulses = Solved(doc);
    ASSERT_GE(pulses.size(), 4u);
    EXPECT_EQ(pulses[0], "0:m99,42,127,0/125");
    EXPECT_EQ(pulses[1], "250:m99,42,80,0/125");
    EXPECT_EQ(pulses[3], "750:m99,42,80,0/125");

    // Transpose: its branch's notes a fifth up; the special command adds an octave.
    doc.OnNewDocument();
    LibraryNode* t = PutEffect(doc.GetRoot().childOne, "Transpose");
    ASSERT_TRUE(t && t->IsBound());
    ASSERT_EQ(t->GetChildCount(), 1);
    auto* note = Put<MidiNote>(t->childOne, "MidiNote");
    note->pitch = 60.0f;
    std::string special;
    t->GetSpecialName(1, special);
    EXPECT_EQ(special, "Up an Octave");
    CNoteEventList list;
    list.now = 0;
    list.next = kFixedStep;
    t->Solve(list);
    ASSERT_NE(list.head, nullptr);
    ASSERT_TRUE(list.head->IsMidi());
    EXPECT_EQ(static_cast<EventMidi*>(list.head)->data1, 67);
    t->Special(1);
    list.RemoveAll();
    t->Solve(list);
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(static_cast<EventMidi*>(list.head)->data1, 79);
    EXPECT_EQ(t->LibraryBytes(), (std::vector<uint8_t>{19}));
}

TEST_F(Libraries, TreesWithEffectsReopenWithAndWithoutTheirLibraryByteForByte) {
    ASSERT_TRUE(LoadExample());
    auto* both = Put(doc.GetRoot().childOne, "And");
    PutEffect(both->childOne, "Pulse");
    LibraryNode* t = PutEffect(both->childTwo, "Transpose");
    Put<MidiNote>(t->childOne, "MidiNote")->pitch = 50.0f;
    t->Special(1);
    const std::vector<uint8_t> first = Stored(doc);
    const std::vector<std::string> solved = Solved(doc);

    // With the library: bound again, the same bytes and the same solution.
    CDendraDoc again;
    again.SetSolveOnRead(false);
    ASSERT_TRUE(again.LoadFromMemory(first.data(), first.size()));
    auto* t2 = dynamic_cast<LibraryNode*>(again.GetRoot().childOne->childTwo);
    ASSERT_TRUE(t2 && t2->IsBound());
    EXPECT_EQ(t2->LibraryBytes(), (std::vector<uint8_t>{19}));
    EXPECT_EQ(Stored(again), first);
    EXPECT_EQ(Solved(again), solved);
    EXPECT_TRUE(messages.Shown().empty());

    // Without it: kept as read, told once, yields nothing of its own, saved back unchanged.
    Registry().BuildBuiltins(true);
    CDendraDoc without;
    without.SetSolveOnRead(false);
    ASSERT_TRUE(without.LoadFromMemory(first.data(), first.size()));
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_NE(messages.Shown()[0].find("\"ExampleEffects\""), std::string::npos);
    auto* kept = dynamic_cast<LibraryNode*>(without.GetRoot().childOne->childTwo);
    ASSERT_TRUE(kept && !kept->IsBound());
    EXPECT_EQ(kept->EffectName(), "Transpose");
    EXPECT_EQ(kept->KeptBytes(), (std::vector<uint8_t>{19}));
    ASSERT_NE(kept->childOne, nullptr) << "its branch is kept";
    EXPECT_TRUE(Solved(without).empty());
    EXPECT_EQ(Stored(without), first);
    // A copy of the kept node keeps it too.
    CDendraDoc copyDoc;
    copyDoc.OnNewDocument();
    ProtoType* c = ReplaceWith(copyDoc.GetRoot().childOne, "Library");
    c->Copy(*kept);
    EXPECT_EQ(static_cast<LibraryNode*>(c)->KeptBytes(), (std::vector<uint8_t>{19}));
    // A second tree of the same missing library says nothing more.
    CDendraDoc third;
    third.SetSolveOnRead(false);
    ASSERT_TRUE(third.LoadFromMemory(first.data(), first.size()));
    EXPECT_EQ(messages.Shown().size(), 1u);

    // Loaded again later, the file binds again.
    ASSERT_TRUE(LoadExample());
    CDendraDoc back;
    back.SetSolveOnRead(false);
    ASSERT_TRUE(back.LoadFromMemory(first.data(), first.size()));
    EXPECT_EQ(Solved(back), solved);
}

TEST_F(Libraries, LibraryRecordsThatRunPastTheEndAreRefused) {
    using treebytes::Bytes;
    auto file = [](uint32_t length, size_t present, uint16_t branches = 0) {
        Bytes b = treebytes::Header(5);
        b.Base("Root", 0, 10000).Str("Library").Base("Echo", 0, 10000);
        b.Str("Nowhere").Str("Echo").U16(branches);
        for (uint16_t i = 0; i < branches; ++i) b.NullBranch(10000);
        b.U32(length);
        for (size_t i = 0; i < present; ++i) b.U8(static_cast<uint8_t>(i));
        b.U16(0).Str("No Comments.");
        return b.b;
    };
    doc.SetComments("before");
    std::vector<uint8_t> bytes = file(0xFFFFFFF0u, 3);
    EXPECT_FALSE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(doc.GetComments(), "before");
    EXPECT_FALSE(messages.Shown().empty());
    // Three bytes: read and kept.
    bytes = file(3, 3);
    ASSERT_TRUE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(Stored(doc), bytes);
    // Two Null branches kept; three branches refused.
    bytes = file(0, 0, 2);
    ASSERT_TRUE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(doc.GetRoot().childOne->GetChildCount(), 2);
    EXPECT_EQ(Stored(doc), bytes);
    bytes = file(0, 0, 3);
    EXPECT_FALSE(doc.LoadFromMemory(bytes.data(), bytes.size()));
}

TEST_F(Libraries, BadLibrariesAreRefusedWithAMessageAndNeverCrash) {
    // Not a library at all, a relative path, no file.
    const std::string text = platform::GetTempName(false);
    std::ofstream(text) << "not a library\n";
    EXPECT_EQ(LoadEffectLibraries(Registry(), {text, "libm.so.6", "/no/such/lib.so"}), 0);
    ASSERT_EQ(messages.Shown().size(), 3u);
    for (const std::string& m : messages.Shown())
        EXPECT_EQ(m.rfind("Could not load the effect library", 0), 0u) << m;
    std::remove(text.c_str());

    // No "GetFxList".
    messages.Clear();
    EXPECT_EQ(LoadEffectLibraries(Registry(), {BAD_EFFECTS_NO_LIST}), 0);
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{kProblemInLibraryMessage});
    // Its slot holds no library, so built-in types are still made through it.
    EXPECT_EQ(Registry().slots[0].handle, nullptr);
    EXPECT_EQ(Registry().slots[0].name, "");

    // No "Constructor": the node stays an empty unbound node.
    messages.Clear();
    ASSERT_EQ(LoadEffectLibraries(Registry(), {BAD_EFFECTS_NO_CONSTRUCTOR}), 1);
    LibraryNode* ghost = PutEffect(doc.GetRoot().childOne, "Ghost");
    ASSERT_NE(ghost, nullptr);
    EXPECT_FALSE(ghost->IsBound());
    EXPECT_EQ(ghost->GetChildCount(), 0);
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{kNoConstructorMessage});

    // Five branches asked for, and unterminated buffers: the names are cut at the buffers' ends,
    // the effect is refused.
    messages.Clear();
    ASSERT_EQ(LoadEffectLibraries(Registry(), {BAD_EFFECTS_BRANCHES}), 1);
    const RegistryEntry* hydra = Registry().Find("Hydra");
    ASSERT_NE(hydra, nullptr);
    EXPECT_EQ(hydra->library, std::string(DENDRA_FX_NAME_SIZE - 1, 'N'));
    doc.OnNewDocument();
    LibraryNode* h = PutEffect(doc.GetRoot().childOne, "Hydra");
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(h->IsBound());
    EXPECT_EQ(h->GetChildCount(), 0);
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_NE(messages.Shown()[0].find("asks for 5 branches"), std::string::npos);

    // Seven paths: the seventh is not loaded.
    messages.Clear();
    EXPECT_EQ(LoadEffectLibraries(Registry(), {"", "", "", "", "", "", EXAMPLE_EFFECTS}), 0);
    EXPECT_EQ(messages.Shown().size(), 1u);
}

} // namespace
