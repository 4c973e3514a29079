#include "documents/tree_text.h"

#include "documents/tree_document.h"
#include "events/archive.h"
#include "nodes/control.h"
#include "nodes/numeric.h"
#include "platform/user_messages.h"
#include "tests/common/node_types.h"
#include "tree/node_io.h"
#include "tree/params.h"
#include "tree/registry.h"
#include "tree/word_set.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

template <class T = ProtoType> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

std::vector<uint8_t> Stored(CDendraDoc& doc) {
    CArchive ar;
    doc.WriteDocument(ar);
    return ar.Buffer();
}

// The tree file's bytes read back from a text, or a failure with the reader's message.
::testing::AssertionResult FromText(const std::string& text, std::vector<uint8_t>& bytes) {
    std::string error;
    if (TreeTextToFile(text, bytes, &error)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << error;
}

std::string ErrorOf(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (TreeTextToFile(text, bytes, &error)) return "(read)";
    return error;
}

// A value inside the field's range that is not its default, so that a field the text form
// lost or mixed up with another shows.
void SetOtherThanDefault(const ParamField& f, ProtoType& node, int salt) {
    if (f.type == ParamType::Text) {
        SetParamText(f, node, "t" + std::to_string(salt));
        return;
    }
    if (f.type == ParamType::Bool || f.control == ParamControl::Check) {
        SetParamNumber(f, node, f.def != 0.0 ? 0.0 : 1.0);
        return;
    }
    if (!f.choices.empty()) {
        const ParamChoice& c = f.choices[static_cast<size_t>(salt) % f.choices.size()];
        SetParamNumber(f, node, c.value);
        return;
    }
    double lo = f.min, hi = f.max;
    if (!(lo < hi)) lo = 0.0, hi = 1000.0;
    double v = lo + (hi - lo) * (salt % 7 + 1) / 9.0;
    if (f.type != ParamType::Float || f.store == ParamStore::U16 || f.store == ParamStore::I16 ||
        f.store == ParamStore::U32)
        v = std::floor(v);
    else
        v += 0.125; // a fraction that needs its own digits
    if (v == f.def) v = std::min(hi, v + 1.0);
    SetParamNumber(f, node, v);
}

// Root -> node of `type`, branches filled with constants, every parameter set apart from its
// default, solved and keeping its solution.
void BuildTypeTree(CDendraDoc& doc, const NodeFactoryEntry& e, int salt) {
    doc.OnNewDocument();
    doc.GetRoot().duration = 8000;
    doc.GetRoot().AlignTimes(0);
    ProtoType* node = Put(doc.GetRoot().childOne, e.info->typeName);
    ASSERT_NE(node, nullptr) << e.info->typeName;
    node->name = std::string("n") + e.info->typeName;
    node->start = 100;
    if (node->childOne) Put<Constant>(node->childOne, "Constant")->value = 250.0f;
    if (node->childTwo) Put<Constant>(node->childTwo, "Constant")->value = 62.0f;
    for (const ParamField& f : e.info->params)
        if (f.store != ParamStore::None && f.control != ParamControl::ReadOnlyText &&
            f.control != ParamControl::Hidden)
            SetOtherThanDefault(f, *node, salt++);
    doc.Options().saveGenerated = true;
    doc.Solver().SolveAtOnce();
}

TEST(TreeText, EveryRegisteredTypeSurvivesTheTextFormByteForByte) {
    CDendraDoc doc;
    int salt = 0;
    int types = 0;
    for (std::span<const NodeFactoryEntry> family : NodeFamilies()) {
        for (const NodeFactoryEntry& e : family) {
            SCOPED_TRACE(e.info->typeName);
            BuildTypeTree(doc, e, salt++);
            const std::vector<uint8_t> before = Stored(doc);
            if (!TextFormHolds(*e.info)) {
                // Not saved as a text that would lose it; the tree stays as it was.
                platform::ScopedRecordingMessages messages;
                testutil::TempDir dir;
                EXPECT_FALSE(doc.OnSaveDocument(dir.File("type.json")));
                EXPECT_FALSE(std::filesystem::exists(dir.File("type.json")));
                EXPECT_EQ(Stored(doc), before);
                continue;
            }
            // Both printed forms: one line as `dump` prints it, indented as `convert` writes it.
            for (const std::string& text : {textform::Compact(TreeJson(doc)), TreeText(doc)}) {
                std::vector<uint8_t> after;
                ASSERT_TRUE(FromText(text, after));
                EXPECT_EQ(after, before);
            }
            ++types;
        }
    }
    EXPECT_GT(types, 40);
}

TEST(TreeText, HandWrittenNodesTakeTheTypeDefaults) {
    // Each type alone, named only by its type, is the tree the editor's Define makes.
    for (std::span<const NodeFactoryEntry> family : NodeFamilies()) {
        for (const NodeFactoryEntry& e : family) {
            SCOPED_TRACE(e.info->typeName);
            if (!TextFormHolds(*e.info)) continue;
            CDendraDoc made;
            made.OnNewDocument();
            ASSERT_NE(Put(made.GetRoot().childOne, e.info->typeName), nullptr);
            // Without a kept solution: random types solve differently each time.
            made.Options().saveGenerated = false;
            std::vector<uint8_t> read;
            ASSERT_TRUE(FromText(std::string("{\"saveGenerated\":false,\"root\":{\"type\":\"") +
                                     e.info->typeName + "\"}}",
                                 read));
            EXPECT_EQ(read, Stored(made));
        }
    }
}

TEST(TreeText, TheShortTreeOfTheManualIsComplete) {
    CDendraDoc made;
    made.OnNewDocument();
    auto* every = Put<Every>(made.GetRoot().childOne, "Every");
    Put<Constant>(every->childOne, "Constant")->value = 250.0f;
    Put(every->childTwo, "MidiNote");
    made.Solver().SolveAtOnce();
    ASSERT_GT(made.Solution().GetCount(), 30);

    const std::string text = R"({"root":{"type":"Every","children":[
        {"type":"Constant","params":{"value":250}},{"type":"MidiNote"}]}})";
    CDendraDoc read;
    CArchive in(text.data(), text.size());
    ASSERT_TRUE(read.ReadDocument(in));
    EXPECT_EQ(Stored(read), Stored(made));
    EXPECT_EQ(read.GetComments(), "No Comments.");
    EXPECT_TRUE(read.Options().solvable);

    // Other ways of saying the same: the type by id only, a drum note's pitch by its choice,
    // true for a check box, a Root given in full.
    CDendraDoc drums;
    drums.OnNewDocument();
    auto* hat = Put(drums.GetRoot().childOne, "MidiDrumNote");
    SetParamNumber(*FindParam(hat->GetParamTable(), "pitch"), *hat, 42);
    drums.Solver().SolveAtOnce();
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(FromText(R"({"root":{"type":"Root","children":[{"id":)" +
                             std::to_string(hat->GetTypeId()) +
                             R"(,"params":{"pitch":"Closed HH"}}]}})",
                         bytes));
    EXPECT_EQ(bytes, Stored(drums));
}

TEST(TreeText, PointersAccretionsAndWordsTravelByPath) {
    CDendraDoc doc;
    doc.OnNewDocument();
    auto* both = Put(doc.GetRoot().childOne, "And");
    auto* acc = Put<Accrete>(both->childOne, "Accrete");
    auto* inner = Put(acc->childOne, "Every");
    Put<Constant>(inner->childOne, "Constant")->value = 500.0f;
    auto* word = Put<Word>(inner->childTwo, "Word");
    word->events.Add(new EventMidi(0, 0x90, 64, 90, 120));
    word->events.Add(new EventMidi(300, 0x90, 67, 80, 120));
    word->events.Add(new EventValue(2.5f, 400));
    acc->inner[0] = word;
    auto* pointer = Put<Pointer>(both->childTwo, "Pointer");
    ASSERT_TRUE(pointer->SetTarget(inner));
    doc.Solver().SolveAtOnce();
    const std::vector<uint8_t> before = Stored(doc);

    TextJson json = TreeJson(doc);
    const TextJson& a = json["root"]["children"][0]["children"][0];
    EXPECT_EQ(a["type"], "Accrete");
    EXPECT_EQ(a["inner"], TextJson::array({"LR"})) << "top-down from the Accrete";
    EXPECT_EQ(json["root"]["children"][0]["children"][1]["target"], "LLL");
    std::vector<uint8_t> after;
    ASSERT_TRUE(FromText(TreeText(doc), after));
    EXPECT_EQ(after, before);

    CDendraDoc back;
    CArchive in(after);
    ASSERT_TRUE(back.ReadDocument(in));
    auto* p = static_cast<Pointer*>(back.GetRoot().FollowPath("LR"));
    auto* ac = static_cast<Accrete*>(back.GetRoot().FollowPath("LL"));
    EXPECT_EQ(p->Target(), back.GetRoot().FollowPath("LLL"));
    EXPECT_EQ(ac->inner[0], back.GetRoot().FollowPath("LLLR"));
    EXPECT_EQ(static_cast<Word*>(ac->inner[0])->events.GetCount(), 3);
}

TEST(TreeText, SetsKeepTheirWordsInListOrder) {
    CDendraDoc doc;
    doc.OnNewDocument();
    ProtoType* uni = Put(doc.GetRoot().childOne, "Union");
    ProtoType* set = Put(uni->childOne, "Set");
    WordSet& words = *set->GetWordSet();
    words.sorted = false;
    words.chance = 0.25f;
    words.Append("zeta", 0.5f);
    words.Append("alpha", 1.0f);
    words.Append("mid", 0.125f);
    uni->GetWordSet()->Append("only", 0.75f);
    const std::vector<uint8_t> before = Stored(doc);

    const TextJson json = TreeJson(doc);
    const TextJson& s = json["root"]["children"][0]["children"][0]["wordSet"];
    EXPECT_EQ(s["words"][0]["word"], "zeta") << "list order, not name order";
    EXPECT_EQ(s["sorted"], false);
    std::vector<uint8_t> after;
    ASSERT_TRUE(FromText(TreeText(doc), after));
    EXPECT_EQ(after, before);

    EXPECT_NE(ErrorOf(R"({"root":{"type":"Set","wordSet":{"words":[{"word":"a"},{"word":"a"}]}}})")
                  .find("twice"),
              std::string::npos);
    EXPECT_NE(ErrorOf(R"({"root":{"type":"Set","wordSet":{"words":[{"word":"a","dom":2}]}}})")
                  .find("outside 0 to 1"),
              std::string::npos);
}

TEST(TreeText, SyntaxErrorsGiveLineAndColumn) {
    EXPECT_EQ(ErrorOf("{\"root\":\n  {\"type\":\"Every\",,}}").substr(0, 20),
              "line 2, column 19: s");
    EXPECT_EQ(ErrorOf("{\"root\":{").substr(0, 17), "line 1, column 10");
    EXPECT_NE(ErrorOf("{\"comments\":\"\xff\"}").find("line 1, column 1"), std::string::npos);
    EXPECT_NE(ErrorOf("{\"root\":{\"type\":\"Constant\",\"params\":{\"value\":1e999}}}")
                  .find("line 1, column"),
              std::string::npos);
}

TEST(TreeText, RefusalsNameTheNodeAndTheField) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"root":{"type":"Evrey"}})", "Root/L: unknown node type \"Evrey\""},
        {R"({"root":{"type":"Every","children":[null,{"type":"MidiNote","params":{"pitchh":1}}]}})",
         "Root/L/R (MidiNote): unknown parameter \"pitchh\""},
        {R"({"root":{"type":"MidiNote","params":{"pitch":"high"}}})",
         "Root/L (MidiNote): parameter \"pitch\" takes a number, not a text"},
        {R"({"root":{"type":"MidiNote","params":{"pitch":128}}})",
         "Root/L (MidiNote): parameter \"pitch\" 128 is outside 0 to 127"},
        {R"({"root":{"type":"MidiNote","start":-1}})",
         "Root/L (MidiNote): \"start\" -1 is outside 0 to 4294967295"},
        {R"({"root":{"type":"MidiNote","colour":"red"}})",
         "Root/L (MidiNote): unknown field \"colour\""},
        {R"({"root":{"type":"Constant","children":[null]}})",
         "Root/L (Constant): \"children\" holds 1 nodes but Constant has 0 branches"},
        {R"({"root":{"type":"Pointer","target":"L"}})",
         "Root/L (Pointer): \"target\" \"L\" contains the node itself"},
        {R"({"root":{"type":"Pointer","target":"LLR"}})",
         "Root/L (Pointer): \"target\" names no node: \"LLR\""},
        {R"({"root":{"type":"Pointer","target":"up"}})",
         "Root/L (Pointer): \"target\" takes a path of L and R steps from the Root, not \"up\""},
        {R"({"root":{"type":"Accrete","inner":["R"]}})",
         "Root/L (Accrete): \"inner\" names no node: \"LR\""},
        {R"({"root":{"type":"Word","events":[{"kind":"midi","data1":300}]}})",
         "Root/L (Word).events[0]: \"data1\" 300 is outside 0 to 255"},
        {R"({"solvable":"yes"})", "\"solvable\" takes true or false, not \"yes\""},
        {R"({"kind":"song"})", "\"kind\" must be \"tree\" here"},
        {R"([1,2])", "expected an object, not an array"},
    };
    for (const Case& c : cases) EXPECT_EQ(ErrorOf(c.text), c.message) << c.text;

    // Nesting beyond what the node reader takes.
    std::string deep = R"({"root":)";
    for (int i = 0; i < kMaxNodeDepth + 5; ++i) deep += R"({"type":"Not","children":[)";
    deep += "null";
    for (int i = 0; i < kMaxNodeDepth + 5; ++i) deep += "]}";
    deep += "}";
    EXPECT_NE(ErrorOf(deep).find("nested deeper than"), std::string::npos);
}

TEST(TreeText, ABadTextLeavesTheOpenTreeAsItWas) {
    platform::ScopedRecordingMessages messages;
    CDendraDoc doc;
    doc.OnNewDocument();
    Put(doc.GetRoot().childOne, "MidiNote");
    doc.SetComments("kept");
    const std::vector<uint8_t> before = Stored(doc);
    for (const std::string text : {"{\"root\":{\"type\":\"Nope\"}}", "{\"root\":", "{}x"}) {
        CArchive in(text.data(), text.size());
        EXPECT_FALSE(doc.ReadDocument(in));
        EXPECT_EQ(Stored(doc), before);
    }
    ASSERT_EQ(messages.Shown().size(), 3u);
    EXPECT_EQ(messages.Shown()[0],
              "The text of this tree cannot be read: Root/L: unknown node type \"Nope\"");
}

TEST(TreeText, SavedAsJsonTheTreeOpensAgainAsItWas) {
    testutil::TempDir dir("dendra-tree-text");
    CDendraDoc doc;
    doc.OnNewDocument();
    auto* every = Put<Every>(doc.GetRoot().childOne, "Every");
    Put<Constant>(every->childOne, "Constant")->value = 125.0f;
    Put(every->childTwo, "MidiDrumNote");
    doc.SetComments("two\nlines \xe9t\xc3\xa9");
    doc.Solver().SolveAtOnce();
    const std::string path = dir.File("t.json");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.substr(0, 2), "{\n");
    EXPECT_EQ(textform::SniffFile(path), textform::TextKind::Tree);

    CDendraDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    // A Latin-1 byte of an old name comes back as its character in UTF-8.
    EXPECT_EQ(back.GetComments(), "two\nlines \xc3\xa9t\xc3\xa9");
    back.SetComments(doc.GetComments());
    EXPECT_EQ(Stored(back), Stored(doc));
}

TEST(TextForm, SniffTellsKindsApartByContent) {
    using textform::TextKind;
    EXPECT_EQ(textform::Sniff("{\"kind\":\"tree\"}", true), TextKind::Tree);
    EXPECT_EQ(textform::Sniff(" \n{\"comments\":1,\"x\":[", false), TextKind::Tree);
    EXPECT_EQ(textform::Sniff("\xEF\xBB\xBF{\"entries\":[]}", true), TextKind::Song);
    EXPECT_EQ(textform::Sniff("{\"x\":{\"root\":1},\"kind\":\"song\"}", true), TextKind::Song);
    EXPECT_EQ(textform::Sniff("{\"events\":[]}", true), TextKind::EventList);
    EXPECT_EQ(textform::Sniff("{\"kind\":\"sound\"}", true), TextKind::Unknown);
    EXPECT_EQ(textform::Sniff("{\"x\":[1,2", false), TextKind::Unknown) << "cut, not broken";
    EXPECT_EQ(textform::Sniff("{\"x\":[1,2", true), TextKind::Invalid);
    EXPECT_EQ(textform::Sniff("\x05\0\0\0", true), TextKind::NotText);
    EXPECT_EQ(textform::Sniff("[{\"root\":1}]", true), TextKind::NotText);
    std::string error;
    EXPECT_EQ(textform::Sniff("{\n\"a\" 1}", true, &error), TextKind::Invalid);
    EXPECT_EQ(error.substr(0, 16), "line 2, column 5");
}

} // namespace
