// The set family: word-set insertion, the set operations, GenerateSet rippling up, picking by
// chance and DOM, playing the picked word, and storing every type.
#include "events/archive.h"
#include "nodes/set.h"
#include "tests/nodes/family_helpers.h"
#include "tree/node_io.h"
#include "tree/random.h"
#include "tree/solve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Words = std::vector<std::string>;

// "word:dom" in list order.
Words Members(const WordSet& s) {
    Words out;
    char buf[32];
    for (size_t i = 0; i < s.Count(); ++i) {
        std::snprintf(buf, sizeof buf, ":%g", s.DomAt(i));
        out.push_back(s.WordAt(i) + buf);
    }
    return out;
}

void Fill(WordSet& s, std::initializer_list<std::pair<const char*, float>> words) {
    s.Clear();
    for (const auto& [w, d] : words) s.Insert(w, d);
}

// A lexicon that knows a few words, each a list of (relative time, pitch) notes.
class FakeLexicon : public WordSource {
public:
    FakeLexicon() : previous_(SetWordSource(this)) {}
    ~FakeLexicon() override { SetWordSource(previous_); }
    WordLoad LoadWord(const std::string& word, CEventTree& events) override {
        asked.push_back(word);
        if (unreadable.count(word)) return WordLoad::Unreadable;
        auto it = words.find(word);
        if (it == words.end()) return WordLoad::Missing;
        events.Clear();
        for (auto [t, pitch] : it->second) events.AddCopyAt(EventMidi(0, 0x90, pitch, 90, 10), t);
        return WordLoad::Loaded;
    }
    std::map<std::string, std::vector<std::pair<uint32_t, uint8_t>>> words;
    std::set<std::string> unreadable;
    Words asked;

private:
    WordSource* previous_;
};

// Root → operator → (Set A, Set B).
struct OperatorTree {
    explicit OperatorTree(const char* type) {
        root.childOne->duration = root.duration;
        op = Put<SetNode>(root.childOne, type);
        a = Put<Set>(op->childOne, "Set");
        if (op->childTwo) b = Put<Set>(op->childTwo, "Set");
        Fill(a->wordSet, {{"x", 0.8f}, {"y", 0.5f}});
        if (b) Fill(b->wordSet, {{"x", 0.3f}, {"z", 1.0f}});
    }
    Words Generate() {
        op->GenerateSet();
        return Members(op->wordSet);
    }
    Root root;
    SetNode* op = nullptr;
    Set* a = nullptr;
    Set* b = nullptr;
};

TEST(WordSet, InsertionFollowsTheSortedFlagAndKeepsWordsUnique) {
    WordSet s;
    EXPECT_TRUE(s.Insert("m", 0.5f));
    EXPECT_TRUE(s.Insert("b", 0.25f));
    EXPECT_TRUE(s.Insert("z", 2.0f));
    EXPECT_FALSE(s.Insert("b", 0.9f)) << "a second insertion of a word is ignored";
    EXPECT_EQ(Members(s), (Words{"b:0.25", "m:0.5", "z:1"})) << "held to 1.0";
    s.sorted = false;
    s.Insert("q", -1.0f);
    EXPECT_EQ(Members(s), (Words{"q:0", "b:0.25", "m:0.5", "z:1"})) << "front, held to 0.0";
    // Sorted again over a list that is out of order: before the first greater word.
    s.sorted = true;
    s.Insert("c", 0.1f);
    EXPECT_EQ(Members(s), (Words{"c:0.1", "q:0", "b:0.25", "m:0.5", "z:1"}));
    s.Insert("zz", 0.1f);
    EXPECT_EQ(s.WordAt(5), "zz");

    EXPECT_EQ(s.GetDom("nothing"), 0.0f);
    EXPECT_FALSE(s.SetDom("nothing", 0.5f));
    EXPECT_TRUE(s.SetDom("m", 7.0f));
    EXPECT_EQ(s.GetDom("m"), 1.0f);
    EXPECT_TRUE(s.SetDom("m", NAN));
    EXPECT_EQ(s.GetDom("m"), 0.0f);
    EXPECT_TRUE(s.Remove("q"));
    EXPECT_FALSE(s.Contains("q"));
    EXPECT_EQ(s.Count(), 5u);
    EXPECT_TRUE(s.Insert("q", 0.5f)) << "a removed word can come back";
}

TEST(WordSet, StoredInFileOrderWithTheSortedFlagTakenAfterwards) {
    WordSet s;
    s.sorted = false;
    s.chance = 0.25f;
    s.Insert("b", 0.5f);
    s.Insert("a", 0.75f); // front: a, b
    s.Insert("c", 1.0f);  // front: c, a, b
    s.sorted = true;
    CArchive out;
    s.Serialize(out);
    const std::vector<uint8_t> expected = {1, 0,   0, 0, 0x80, 0x3E,
                                           1, 0,   3, 0, // version 1, chance 0.25, sorted, 3 words
                                           1, 'c', 0, 0, 0x80, 0x3F,  // "c" 1.0
                                           1, 'a', 0, 0, 0x40, 0x3F,  // "a" 0.75
                                           1, 'b', 0, 0, 0,    0x3F}; // "b" 0.5
    EXPECT_EQ(out.Buffer(), expected);

    CArchive in(out.Buffer());
    WordSet back;
    back.Serialize(in);
    EXPECT_FALSE(in.Failed());
    EXPECT_EQ(back, s);
    EXPECT_EQ(Members(back), (Words{"c:1", "a:0.75", "b:0.5"}));
    back.Insert("ab", 0.5f);
    EXPECT_EQ(Members(back), (Words{"ab:0.5", "c:1", "a:0.75", "b:0.5"}));

    // A word stored twice keeps its first DOM; a cut-short set leaves the old one.
    std::vector<uint8_t> twice = {1,   0, 0, 0,    0,    0, 0,   0, 2, 0, 1,
                                  'w', 0, 0, 0x80, 0x3F, 1, 'w', 0, 0, 0, 0};
    CArchive twiceIn(twice);
    back.Serialize(twiceIn);
    EXPECT_EQ(Members(back), (Words{"w:1"}));
    EXPECT_FALSE(back.sorted);
    std::vector<uint8_t> cut(expected.begin(), expected.end() - 3);
    CArchive cutIn(cut);
    back.Serialize(cutIn);
    EXPECT_TRUE(cutIn.Failed());
    EXPECT_EQ(Members(back), (Words{"w:1"})) << "a failed read leaves the set as it was";
}

TEST(SetOperators, ResultsOfTheSameTwoSets) {
    struct Case {
        const char* type;
        int32_t mode; // domMode, or subtractValues for SubtractSet
        Words result;
    };
    const Case cases[] = {
        {"Intersection", kDomMinimum, {"x:0.3"}},
        {"Intersection", kDomAverage, {"x:0.55"}},
        {"Intersection", kDomMaximum, {"x:0.8"}},
        {"Intersection", 7, {}},
        {"Union", kDomMaximum, {"x:0.8", "y:0.5", "z:1"}},
        {"Union", kDomMinimum, {"x:0.3", "y:0", "z:0"}},
        {"Union", kDomAverage, {"x:0.55", "y:0.25", "z:0.5"}},
        {"Union", 0, {}},
        {"ExclusiveUnion", 0, {"y:0.5", "z:1"}},
        {"SubtractSet", 0, {"y:0.5"}},
        {"SubtractSet", 1, {"x:0.5", "y:0.5"}},
        {"Complement", 0, {"x:0.2", "y:0.5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.mode));
        OperatorTree t(c.type);
        if (auto* i = As<Intersection>(t.op)) i->domMode = c.mode;
        if (auto* u = As<Union>(t.op)) u->domMode = c.mode;
        if (auto* s = As<SubtractSet>(t.op)) s->subtractValues = c.mode != 0;
        EXPECT_EQ(t.Generate(), c.result);
    }

    // The result is inserted by the operator's own sorted rule, and an existing set goes.
    OperatorTree u("Union");
    u.op->wordSet.Insert("old", 1.0f);
    u.op->wordSet.sorted = false;
    u.b->wordSet.Insert("a", 0.5f);
    EXPECT_EQ(u.Generate(), (Words{"z:1", "a:0.5", "y:0.5", "x:0.8"})) << "each to the front";
    // Subtracting a larger DOM leaves 0, not a negative one.
    OperatorTree s("SubtractSet");
    As<SubtractSet>(s.op)->subtractValues = true;
    s.b->wordSet.SetDom("x", 1.0f);
    EXPECT_EQ(s.Generate(), (Words{"x:0", "y:0.5"}));
}

TEST(SetOperators, ABranchThatIsNotASetCountsAsEmpty) {
    OperatorTree t("Intersection");
    ReplaceWith(t.op->childTwo, "Constant");
    EXPECT_EQ(t.Generate(), Words{});
    OperatorTree u("Union");
    ReplaceWith(u.op->childOne, "Null");
    EXPECT_EQ(u.Generate(), (Words{"x:0.3", "z:1"}));
    OperatorTree e("ExclusiveUnion");
    ReplaceWith(e.op->childTwo, "And");
    EXPECT_EQ(e.Generate(), (Words{"x:0.8", "y:0.5"}));
    OperatorTree c("Complement");
    ReplaceWith(c.op->childOne, "Word");
    EXPECT_EQ(c.Generate(), Words{});
}

TEST(SetOperators, GenerateSetRipplesUpThroughTheOperatorsAbove) {
    // Root → And → Complement → Union → (Set A, Set B)
    Root root;
    auto* and_ = Put(root.childOne, "And");
    auto* complement = Put<Complement>(and_->childOne, "Complement");
    auto* u = Put<Union>(complement->childOne, "Union");
    auto* a = Put<Set>(u->childOne, "Set");
    auto* b = Put<Set>(u->childTwo, "Set");
    Fill(a->wordSet, {{"p", 0.25f}});
    Fill(b->wordSet, {{"q", 0.5f}});
    b->Special(2); // Generate Set on the leaf: the Set keeps its own words, the rest follow
    EXPECT_EQ(Members(b->wordSet), (Words{"q:0.5"}));
    EXPECT_EQ(Members(u->wordSet), (Words{"p:0.25", "q:0.5"}));
    EXPECT_EQ(Members(complement->wordSet), (Words{"p:0.75", "q:0.5"}));
    EXPECT_EQ(and_->GetWordSet(), nullptr) << "the ripple stops at a node that is not a set";

    std::string label;
    b->GetSpecialName(1, label);
    EXPECT_EQ(label, "Pick Word");
    b->GetSpecialName(2, label);
    EXPECT_EQ(label, "Generate Set");
    b->GetSpecialName(3, label);
    EXPECT_EQ(label, "");
}

// The generator state after n draws from `seed`.
uint32_t StateAfter(uint32_t seed, int n) {
    SeedRandom(seed);
    for (int i = 0; i < n; ++i) NextRandom();
    return RandomState();
}

TEST(WordSet, PickByDomNeverTakesTheFirstWord) {
    WordSet s;
    s.sorted = false;
    auto fill = [&](std::vector<float> doms) {
        s.Clear();
        for (size_t i = doms.size(); i-- > 0;) s.Insert("w" + std::to_string(i), doms[i]);
    };
    fill({0.2f, 0.9f, 0.4f});
    SeedRandom(5);
    EXPECT_EQ(s.Pick(), 2);
    // Scores: the first word, the second, a fresh one for the second, the third.
    EXPECT_EQ(RandomState(), StateAfter(5, 4)) << "one draw for every score";
    fill({0.2f, 0.9f, 1.0f});
    EXPECT_EQ(s.Pick(), 2) << "the last word when no earlier one was picked";
    fill({0.9f, 0.2f, 1.0f});
    EXPECT_EQ(s.Pick(), 1);
    fill({0.5f});
    EXPECT_EQ(s.Pick(), WordSet::kNoPick) << "a set of one word gives no name";
    s.Clear();
    EXPECT_EQ(s.Pick(), WordSet::kNoPick);

    // By chance alone every word but the first is picked now and then.
    fill({1.0f, 0.0f, 0.0f, 0.0f});
    s.chance = 1.0f;
    SeedRandom(77);
    std::vector<int> counts(4, 0);
    for (int i = 0; i < 4000; ++i) ++counts[static_cast<size_t>(s.Pick())];
    EXPECT_EQ(counts[0], 0);
    for (int i = 1; i < 4; ++i) EXPECT_GT(counts[static_cast<size_t>(i)], 300) << i;
}

TEST(SetNode, PlaysThePickedWordAsAWordDoes) {
    FakeLexicon lexicon;
    lexicon.words["low"] = {{0, 40}, {100, 41}, {100, 42}, {700, 43}};
    lexicon.words["high"] = {{50, 80}};
    Root root;
    auto* set = Put<Set>(root.childOne, "Set");
    set->start = 1000;
    set->duration = 500;
    set->wordSet.sorted = false;
    set->wordSet.Insert("high", 1.0f);
    set->wordSet.Insert("low", 1.0f); // low, high: only "high" can be picked
    set->Special(1);
    EXPECT_EQ(lexicon.asked, Words{"high"});
    EXPECT_EQ(set->PickedWord(), "high");
    EXPECT_EQ(Flatten(set->wordEvents), (Words{"50:m90,80,90,0/10"}));

    set->wordSet.sorted = true;
    set->wordSet.Insert("missing", 1.0f); // low, high, missing
    set->wordSet.Remove("high");
    set->ResetCounters();
    EXPECT_EQ(lexicon.asked.back(), "missing");
    EXPECT_EQ(set->PickedWord(), "high") << "a word the lexicon lacks leaves the events";
    EXPECT_EQ(Flatten(set->wordEvents), (Words{"50:m90,80,90,0/10"}));

    set->wordSet.Clear();
    set->wordSet.Insert("a", 0.0f);
    set->wordSet.Insert("low", 1.0f);
    set->ResetCounters();
    EXPECT_EQ(set->PickedWord(), "low");

    // The same events in a Word with the same window give the same solution, in event mode
    // and in fixed steps.
    Root wordRoot;
    auto* word = Put<Word>(wordRoot.childOne, "Word");
    word->start = set->start;
    word->duration = set->duration;
    for (SongEvent* e = set->wordEvents.First(); e; e = set->wordEvents.Next())
        word->events.AddCopyAt(*e, set->wordEvents.CurrentTime());
    for (uint32_t step : {0u, 50u}) {
        CEventTree fromSet, fromWord;
        SolveInto(root, fromSet, step);
        SolveInto(wordRoot, fromWord, step);
        EXPECT_EQ(Flatten(fromSet), Flatten(fromWord)) << step;
        if (step == 0) {
            EXPECT_EQ(fromSet.GetCount(), 3) << "the event past the window is not played";
        }
    }

    lexicon.unreadable.insert("low");
    set->ResetCounters();
    EXPECT_EQ(set->wordEvents.GetCount(), 0) << "an unreadable word file yields no events";
    EXPECT_EQ(set->PickedWord(), "");
}

TEST(SetNode, RechoosesAtTheStartOfItsWindow) {
    FakeLexicon lexicon;
    lexicon.words["one"] = {{0, 60}};
    Root root;
    auto* set = Put<Set>(root.childOne, "Set");
    set->start = 200;
    set->duration = 100;
    set->wordSet.Insert("a", 0.0f);
    set->wordSet.Insert("one", 1.0f);
    CEventTree out;
    SolveInto(root, out, 0);
    EXPECT_EQ(out.GetCount(), 0) << "nothing picked yet";
    EXPECT_TRUE(lexicon.asked.empty());
    set->rechoose = true;
    SolveInto(root, out, 0);
    EXPECT_EQ(Flatten(out), (Words{"200:m90,60,90,0/10"}));
    EXPECT_EQ(lexicon.asked, Words{"one"}) << "picked once, at the window start";
}

// Every set type with words, flags and picks through Copy and a stored round trip.
TEST(SetNode, EveryTypeSurvivesAStoredRoundTripAndACopy) {
    int types = 0;
    for (const NodeFactoryEntry& entry : SetNodeTypes()) {
        SCOPED_TRACE(entry.info->typeName);
        ++types;
        Root root;
        auto* n = static_cast<SetNode*>(ReplaceWith(root.childOne, entry.info->typeName));
        n->name = "n";
        n->start = 5;
        n->duration = 700;
        n->rechoose = true;
        n->wordSet.chance = 0.375f;
        n->wordSet.Insert("gamma", 0.125f);
        n->wordSet.Insert("alpha", 1.0f);
        n->wordSet.sorted = false;
        n->wordEvents.AddCopyAt(EventValue(3.0f, 0), 20);
        if (auto* i = As<Intersection>(n)) i->domMode = kDomAverage;
        if (auto* u = As<Union>(n)) u->domMode = kDomMinimum;
        if (auto* s = As<SubtractSet>(n)) s->subtractValues = true;
        if (n->childOne) Put<Set>(n->childOne, "Set")->wordSet.Insert("inner", 0.5f);

        CArchive out;
        WriteNodeRecord(out, root);
        Root back;
        CArchive in(out.Buffer());
        ASSERT_TRUE(ReadNodeRecord(in, back));
        EXPECT_TRUE(in.AtEnd());
        CArchive again;
        WriteNodeRecord(again, back);
        EXPECT_EQ(again.Buffer(), out.Buffer());

        Root copyRoot;
        copyRoot.Copy(root);
        CArchive copied;
        WriteNodeRecord(copied, copyRoot);
        EXPECT_EQ(copied.Buffer(), out.Buffer());

        auto* r = static_cast<SetNode*>(back.childOne);
        auto* c = static_cast<SetNode*>(copyRoot.childOne);
        EXPECT_EQ(r->wordSet, n->wordSet);
        EXPECT_EQ(Members(r->wordSet), (Words{"alpha:1", "gamma:0.125"}));
        EXPECT_TRUE(r->rechoose);
        EXPECT_EQ(r->wordEvents.GetCount(), 0) << "word events are not stored";
        EXPECT_EQ(Flatten(c->wordEvents), (Words{"20:v3"})) << "but they are copied";
        if (n->childOne) {
            EXPECT_EQ(r->childOne->GetWordSet()->WordAt(0), "inner");
        }
    }
    EXPECT_EQ(types, 6);
}

TEST(SetNode, OldFilesCarryABranchUnderASet) {
    // A version 4 Set record: name, start, duration, one extra branch (a Null), the word set.
    CArchive out;
    out.WriteString("Set");
    out.WriteU32(0);
    out.WriteU32(100);
    out.WriteString("Null");
    out.WriteString("NULL");
    out.WriteU32(0);
    out.WriteU32(100);
    WordSet s;
    s.Insert("w", 0.5f);
    s.Serialize(out);
    out.WriteU16(1); // rechoose
    Root root;
    root.fileVersion = 4;
    Set* set = Put<Set>(root.childOne, "Set");
    CArchive in(out.Buffer());
    ASSERT_TRUE(ReadNodeRecord(in, *set));
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(set->GetChildCount(), 0);
    EXPECT_EQ(Members(set->wordSet), (Words{"w:0.5"}));
    EXPECT_TRUE(set->rechoose);
}

// Assign gives what inserting each word in turn into an empty set gives, however the words come.
TEST(WordSet, AssignEqualsInsertingInTurn) {
    SeedRandom(11);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::pair<std::string, float>> words;
        const int n = 1 + NextRandom() % 200;
        for (int i = 0; i < n; ++i) {
            words.emplace_back("w" + std::to_string(NextRandom() % 150),
                               static_cast<float>(NextRandom() % 13) / 10.0f - 0.1f);
        }
        for (bool sorted : {true, false}) {
            WordSet one, all;
            one.sorted = all.sorted = sorted;
            for (const auto& [w, d] : words) one.Insert(w, d);
            all.Assign(words);
            ASSERT_EQ(Members(all), Members(one)) << round << " " << sorted;
            // Both go on the same way afterwards.
            one.Insert("w75x", 0.5f);
            all.Insert("w75x", 0.5f);
            ASSERT_EQ(Members(all), Members(one)) << round << " " << sorted;
        }
    }
}

TEST(WordSet, ThousandsOfWords) {
    // Names in a scrambled order, inserted sorted; then operations over two large sets.
    const size_t n = 30000;
    std::vector<std::string> names;
    for (size_t i = 0; i < n; ++i) names.push_back("w" + std::to_string((i * 7919) % n));
    WordSet a;
    for (size_t i = 0; i < n; ++i) a.Insert(names[i], static_cast<float>(i % 100) / 100.0f);
    ASSERT_EQ(a.Count(), n);
    for (size_t i = 1; i < n; ++i) ASSERT_LT(a.WordAt(i - 1), a.WordAt(i));

    for (bool sorted : {true, false}) {
        OperatorTree t("Union");
        t.op->wordSet.sorted = sorted;
        t.a->wordSet = a;
        t.b->wordSet.Clear();
        for (size_t i = 0; i < n; i += 2) t.b->wordSet.Insert("v" + std::to_string(i), 0.5f);
        t.op->GenerateSet();
        EXPECT_EQ(t.op->wordSet.Count(), n + n / 2);
        EXPECT_EQ(t.op->wordSet.WordAt(0), sorted ? "v0" : "v9998");
    }

    // The limit: the file's count is 16-bit.
    WordSet big;
    big.sorted = false;
    for (size_t i = 0; i < 70000; ++i) big.Insert("u" + std::to_string(i), 0.5f);
    EXPECT_EQ(big.Count(), WordSet::kMaxWords);
    EXPECT_FALSE(big.Insert("one more", 1.0f));
    EXPECT_EQ(big.WordAt(0), "u65534");
    // Sorted insertion into a long list that is out of order.
    big.sorted = true;
    big.Remove("u0");
    for (size_t i = 0; i < 500; ++i) big.Remove("u" + std::to_string(i + 1));
    for (size_t i = 0; i < 500; ++i) big.Insert("v" + std::to_string(i), 0.5f);
    EXPECT_EQ(big.Count(), WordSet::kMaxWords - 1);

    CArchive out;
    big.Serialize(out);
    CArchive in(out.Buffer());
    WordSet back;
    back.Serialize(in);
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(back, big);
    SeedRandom(3);
    big.chance = 0.5f;
    EXPECT_NE(big.Pick(), WordSet::kNoPick);
}

} // namespace
