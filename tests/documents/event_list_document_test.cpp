// Event-list documents: file format, units per beat, the Word editor link, node graphs, and the
// lexicon lookup.
#include "documents/event_list_document.h"
#include "documents/lexicon.h"
#include "documents/node_graph.h"
#include "events/archive.h"
#include "nodes/control.h"
#include "nodes/logic.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"
#include "nodes/set.h"
#include "platform/user_messages.h"
#include "tests/common/node_types.h"
#include "tree/node_host.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

std::vector<std::string> Describe(CEventTree& t) {
    std::vector<std::string> out;
    for (SongEvent* e = t.First(); e; e = t.Next()) {
        std::string s = std::to_string(t.CurrentTime()) + ":";
        s += e->IsMidi()
                 ? "m" + std::to_string(e->GetData1()) + "/" + std::to_string(e->GetDuration())
                 : "v" + std::to_string(e->GetValue());
        out.push_back(s);
    }
    return out;
}

std::vector<uint8_t> Bytes(CSELDoc& doc) {
    CArchive ar;
    doc.WriteDocument(ar);
    return ar.Buffer();
}

class TempDir {
public:
    TempDir() {
        path = std::filesystem::temp_directory_path() /
               ("dendra-sel-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
    static inline int counter = 0;
};

TEST(EventListDocument, NewDocumentSavedAndReopened) {
    CSELDoc doc;
    ASSERT_TRUE(doc.OnNewDocument());
    EXPECT_EQ(doc.GetTitle(), "temp.wrd");
    EXPECT_EQ(doc.UnitsPerBeat(), 1000u);
    EXPECT_EQ(doc.GetEvents().GetCount(), 0);
    ASSERT_TRUE(doc.SetUnitsPerBeat(96));

    TempDir dir;
    const std::string file = (dir.path / "empty.sel").string();
    ASSERT_TRUE(doc.OnSaveDocument(file));
    CSELDoc back;
    ASSERT_TRUE(back.OnOpenDocument(file));
    EXPECT_EQ(back.UnitsPerBeat(), 96u);
    EXPECT_EQ(back.GetEvents().GetCount(), 0);
    EXPECT_EQ(back.GetTitle(), "empty.sel");
    const std::vector<uint8_t> bytes = Bytes(back);
    const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 8);
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 0, 0, 0, 96, 0, 0, 0}));
}

TEST(EventListDocument, EventsWrittenAndReadBack) {
    CSELDoc doc;
    doc.OnNewDocument();
    CNoteEventList list;
    list.Add(new EventMidi(0, 0x90, 60, 100, 480));
    list.Add(new EventMidi(250, 0xE0, 0, 64));
    list.Add(new EventMidi(1000, 0xB0, 7, 90));
    doc.ReplaceEvents(list);
    doc.ReplaceEvents(list); // replaces, does not add
    EXPECT_EQ(doc.GetEvents().GetCount(), 3);
    CSELDoc back;
    const std::vector<uint8_t> bytes = Bytes(doc);
    ASSERT_TRUE(back.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_EQ(Describe(back.GetEvents()), Describe(doc.GetEvents()));
    EXPECT_EQ(Bytes(back), bytes);
}

TEST(EventListDocument, ZeroUnitsAndDamagedFilesAreRefused) {
    CSELDoc doc;
    doc.OnNewDocument();
    CNoteEventList list;
    list.Add(new EventMidi(10, 0x90, 60, 100, 5));
    doc.ReplaceEvents(list);
    std::vector<uint8_t> good = Bytes(doc);

    platform::ScopedRecordingMessages messages;
    std::vector<uint8_t> zero = good;
    zero[4] = zero[5] = zero[6] = zero[7] = 0;
    EXPECT_FALSE(doc.LoadFromMemory(zero.data(), zero.size()));
    std::vector<uint8_t> cut(good.begin(), good.end() - 3);
    EXPECT_FALSE(doc.LoadFromMemory(cut.data(), cut.size()));
    EXPECT_FALSE(doc.LoadFromMemory(good.data(), 6));
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{kZeroUnitsMessage, kBadEventListMessage,
                                                          kBadEventListMessage}));
    EXPECT_EQ(doc.UnitsPerBeat(), 1000u) << "the document is unchanged";
    EXPECT_EQ(Describe(doc.GetEvents()), (std::vector<std::string>{"10:m60/5"}));
}

TEST(EventListDocument, UnitsPerBeatRescaleTheEvents) {
    CSELDoc doc;
    doc.OnNewDocument();
    CNoteEventList list;
    list.Add(new EventMidi(1000, 0x90, 60, 100, 500));
    list.Add(new EventMidi(2500, 0x90, 62, 100, 250));
    doc.ReplaceEvents(list);
    ASSERT_TRUE(doc.SetUnitsPerBeat(480));
    EXPECT_EQ(Describe(doc.GetEvents()), (std::vector<std::string>{"480:m60/240", "1200:m62/120"}));
    EXPECT_FALSE(doc.SetUnitsPerBeat(0));
    doc.SetTicksPerBeat(kUnitsPerBeat, 0);
    doc.ChangeTicksPerBeat(0);
    EXPECT_EQ(doc.UnitsPerBeat(), 480u);
    EXPECT_EQ(Describe(doc.GetEvents()), (std::vector<std::string>{"480:m60/240", "1200:m62/120"}));
}

TEST(WordEditor, EditsTheOwnersEventsAndReportsItsClosing) {
    CEventTree words;
    words.AddAt(EventMidi(0, 0x90, 60, 100, 100), 0);
    EventEditorLink link;
    EXPECT_TRUE(link.EditorClosed());
    std::unique_ptr<CSELDoc> editor = ToggleLinkedEditor(link, words, "Word");
    ASSERT_NE(editor, nullptr);
    EXPECT_FALSE(link.EditorClosed());
    EXPECT_EQ(&editor->GetEvents(), &words);
    editor->GetEvents().AddAt(EventMidi(0, 0x90, 64, 100, 100), 500);
    EXPECT_EQ(words.GetCount(), 2) << "edits change the Word's events";

    editor->OnCloseDocument();
    EXPECT_TRUE(link.EditorClosed());
    EXPECT_EQ(words.GetCount(), 2) << "closing leaves the events to the Word";
    EXPECT_NE(&editor->GetEvents(), &words);
    editor.reset();

    std::unique_ptr<CSELDoc> second = ToggleLinkedEditor(link, words, "Word");
    ASSERT_NE(second, nullptr) << "a new editor after the first was closed";
    EXPECT_EQ(ToggleLinkedEditor(link, words, "Word"), nullptr)
        << "a second Display closes the editor";
    EXPECT_TRUE(link.EditorClosed());
    EXPECT_FALSE(second->EditsOwnerEvents());
}

TEST(WordEditor, NeverOutlivesTheWord) {
    std::unique_ptr<CSELDoc> editor;
    {
        CEventTree words;
        words.AddAt(EventValue(1.0f), 0);
        EventEditorLink link;
        editor = ToggleLinkedEditor(link, words, "Word");
    } // the Word (its link and its store) is gone
    ASSERT_NE(editor, nullptr);
    EXPECT_FALSE(editor->EditsOwnerEvents());
    EXPECT_EQ(editor->GetEvents().GetCount(), 0);
    editor->GetEvents().AddAt(EventValue(2.0f), 0); // its own store now

    EventEditorLink link;
    CEventTree words;
    auto doc = ToggleLinkedEditor(link, words, "Word");
    doc.reset(); // the application destroys the window first
    EXPECT_TRUE(link.EditorClosed());
    EXPECT_EQ(link.Editor(), nullptr);
}

TEST(NodeGraph, EventAndSampledGraphs) {
    MidiNote note;
    note.duration = 1000;
    auto graph = GraphNode(note, 0);
    EXPECT_EQ(graph->GetTitle(), "Midi Note");
    EXPECT_EQ(graph->UnitsPerBeat(), 480u) << "a node without parent: 480 units per beat";
    Root detached;
    EXPECT_EQ(GraphNode(detached, 0)->UnitsPerBeat(), 1000u) << "a Root without document: 1000";
    EXPECT_EQ(Describe(graph->GetEvents()), (std::vector<std::string>{"0:m60/50"}));

    TemporalPhase tp;
    tp.duration = 1000;
    tp.loopLength = 1000;
    auto sampled = GraphFromDisplay(tp);
    ASSERT_NE(sampled, nullptr);
    EXPECT_EQ(Describe(sampled->GetEvents()),
              (std::vector<std::string>{"0:v0.000000", "250:v0.250000", "500:v0.500000",
                                        "750:v0.750000", "1000:v0.000000"}));
    auto stepped = GraphNode(tp, 500);
    EXPECT_EQ(stepped->GetEvents().GetCount(), 3);

    EqualTo eq;
    EXPECT_EQ(GraphFromDisplay(eq), nullptr) << "logic nodes show no graph";
    auto viaDisplay = GraphFromDisplay(note);
    ASSERT_NE(viaDisplay, nullptr);
    EXPECT_EQ(viaDisplay->GetEvents().GetCount(), 1);
}

TEST(Lexicon, MessageAndLookupByFileName) {
    EXPECT_EQ(LexiconMissingMessage("bird.wrd", "/opt/dendra/MEDIA/LEXICON/"),
              "Could not find \"bird.wrd \" in Lexicon( \"/opt/dendra/MEDIA/LEXICON/\" ).");
    EXPECT_EQ(DefaultLexiconFolder("/opt/dendra"), "/opt/dendra/MEDIA/LEXICON/");

    TempDir dir;
    const std::string folder = dir.path.string() + "/";
    std::ofstream(dir.path / "bird.wrd") << "x";
    std::string word = "C:\\old\\words\\bird.wrd";
    EXPECT_TRUE(LookupWord(word, folder, true));
    EXPECT_EQ(word, (dir.path / "bird.wrd").string());

    platform::ScopedRecordingMessages messages;
    word = "/elsewhere/fish.wrd";
    EXPECT_FALSE(LookupWord(word, folder, true));
    EXPECT_EQ(word, "");
    EXPECT_EQ(messages.Shown(),
              (std::vector<std::string>{LexiconMissingMessage("fish.wrd", folder)}));
    word = "fish.wrd";
    EXPECT_FALSE(LookupWord(word, folder, false));
    EXPECT_EQ(messages.Shown().size(), 1u);
}

// The set nodes read their picked word through the lexicon: found by file name without a
// message, read as an event list; a file that is not an event list is reported by its reader.
TEST(Lexicon, SetNodesLoadTheirWordsFromTheFolder) {
    TempDir dir;
    const std::string folder = dir.path.string() + "/";
    {
        CSELDoc word;
        ASSERT_TRUE(word.OnNewDocument());
        word.GetEvents().AddCopyAt(EventMidi(0, 0x90, 62, 80, 100), 0);
        word.GetEvents().AddCopyAt(EventMidi(0, 0x90, 65, 80, 100), 250);
        ASSERT_TRUE(word.OnSaveDocument((dir.path / "bird.wrd").string()));
    }
    std::ofstream(dir.path / "bad.wrd") << "not an event list";

    UseLexiconFolder(folder);
    Root root;
    auto* set = static_cast<Set*>(ReplaceWith(root.childOne, "Set"));
    ASSERT_NE(set, nullptr);
    set->wordSet.Append("a first word", 0.0f); // never picked
    set->wordSet.Append("C:\\old\\bird.wrd", 1.0f);
    platform::ScopedRecordingMessages messages;
    set->ResetCounters();
    EXPECT_EQ(Describe(set->wordEvents), (std::vector<std::string>{"0:m62/100", "250:m65/100"}));

    set->wordSet.Clear();
    set->wordSet.Append("a first word", 0.0f);
    set->wordSet.Append("fish.wrd", 1.0f);
    set->ResetCounters();
    EXPECT_TRUE(messages.Shown().empty()) << "a missing word is looked up without a message";
    EXPECT_EQ(set->wordEvents.GetCount(), 2) << "and leaves the events as they were";

    set->wordSet.Insert("bad.wrd", 1.0f); // a first word, bad.wrd, fish.wrd
    set->wordSet.Remove("fish.wrd");
    set->ResetCounters();
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{kBadEventListMessage}));
    EXPECT_EQ(set->wordEvents.GetCount(), 0);
    SetWordSource(nullptr);
}

} // namespace

namespace {

// Keeps the editors it is asked to show, as the GUI's window list would.
class EditorHost : public NodeHost {
public:
    bool RunParamsDialog(ProtoType&, ParamDialog&) override { return false; }
    void ShowEventGraph(const std::string&, float, CNoteEventList&) override {}
    void ToggleDataEditor(ProtoType&) override {}
    void OpenEventEditor(EventEditorLink& link, CEventTree& events,
                         const std::string& title) override {
        if (auto editor = ToggleLinkedEditor(link, events, title))
            editors.push_back(std::move(editor));
    }
    std::vector<std::unique_ptr<CSELDoc>> editors;
};

TEST(Word, ItsEventEditorNeverOutlivesTheWord) {
    EditorHost host;
    NodeHost* previous = SetNodeHost(&host);
    {
        auto* word = new Word;
        word->events.Add(new EventMidi(0, 0x90, 60, 100, 250));
        word->EditData();
        ASSERT_EQ(host.editors.size(), 1u);
        CSELDoc& editor = *host.editors[0];
        // The editor works on the Word's own store.
        EXPECT_EQ(editor.GetChannelEvents(1), &word->events);
        editor.GetChannelEvents(1)->Add(new EventMidi(500, 0x90, 62, 100, 250));
        EXPECT_EQ(word->events.GetCount(), 2);

        // A second Display closes it; a third opens a new one.
        word->EditData();
        EXPECT_NE(editor.GetChannelEvents(1), &word->events);
        word->EditData();
        ASSERT_EQ(host.editors.size(), 2u);
        delete word; // the open editor falls back to a store of its own
    }
    CEventTree* left = host.editors[1]->GetChannelEvents(1);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->GetCount(), 0);
    left->Add(new EventMidi(0, 0x90, 64, 100, 10)); // still usable (ASan would catch a stale store)
    SetNodeHost(previous);
}

} // namespace
