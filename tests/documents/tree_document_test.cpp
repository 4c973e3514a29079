#include "documents/tree_document.h"

#include "events/archive.h"
#include "platform/atomic_file.h"
#include "platform/user_messages.h"
#include "tests/documents/tree_bytes.h"
#include "tree/node_io.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using treebytes::Bytes;
using treebytes::Header;

namespace {

struct TempDir : testutil::TempDir {
    TempDir() : testutil::TempDir("dendra-doc") {}
};

bool Load(CDendraDoc& doc, const Bytes& bytes) {
    return doc.LoadFromMemory(bytes.b.data(), bytes.b.size());
}

std::vector<std::pair<uint32_t, int>> Notes(CEventTree& events) {
    std::vector<std::pair<uint32_t, int>> out;
    for (SongEvent* e = events.First(); e; e = events.Next())
        out.emplace_back(events.CurrentTime(), e->IsMidi() ? e->GetData1() : -1);
    return out;
}

// A Word record (type name first) holding notes at the given relative times; files older than
// version 5 carry an extra branch under it.
Bytes WordBranch(uint32_t start, uint32_t duration,
                 const std::vector<std::pair<uint32_t, int>>& notes,
                 const Bytes* extraBranch = nullptr) {
    Bytes w;
    w.Str("Word").Base("Word", start, duration);
    if (extraBranch) w.Add(*extraBranch);
    w.U16(0); // generate from tree
    uint32_t last = notes.empty() ? 0 : notes.back().first;
    w.StoreHeader(static_cast<uint32_t>(notes.size()), last);
    for (auto [t, key] : notes) w.Midi(0x90, static_cast<uint8_t>(key), 100, t, 50);
    return w;
}

// A version 5 file: Root (duration 10000) over a Word with notes at 0, 500 and 1200; no stored
// solution.
Bytes SmallFile(const std::string& comments = "hello") {
    Bytes f = Header(5);
    f.Base("Root", 0, 10000).Add(WordBranch(0, 10000, {{0, 60}, {500, 62}, {1200, 64}}));
    f.U16(0).Str(comments);
    return f;
}

} // namespace

TEST(DendraDoc, NewDocumentHasTheDefaultContents) {
    CDendraDoc doc;
    EXPECT_EQ(doc.GetDocKind(), kDocKindDendra);
    Root& root = doc.GetRoot();
    EXPECT_EQ(root.name, "Root");
    EXPECT_EQ(root.start, 0u);
    EXPECT_EQ(root.duration, 10000u);
    ASSERT_NE(root.childOne, nullptr);
    EXPECT_EQ(root.childOne->TypeName(), "Null");
    EXPECT_EQ(root.childOne->duration, 10000u);
    EXPECT_EQ(root.childTwo, nullptr);
    EXPECT_EQ(root.owner, &doc);
    EXPECT_EQ(doc.GetComments(), "No Comments.");
    EXPECT_TRUE(doc.Options().solvable && doc.Options().saveGenerated &&
                doc.Options().resolveOnChange && doc.Options().timeDelimit);
    EXPECT_EQ(doc.SelectedNode(), &root);
    EXPECT_EQ(doc.TopNode(), &root);
    EXPECT_EQ(doc.GetChannelCount(), 1);
    EXPECT_EQ(doc.GetChannelEvents(1), &doc.Solution());
    EXPECT_EQ(doc.GetChannelEvents(2), nullptr);
}

TEST(DendraDoc, SavedFileHasTheVersionFiveLayoutAndReadsBack) {
    TempDir dir;
    std::string path = dir.File("new.dra");
    CDendraDoc doc;
    doc.SetComments("two\nlines");
    ASSERT_TRUE(doc.OnSaveDocument(path));
    EXPECT_FALSE(doc.IsModified());

    CArchive ar;
    ASSERT_TRUE(CArchive::LoadFile(path, ar));
    Bytes expect = Header(5);
    expect.Base("Root", 0, 10000).NullBranch(10000).U16(1).StoreHeader(0, 0).Str("two\nlines");
    EXPECT_EQ(ar.Buffer(), expect.b);
    for (const auto& e : fs::directory_iterator(dir.Path()))
        EXPECT_EQ(e.path().filename(), "new.dra") << "temporary left behind";

    CDendraDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(back.GetPathName(), path);
    EXPECT_EQ(back.GetTitle(), "new.dra");
    EXPECT_EQ(back.FileVersionRead(), 5);
    EXPECT_EQ(back.GetRoot().duration, 10000u);
    EXPECT_EQ(back.GetRoot().childOne->TypeName(), "Null");
    EXPECT_EQ(back.GetComments(), "two\nlines");
    EXPECT_FALSE(back.IsModified());
}

TEST(DendraDoc, RoundTripKeepsTreeParametersOptionsAndSolution) {
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, SmallFile()));
    ASSERT_EQ(doc.GetRoot().childOne->TypeName(), "Word");
    ASSERT_EQ(doc.Solution().GetCount(), 3);
    EXPECT_FALSE(doc.Options().saveGenerated) << "the file stored no solution";
    doc.Options().saveGenerated = true;
    CArchive saved;
    doc.WriteDocument(saved);

    CDendraDoc again;
    CArchive in(saved.Buffer());
    ASSERT_TRUE(again.ReadDocument(in));
    EXPECT_EQ(Notes(again.Solution()), Notes(doc.Solution()));
    EXPECT_TRUE(again.Options().saveGenerated);
    CArchive resaved;
    again.WriteDocument(resaved);
    EXPECT_EQ(resaved.Buffer(), saved.Buffer()) << "a second round trip changes nothing";

    // Without stored material the reader solves the tree itself.
    again.Options().saveGenerated = false;
    again.Options().solvable = false;
    CArchive bare;
    again.WriteDocument(bare);
    CDendraDoc third;
    CArchive in3(bare.Buffer());
    ASSERT_TRUE(third.ReadDocument(in3));
    EXPECT_FALSE(third.Options().saveGenerated);
    EXPECT_FALSE(third.Options().solvable);
    EXPECT_EQ(third.Solution().GetCount(), 0) << "an unsolvable tree is not solved on reading";
}

TEST(DendraDoc, FileWithoutSolutionIsSolvedOnReading) {
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, SmallFile()));
    EXPECT_FALSE(doc.Options().saveGenerated);
    std::vector<std::pair<uint32_t, int>> expect{{0, 60}, {500, 62}, {1200, 64}};
    EXPECT_EQ(Notes(doc.Solution()), expect);

    // The same as one stand-alone solve of the Root.
    CEventTree direct;
    SolveInto(doc.GetRoot(), direct, 0);
    EXPECT_EQ(Notes(direct), expect);
}

TEST(DendraDoc, ReadsVersionTwoWithoutMagicOrSolvableFlag) {
    Bytes nullExtra;
    nullExtra.NullBranch(0);
    Bytes f = Header(2);
    ASSERT_EQ(f.b.size(), 4u);
    f.Base("Old Root", 100, 3000).Add(WordBranch(0, 3000, {{10, 48}, {20, 50}}, &nullExtra));
    f.U16(0).Str("version two");
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, f));
    EXPECT_EQ(doc.FileVersionRead(), 2);
    EXPECT_TRUE(doc.Options().solvable);
    EXPECT_EQ(doc.GetRoot().name, "Old Root");
    EXPECT_EQ(doc.GetRoot().start, 100u);
    ProtoType* word = doc.GetRoot().childOne;
    ASSERT_NE(word, nullptr);
    EXPECT_EQ(word->TypeName(), "Word");
    EXPECT_EQ(word->childOne, nullptr) << "the old extra branch is discarded";
    EXPECT_EQ(word->childTwo, nullptr);
    EXPECT_EQ(static_cast<Word*>(word)->events.GetCount(), 2);
    // Solved on reading, at the Root's start.
    std::vector<std::pair<uint32_t, int>> expect{{110, 48}, {120, 50}};
    EXPECT_EQ(Notes(doc.Solution()), expect);
    EXPECT_EQ(doc.GetComments(), "version two");
}

TEST(DendraDoc, ReadsVersionThreeWithSolvableFlagAndStoredSolution) {
    Bytes extra; // Words before version 5 carry one extra branch
    extra.NullBranch(5000);
    Bytes f = Header(3, /*solvable=*/0);
    ASSERT_EQ(f.b.size(), 6u);
    f.Base("Root", 0, 5000).Add(WordBranch(0, 5000, {{0, 60}}, &extra));
    f.U16(1).StoreHeader(1, 777).Midi(0x91, 70, 90, 777, 0).Str("");
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, f));
    EXPECT_EQ(doc.FileVersionRead(), 3);
    EXPECT_FALSE(doc.Options().solvable);
    EXPECT_TRUE(doc.Options().saveGenerated);
    std::vector<std::pair<uint32_t, int>> stored{{777, 70}};
    EXPECT_EQ(Notes(doc.Solution()), stored) << "the stored solution is kept as it was";
}

TEST(DendraDoc, ReadsVersionFourWithNestedDiscardedBranch) {
    // The discarded branch is itself a subtree: a Counter over a Null.
    Bytes extra;
    extra.Str("Counter").Base("Counter", 0, 100).NullBranch(100).U32(7);
    Bytes f = Header(4);
    ASSERT_EQ(f.b.size(), 10u);
    f.Base("Root", 0, 10000);
    f.Str("Loop").Base("Loop", 0, 10000);
    f.Add(WordBranch(0, 1000, {{0, 72}}, &extra));
    f.U32(2500); // loop point
    f.U16(0).Str("four");
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, f));
    EXPECT_EQ(doc.FileVersionRead(), 4);
    ProtoType* loop = doc.GetRoot().childOne;
    ASSERT_EQ(loop->TypeName(), "Loop");
    EXPECT_EQ(static_cast<Loop*>(loop)->loopPoint, 2500u);
    ASSERT_EQ(loop->childOne->TypeName(), "Word");
    std::vector<std::pair<uint32_t, int>> expect{{0, 72}, {2500, 72}, {5000, 72}, {7500, 72}};
    EXPECT_EQ(Notes(doc.Solution()), expect);
}

TEST(DendraDoc, RefusedFilesShowTheirMessageAndLeaveTheDocumentAlone) {
    struct Case {
        const char* what;
        Bytes file;
        std::string message; // empty: any message
    };
    Bytes newer = Header(6);
    newer.Base("Root", 0, 10000).NullBranch(10000).U16(0).Str("");
    Bytes badMagic = Header(5, 1, 71683);
    badMagic.Base("Root", 0, 10000).NullBranch(10000).U16(0).Str("");
    Bytes unknown = Header(5);
    unknown.Base("Root", 0, 10000).Str("NoSuchNode").Base("x", 0, 1).U16(0).Str("");
    Bytes unknownDeep = Header(5);
    unknownDeep.Base("Root", 0, 10000).Str("Loop").Base("Loop", 0, 1);
    unknownDeep.Str("Zork").Base("z", 0, 1).U32(480).U16(0).Str("");
    Bytes deep = Header(5);
    deep.Base("Root", 0, 10000);
    for (int i = 0; i < 5000; ++i) deep.Str("Loop").Base("Loop", 0, 10000);
    std::vector<Case> cases;
    cases.push_back({"version 6", newer, kNewerVersionMessage});
    cases.push_back({"wrong magic", badMagic, kNotDendraMessage});
    cases.push_back({"unknown type", unknown, ""});
    cases.push_back({"unknown type below a node", unknownDeep, ""});
    cases.push_back({"nesting too deep", deep, ""});
    cases.push_back({"empty", Bytes{}, ""});

    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, SmallFile("keep me")));
    doc.SetPathName("/somewhere/kept.dra");
    const ProtoType* rootChild = doc.GetRoot().childOne;
    for (const Case& c : cases) {
        platform::ScopedRecordingMessages messages;
        EXPECT_FALSE(Load(doc, c.file)) << c.what;
        auto shown = messages.Shown();
        ASSERT_EQ(shown.size(), 1u) << c.what;
        if (!c.message.empty()) {
            EXPECT_EQ(shown[0], c.message) << c.what;
        }
        EXPECT_EQ(doc.GetComments(), "keep me") << c.what;
        EXPECT_EQ(doc.GetRoot().childOne, rootChild) << c.what;
        EXPECT_EQ(doc.Solution().GetCount(), 3) << c.what;
        EXPECT_EQ(doc.GetPathName(), "/somewhere/kept.dra") << c.what;
    }
    platform::ScopedRecordingMessages messages;
    Load(doc, unknown);
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_NE(messages.Shown()[0].find("NoSuchNode"), std::string::npos) << messages.Shown()[0];
}

TEST(DendraDoc, EveryTruncationOfAValidFileFailsCleanly) {
    Bytes full = SmallFile("complete");
    // Store a solution too, so the cut can fall inside it.
    CDendraDoc source;
    ASSERT_TRUE(Load(source, full));
    CArchive withSolution;
    source.WriteDocument(withSolution);
    for (const std::vector<uint8_t>& bytes : {full.b, withSolution.Buffer()}) {
        for (size_t n = 0; n < bytes.size(); ++n) {
            CDendraDoc doc;
            doc.SetComments("untouched");
            platform::ScopedRecordingMessages messages;
            EXPECT_FALSE(doc.LoadFromMemory(bytes.data(), n)) << n;
            EXPECT_EQ(messages.Shown().size(), 1u) << n;
            EXPECT_EQ(doc.GetComments(), "untouched") << n;
            EXPECT_EQ(doc.GetRoot().childOne->TypeName(), "Null") << n;
        }
        CDendraDoc doc;
        EXPECT_TRUE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    }
}

TEST(DendraDoc, OpenAndSaveFailuresKeepTheDocument) {
    TempDir dir;
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, SmallFile("mine")));
    doc.SetPathName(dir.File("mine.dra"));
    doc.SetModifiedFlag();
    {
        platform::ScopedRecordingMessages messages;
        EXPECT_FALSE(doc.OnOpenDocument(dir.File("missing.dra")));
        ASSERT_EQ(messages.Shown().size(), 1u);
        EXPECT_NE(messages.Shown()[0].find("No such file or directory"), std::string::npos);
    }
    {
        platform::ScopedRecordingMessages messages;
        EXPECT_FALSE(doc.OnSaveDocument(dir.File("no/such/folder/x.dra")));
        EXPECT_EQ(messages.Shown().size(), 1u);
    }
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(doc.GetComments(), "mine");
    EXPECT_EQ(doc.GetPathName(), dir.File("mine.dra"));

    // Saving over an existing file replaces it whole.
    std::string path = dir.File("over.dra");
    Bytes big = SmallFile(std::string(200, 'x'));
    ASSERT_TRUE(platform::WriteFileAtomically(path, big.b.data(), big.b.size()));
    CDendraDoc fresh;
    ASSERT_TRUE(fresh.OnSaveDocument(path));
    CDendraDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(back.GetComments(), "No Comments.");
}

TEST(DendraDoc, EditsReachTheSolverAndMarkTheDocument) {
    CDendraDoc doc;
    ASSERT_TRUE(Load(doc, SmallFile()));
    EXPECT_FALSE(doc.IsModified());
    doc.GetRoot().childOne->NotifyTimeChange(0, 2000);
    EXPECT_TRUE(doc.IsModified());
    EXPECT_TRUE(doc.IsSolving()) << "a change schedules a re-solve";
    while (doc.OnIdle()) {
    }
    EXPECT_FALSE(doc.IsSolving());
    std::vector<std::pair<uint32_t, int>> expect{{0, 60}, {500, 62}, {1200, 64}};
    EXPECT_EQ(Notes(doc.Solution()), expect);

    doc.Options().resolveOnChange = false;
    doc.GetRoot().childOne->NotifyTimeChange(0, 2000);
    EXPECT_FALSE(doc.IsSolving());

    doc.SetPickMode(2, doc.GetRoot().childOne);
    EXPECT_EQ(doc.PickMode(), 2);
    EXPECT_EQ(doc.Picker(), doc.GetRoot().childOne);
    ASSERT_TRUE(doc.OnNewDocument());
    EXPECT_EQ(doc.PickMode(), 0);
    EXPECT_EQ(doc.Picker(), nullptr);
    EXPECT_EQ(doc.Solution().GetCount(), 0);
    EXPECT_FALSE(doc.IsModified());
}
