// Tree files holding the set and sound-card families: every type stored, read back byte for
// byte and solved; damaged set records refused with a message, never half read.
#include "documents/tree_document.h"

#include "events/archive.h"
#include "nodes/numeric.h"
#include "nodes/set.h"
#include "nodes/soundcard.h"
#include "platform/user_messages.h"
#include "tests/common/test_util.h"
#include "tests/documents/tree_bytes.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

using treebytes::Bytes;
using treebytes::Header;

namespace {

// Defines the Null `at` as `type`, its branches taking its window.
template <class T = ProtoType> T* Make(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    q->AlignTimes(0);
    return static_cast<T*>(q);
}

std::vector<uint8_t> Written(CDendraDoc& doc) {
    CArchive ar;
    doc.WriteDocument(ar);
    return ar.Buffer();
}

// Root -> And(Union(Intersection(Set, Set), SubtractSet(ExclusiveUnion(Set, Set),
// Complement(Set))), And(And(SbEffects, SbEnvelope), And(SbFilter, And(SbLFO, SbPitch)))),
// every set with words and every field away from its default; the sound-card nodes read
// constants.
void BuildEveryType(CDendraDoc& doc) {
    Root& root = doc.GetRoot();
    ProtoType* top = Make(root.childOne, "And");
    auto* u = Make<Union>(top->childOne, "Union");
    u->domMode = kDomAverage;
    auto* in = Make<Intersection>(u->childOne, "Intersection");
    in->domMode = kDomMaximum;
    in->rechoose = true;
    auto* sub = Make<SubtractSet>(u->childTwo, "SubtractSet");
    sub->subtractValues = true;
    auto* ex = Make<ExclusiveUnion>(sub->childOne, "ExclusiveUnion");
    auto* co = Make<Complement>(sub->childTwo, "Complement");
    int n = 0;
    for (ProtoType** slot :
         {&in->childOne, &in->childTwo, &ex->childOne, &ex->childTwo, &co->childOne}) {
        auto* s = Make<Set>(*slot, "Set");
        s->wordSet.chance = 0.125f * static_cast<float>(n);
        s->wordSet.sorted = n % 2 == 0;
        s->wordSet.Insert("shared.wrd", 0.25f * static_cast<float>(n));
        s->wordSet.Insert("w" + std::to_string(n) + ".wrd", 1.0f);
        s->rechoose = n == 3;
        ++n;
    }
    // The operators' own sets, as Generate Set leaves them.
    in->childOne->GenerateSet();
    ex->childOne->GenerateSet();
    co->childOne->GenerateSet();

    ProtoType* cards = Make(top->childTwo, "And");
    ProtoType* left = Make(cards->childOne, "And");
    ProtoType* right = Make(cards->childTwo, "And");
    auto* fx = Make<SbEffects>(left->childOne, "SbEffects");
    fx->effect = 2;
    fx->channel = 3;
    auto* env = Make<SbEnvelope>(left->childTwo, "SbEnvelope");
    env->envParameter = 3;
    env->envNumber = 2;
    env->channel = 15;
    auto* filter = Make<SbFilter>(right->childOne, "SbFilter");
    filter->filterParameter = 1;
    filter->channel = 7;
    ProtoType* last = Make(right->childTwo, "And");
    auto* lfo = Make<SbLFO>(last->childOne, "SbLFO");
    lfo->lfoParameter = 5;
    lfo->channel = 1;
    auto* pitch = Make<SbPitch>(last->childTwo, "SbPitch");
    pitch->channel = 2;
    const std::pair<SoundCardNode*, float> inputs[] = {
        {fx, 300.0f}, {env, 10000.0f}, {filter, 64.0f}, {lfo, -100.0f}, {pitch, 0.0f}};
    for (auto [card, value] : inputs) Make<Constant>(card->childOne, "Constant")->value = value;
    pitch->start = 100;
    pitch->duration = 50;
}

// The stored type names found in a record, depth first.
void TypeNames(ProtoType& node, std::vector<std::string>& out) {
    std::string name;
    node.GetFxTypeName(name);
    out.push_back(name);
    if (node.childOne) TypeNames(*node.childOne, out);
    if (node.childTwo) TypeNames(*node.childTwo, out);
}

TEST(SetTreeFile, EveryTypeStoresReadsBackByteForByteAndSolves) {
    testutil::TempDir dir("dendra-sets");
    CDendraDoc doc;
    BuildEveryType(doc);
    doc.Solver().SolveAtOnce();
    const std::vector<uint8_t> first = Written(doc);
    ASSERT_TRUE(doc.OnSaveDocument(dir.File("sets.dra")));

    CDendraDoc back;
    ASSERT_TRUE(back.OnOpenDocument(dir.File("sets.dra")));
    EXPECT_EQ(Written(back), first);
    std::ifstream file(dir.File("sets.dra"), std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {}), first);

    std::vector<std::string> names;
    TypeNames(back.GetRoot(), names);
    for (std::span<const NodeFactoryEntry> family : {SetNodeTypes(), SoundCardNodeTypes()}) {
        for (const NodeFactoryEntry& e : family) {
            bool found = false;
            for (const std::string& n : names) found |= CanonicalTypeName(n) == e.info->typeName;
            EXPECT_TRUE(found) << e.info->typeName;
        }
    }

    // The operators' sets come back as Generate Set left them.
    auto* u = static_cast<Union*>(back.GetRoot().childOne->childOne);
    auto* in = static_cast<Intersection*>(u->childOne);
    EXPECT_EQ(in->domMode, kDomMaximum);
    EXPECT_TRUE(in->rechoose);
    ASSERT_EQ(in->wordSet.Count(), 1u) << "the shared word with a non-zero DOM in both";
    EXPECT_EQ(in->wordSet.WordAt(0), "shared.wrd");
    EXPECT_EQ(in->wordSet.DomAt(0), 0.25f);
    auto* co = static_cast<Complement*>(u->childTwo->childTwo);
    EXPECT_EQ(co->wordSet.GetDom("w4.wrd"), 0.0f);
    EXPECT_TRUE(co->wordSet.Contains("w4.wrd"));

    // Solved: the cards' NRPN messages (the filter sends none) at 0, and again at 100, where
    // the solve stops for the pitch shift's start and every open card sends once more. As
    // (time, channel, controller, data), sorted: equal-time events are ordered by the lists'
    // insertion rule, not by the card.
    using Cc = std::array<int, 4>;
    std::vector<Cc> got;
    CEventTree& solution = back.Solution();
    for (SongEvent* e = solution.First(); e; e = solution.Next()) {
        ASSERT_EQ(e->GetKind(), 11);
        got.push_back({static_cast<int>(solution.CurrentTime()), e->GetChannel(), e->GetData1(),
                       e->GetData2()});
    }
    std::vector<Cc> expected;
    auto nrpn = [&](int t, int ch, int number, int high, int low) {
        for (Cc cc :
             {Cc{t, ch, 99, 127}, Cc{t, ch, 98, number}, Cc{t, ch, 6, high}, Cc{t, ch, 38, low}})
            expected.push_back(cc);
    };
    for (int t : {0, 100}) {
        nrpn(t, 3, 26, 65, 127);   // reverb 300 held to 255
        nrpn(t, 15, 12, 127, 127); // envelope 2 hold 10000 held to 8191
        nrpn(t, 1, 23, 63, 64);    // LFO 1 to cutoff -100 held to -64
    }
    nrpn(100, 2, 16, 64, 0); // pitch 0
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
}

TEST(SetTreeFile, EveryTruncationFailsWithOneMessage) {
    CDendraDoc doc;
    BuildEveryType(doc);
    doc.Options().saveGenerated = false;
    const std::vector<uint8_t> bytes = Written(doc);
    for (size_t n = 0; n < bytes.size(); ++n) {
        CDendraDoc cut;
        cut.SetComments("untouched");
        platform::ScopedRecordingMessages messages;
        ASSERT_FALSE(cut.LoadFromMemory(bytes.data(), n)) << n;
        EXPECT_EQ(messages.Shown().size(), 1u) << n;
        EXPECT_EQ(cut.GetComments(), "untouched") << n;
    }
}

// A Set record after its type name: base record, word set (version, chance, sorted, count,
// words), rechoose.
Bytes SetRecord(uint16_t count, const std::vector<std::pair<std::string, float>>& words) {
    Bytes s;
    s.Str("Set").Base("Set", 0, 1000).U16(1).F32(0.5f).U16(1).U16(count);
    for (const auto& [w, dom] : words) s.Str(w).F32(dom);
    return s.U16(0);
}

Bytes FileWith(const Bytes& branch) {
    Bytes f = Header(5);
    f.Base("Root", 0, 10000).Add(branch).U16(0).Str("tail");
    return f;
}

TEST(SetTreeFile, DamagedSetRecordsAreRefusedWholeAndLargeSetsRead) {
    CDendraDoc doc;
    doc.SetComments("kept");
    auto refused = [&](const Bytes& file, const char* what) {
        platform::ScopedRecordingMessages messages;
        EXPECT_FALSE(doc.LoadFromMemory(file.b.data(), file.b.size())) << what;
        ASSERT_EQ(messages.Shown().size(), 1u) << what;
        EXPECT_FALSE(messages.Shown()[0].empty());
        EXPECT_EQ(doc.GetComments(), "kept") << what;
        EXPECT_EQ(doc.GetRoot().childOne->TypeName(), "Null") << what;
    };
    // More words claimed than stored: the next bytes are not words.
    refused(FileWith(SetRecord(3, {{"a", 0.5f}, {"b", 1.0f}})), "count past the words");
    // A word whose length runs past the end of the file.
    Bytes longWord;
    longWord.Str("Set").Base("Set", 0, 1000).U16(1).F32(0.0f).U16(1).U16(1);
    longWord.U8(0xFF).U16(0xFFFF).U32(0x7FFFFFFF).Str("abc");
    refused(FileWith(longWord), "word length past the end");
    // An operator whose branch record is cut inside its word set.
    Bytes cutBranch;
    cutBranch.Str("Union").Base("Union", 0, 1000);
    cutBranch.Str("Set").Base("Set", 0, 1000).U16(1).F32(0.0f).U16(1).U16(40000).Str("x");
    refused(FileWith(cutBranch), "cut inside a branch");

    // Thousands of words, stored in a set that is not in name order, DOMs outside 0 … 1 and a
    // word stored twice: read as stored (the second copy dropped), solved, written back.
    std::vector<std::pair<std::string, float>> words;
    for (int i = 0; i < 5000; ++i) words.emplace_back("w" + std::to_string(4999 - i), 1.5f);
    words.emplace_back("w17", 0.25f);
    CDendraDoc big;
    const Bytes file = FileWith(SetRecord(static_cast<uint16_t>(words.size()), words));
    ASSERT_TRUE(big.LoadFromMemory(file.b.data(), file.b.size()));
    auto* set = static_cast<Set*>(big.GetRoot().childOne);
    ASSERT_EQ(set->wordSet.Count(), 5000u);
    EXPECT_EQ(set->wordSet.WordAt(0), "w4999");
    EXPECT_EQ(set->wordSet.GetDom("w17"), 1.5f) << "the first DOM stored, as stored";
    CDendraDoc again;
    const std::vector<uint8_t> written = Written(big);
    ASSERT_TRUE(again.LoadFromMemory(written.data(), written.size()));
    EXPECT_EQ(Written(again), written);
}

// The tree reader's fuzz seeds that hold these families read and write back as they are.
TEST(SetTreeFile, FuzzSeedsReadBackByteForByte) {
    for (const char* seed : {"sets_soundcard_v5", "sets_soundcard_unsolved_v5", "set_words_v5"}) {
        std::ifstream in(std::string(DENDRA_SOURCE_DIR) + "/fuzz/corpus/fuzz_tree_file/" + seed,
                         std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        ASSERT_FALSE(bytes.empty()) << seed;
        CDendraDoc doc;
        doc.SetSolveOnRead(false);
        ASSERT_TRUE(doc.LoadFromMemory(bytes.data(), bytes.size())) << seed;
        EXPECT_EQ(Written(doc), bytes) << seed;
    }
}

} // namespace
