#include "documents/midi_document.h"
#include "documents/midi_export.h"
#include "documents/tree_document.h"

#include "platform/user_messages.h"
#include "tests/common/smf_bytes.h"

#include <gtest/gtest.h>

#include <filesystem>

using smf::Bytes;

namespace {

struct Note {
    uint32_t time;
    int status, key, velocity;
    uint32_t duration;
    bool operator==(const Note&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Note& n) {
    return os << "{" << n.time << " " << n.status << " " << n.key << " " << n.velocity << " "
              << n.duration << "}";
}

std::vector<Note> Events(CMidiDoc& doc, int channel) {
    std::vector<Note> out;
    CEventTree* store = doc.GetChannelEvents(channel);
    for (SongEvent* e = store->First(); e; e = store->Next()) {
        const uint8_t* b = e->GetMessageBytes();
        out.push_back({store->CurrentTime(), b[0], b[1], b[2], e->GetDuration()});
    }
    return out;
}

Bytes WithEnd(Bytes b) {
    b.insert(b.end(), smf::kEnd.begin(), smf::kEnd.end());
    return b;
}

class MidiDocTest : public ::testing::Test {
protected:
    void SetUp() override { dir = smf::ScratchDir("doc"); }
    std::string Write(const std::string& name, const Bytes& b) {
        std::string path = dir + "/" + name;
        smf::WriteFile(path, b);
        return path;
    }
    std::string dir;
    platform::ScopedRecordingMessages messages;
};

TEST_F(MidiDocTest, NotesArePairedWithTheLatestSoundingNoteOn) {
    Bytes body = WithEnd({0x00, 0x80, 70,   0,         // nothing sounding: dropped
                          0x00, 0x90, 60,   100,       // A
                          0x0A, 0x90, 60,   90,        // B, same key
                          0x0A, 0x80, 60,   64,        // closes B
                          0x0A, 0x90, 60,   0,         // closes A, not B again
                          0x00, 0x91, 60,   80,        // another channel, left open
                          0x05, 0x80, 60,   0,         // nothing sounding on channel 0: dropped
                          0x00, 0xFF, 0x01, 0x01, 'x', // text: its time goes on
                          0x07, 0xB1, 7,    127});
    CMidiDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(
        Write("pairs.mid", smf::Cat({smf::Header(0, 1, 96), smf::Track(body)}))));
    EXPECT_EQ(Events(doc, 1), (std::vector<Note>{{0, 0x90, 60, 100, 30},
                                                 {10, 0x90, 60, 90, 10},
                                                 {30, 0x91, 60, 80, 0},
                                                 {42, 0xB1, 7, 127, 0}}));
    EXPECT_EQ(doc.EventsRead(1), 8u); // the text is no event
    EXPECT_EQ(doc.LoadedLength(), 42u);
    EXPECT_FALSE(doc.IsModified());
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 96u);
    EXPECT_EQ(doc.GetTicksPerBeat(kPlayResolution), 96u);
    EXPECT_EQ(doc.GetTitle(), "pairs.mid");
    EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(MidiDocTest, FiftyTracksGiveThirtyNineChannelsLoadedOnDemand) {
    Bytes file = smf::Header(1, 50, 480);
    for (int k = 0; k < 50; ++k) {
        Bytes t = smf::Track(WithEnd({0x00, uint8_t(0x90 | (k % 16)), uint8_t(k), 1, 0x10,
                                      uint8_t(0x80 | (k % 16)), uint8_t(k), 0}));
        file.insert(file.end(), t.begin(), t.end());
    }
    CMidiDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(Write("fifty.mid", file)));
    EXPECT_EQ(doc.GetChannelCount(), 39);
    EXPECT_EQ(Events(doc, 39), (std::vector<Note>{{0, 0x90 | (38 % 16), 38, 1, 16}}));
    // A freed channel is read again from the file when next asked for.
    doc.FreeChannel(7);
    EXPECT_FALSE(doc.IsChannelLoaded(7));
    EXPECT_EQ(Events(doc, 7), (std::vector<Note>{{0, 0x96, 6, 1, 16}}));
    EXPECT_EQ(doc.SetChannelCount(60, false), 39);
    // Lengths: 16 ticks of 480 are 0 whole beats, plus 2; the extent is at least 10 wide.
    EXPECT_EQ(doc.GetLength(0), 2u);
    EXPECT_EQ(doc.GetExtent().width, 10);
    EXPECT_EQ(doc.GetExtent().height, 127);
}

TEST_F(MidiDocTest, FailedOpensKeepTheDocument) {
    CMidiDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(
        Write("ok.mid", smf::Cat({smf::Header(0, 1, 96), smf::Track(WithEnd({0, 0x90, 1, 1}))}))));
    messages.Clear();
    EXPECT_FALSE(doc.OnOpenDocument(Write("zero.mid", {})));
    EXPECT_FALSE(doc.OnOpenDocument(
        Write("div0.mid", smf::Cat({smf::Header(0, 1, 0), smf::Track(smf::kEnd)}))));
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{"OpenFailed", "OpenFailed"}));
    EXPECT_EQ(doc.GetTitle(), "ok.mid");
    EXPECT_EQ(Events(doc, 1).size(), 1u);
    // A file that cannot be opened at all says so before the document does.
    messages.Clear();
    EXPECT_FALSE(doc.OnOpenDocument(dir + "/missing.mid"));
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{"Problem opening MIDI.", "OpenFailed"}));
    EXPECT_EQ(Events(doc, 1).size(), 1u);
}

TEST(MidiFileProblems, EachFailureHasTheMessageItAlwaysHad) {
    using formats::Code;
    using formats::Result;
    EXPECT_STREQ(MidiFileProblemMessage(Result(Code::CannotOpen, "x")), "Problem opening MIDI.");
    EXPECT_STREQ(MidiFileProblemMessage(Result(Code::WriteFailed, "x")), "Problem opening MIDI.");
    EXPECT_STREQ(MidiFileProblemMessage(Result(Code::CannotReopen, "x")),
                 "Problem Re-Opening MIDI file.");
    // A file that opened but is no MIDI file leaves the words to the document.
    for (Code c : {Code::Ok, Code::NotRecognized, Code::Malformed, Code::Unsupported, Code::Refused,
                   Code::ReadFailed})
        EXPECT_EQ(MidiFileProblemMessage(Result(c, "x")), nullptr) << formats::CodeName(c);
}

TEST_F(MidiDocTest, AbsurdTimesStopTheTrackWithOneMessage) {
    Bytes body;
    for (int i = 0; i < 20; ++i) body.insert(body.end(), {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 1});
    CMidiDoc doc;
    ASSERT_TRUE(doc.OnOpenDocument(
        Write("far.mid", smf::Cat({smf::Header(0, 1, 96), smf::Track(WithEnd(body))}))));
    // 0x0FFFFFFF ticks a step: three steps stay below 999999999.
    EXPECT_EQ(Events(doc, 1).size(), 3u);
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{"Problem reading MIDI file"}));
}

TEST_F(MidiDocTest, SysexAndTempoEventsAreKept) {
    Bytes body = WithEnd({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, //
                          0x04, 0xF0, 0x05, 0x43, 0x10, 0x4C, 0x00, 0xF7});
    CMidiDoc doc;
    ASSERT_TRUE(
        doc.OnOpenDocument(Write("sx.mid", smf::Cat({smf::Header(0, 1, 96), smf::Track(body)}))));
    EXPECT_EQ(Events(doc, 1), (std::vector<Note>{{0, 0x00, 0x07, 0xA1, 0},
                                                 {4, 0xF0, 0xF0, 0, 0},
                                                 {4, 0xF0, 0x43, 0, 0},
                                                 {4, 0xF0, 0x10, 0, 0},
                                                 {4, 0xF0, 0x4C, 0, 0},
                                                 {4, 0xF0, 0x00, 0, 0},
                                                 {4, 0xF0, 0xF7, 0, 0}}));
}

TEST_F(MidiDocTest, ChannelPropertiesForTheMixer) {
    Bytes t1 = WithEnd({0x00, 0xFF, 0x03, 0x04, 'b',  'a',  's', 's', //
                        0x00, 0xB2, 7,    100,  0x00, 0xB3, 7,   10,  // volume of 2, and of 3
                        0x00, 0xB2, 10,   127,  0x00, 0xC2, 33,       // pan, program of 2
                        0x00, 0x92, 40,   90,   0x10, 0xB2, 7,   1});
    Bytes t2 = WithEnd({0x00, 0x95, 40, 90});
    CMidiDoc doc;
    std::string path =
        Write("props.mid", smf::Cat({smf::Header(1, 2, 96), smf::Track(t1), smf::Track(t2)}));
    ChannelMixRecord first, second;
    doc.SetMixRecord(1, &first);
    doc.SetMixRecord(2, &second);
    ASSERT_TRUE(doc.OnOpenDocument(path));
    EXPECT_EQ(first.name, "bass");
    EXPECT_EQ(first.sourcePath, path);
    EXPECT_EQ(first.channel, 2);
    EXPECT_FLOAT_EQ(first.volume, 0.78f); // floor(100 × 100 / 127) / 100
    EXPECT_FLOAT_EQ(first.pan, 1.0f);
    EXPECT_EQ(first.program, 33);
    EXPECT_EQ(second.name, "props"); // no name: the file's name without ".mid"
    EXPECT_EQ(second.channel, 5);
    EXPECT_FLOAT_EQ(second.volume, 0.9f); // none in the track: unchanged
    doc.ClearMixRecord(&second);
    EXPECT_EQ(doc.GetMixRecord(2), nullptr);
}

TEST_F(MidiDocTest, SavingMergesNoteOffsAndWritesTheTempoFirst) {
    CMidiDoc doc;
    CEventTree* ch = doc.GetChannelEvents(1);
    ch->Add(new EventMidi(0, 0x90, 60, 100, 480));
    ch->Add(new EventMidi(480, 0x90, 60, 90, 480)); // struck again as the first ends
    ch->Add(new EventMidi(100, 0xB0, 7, 64));
    ch->Add(new EventValue(1.0f, 50)); // not MIDI: left out
    doc.SetTicksPerBeat(kUnitsPerBeat, 480);
    doc.SetExportTempo(120);
    std::string path = dir + "/one.mid";
    ASSERT_TRUE(doc.OnSaveDocument(path));
    Bytes b = smf::ReadFile(path);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 14),
              (Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0})); // format 0
    EXPECT_EQ(Bytes(b.begin() + 14, b.begin() + 18), (Bytes{'M', 'T', 'r', 'k'}));
    EXPECT_EQ(smf::ReadBe32(b, 18), b.size() - 22);
    Bytes expected = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, // 120 bpm
                      0x00, 0x90, 60,   100,  0x64, 0xB0, 7,    64, 0x82, 0x7C, 0x80, 60,   0,
                      0x00, 0x90, 60,   90,   0x83, 0x60, 0x80, 60, 0,    0x00, 0xFF, 0x2F, 0x00};
    EXPECT_EQ(Bytes(b.begin() + 22, b.end()), expected);

    CMidiDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(Events(back, 1), (std::vector<Note>{{0, 0, 0x07, 0xA1, 0},
                                                  {0, 0x90, 60, 100, 480},
                                                  {100, 0xB0, 7, 64, 0},
                                                  {480, 0x90, 60, 90, 480}}));
    EXPECT_EQ(back.FileFormat(), 0);
}

TEST_F(MidiDocTest, TwoChannelsSaveAsFormatOneWithNames) {
    CMidiDoc doc;
    doc.SetChannelCount(2, false);
    doc.GetChannelEvents(1)->Add(new EventMidi(5, 0x00, 0x0F, 0x42, 0, 0x40)); // its own tempo
    doc.GetChannelEvents(2)->Add(new EventMidi(7, 0x91, 62, 70, 3));
    ChannelMixRecord mix;
    mix.name = "second";
    doc.SetMixRecord(2, &mix);
    std::string path = dir + "/two.mid";
    ASSERT_TRUE(doc.OnSaveDocument(path));
    Bytes b = smf::ReadFile(path);
    EXPECT_EQ(smf::ReadBe16(b, 8), 1);
    EXPECT_EQ(smf::ReadBe16(b, 10), 2);
    EXPECT_EQ(smf::ReadBe16(b, 12), 1000);
    // Each chunk's length is exactly the bytes up to the next; each track ends FF 2F 00.
    size_t at = 14;
    int tracks = 0;
    while (at < b.size()) {
        ASSERT_EQ(Bytes(b.begin() + long(at), b.begin() + long(at) + 4),
                  (Bytes{'M', 'T', 'r', 'k'}));
        size_t end = at + 8 + smf::ReadBe32(b, at + 4);
        ASSERT_LE(end, b.size());
        EXPECT_EQ(Bytes(b.begin() + long(end) - 3, b.begin() + long(end)),
                  (Bytes{0xFF, 0x2F, 0x00}));
        at = end;
        ++tracks;
    }
    EXPECT_EQ(at, b.size());
    EXPECT_EQ(tracks, 2);
    // The first track begins with its own tempo (no other put before it).
    EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 29),
              (Bytes{0x05, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}));

    CMidiDoc back;
    ChannelMixRecord read;
    back.SetMixRecord(2, &read);
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(read.name, "second");
    EXPECT_EQ(Events(back, 2), (std::vector<Note>{{7, 0x91, 62, 70, 3}}));
    EXPECT_FALSE(back.IsModified());
}

TEST_F(MidiDocTest, FailedSaveKeepsTheFileAndTheModifiedFlag) {
    CMidiDoc doc;
    doc.GetChannelEvents(1)->Add(new EventMidi(0, 0x90, 60, 1, 1));
    doc.SetModifiedFlag(true);
    EXPECT_FALSE(doc.OnSaveDocument(dir + "/missing/dir/x.mid"));
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(messages.Shown(), (std::vector<std::string>{"Problem opening MIDI."}));

    // Saving over the file the document was read from.
    std::string path =
        Write("self.mid", smf::Cat({smf::Header(1, 2, 96),
                                    smf::Track(WithEnd({0, 0x90, 1, 1, 0x10, 0x80, 1, 0})),
                                    smf::Track(WithEnd({0, 0x91, 2, 2}))}));
    CMidiDoc self;
    ASSERT_TRUE(self.OnOpenDocument(path));
    self.SetModifiedFlag(true);
    ASSERT_TRUE(self.OnSaveDocument(path));
    EXPECT_FALSE(self.IsModified());
    CMidiDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(Events(back, 1).back(), (Note{0, 0x90, 1, 1, 16}));
    EXPECT_EQ(Events(back, 2).back(), (Note{0, 0x91, 2, 2, 0}));
}

TEST_F(MidiDocTest, ChangeTicksPerBeatAndPlaybackStepping) {
    CMidiDoc doc;
    doc.SetChannelCount(2, false);
    doc.SetTicksPerBeat(kUnitsPerBeat, 480);
    doc.SetTicksPerBeat(kPlayResolution, 480);
    doc.GetChannelEvents(1)->Add(new EventMidi(480, 0x90, 60, 1, 240));
    doc.GetChannelEvents(2)->Add(new EventMidi(480, 0x91, 61, 1));
    doc.GetChannelEvents(2)->Add(new EventMidi(100, 0x91, 62, 1));
    doc.ChangeTicksPerBeat(96);
    EXPECT_EQ(doc.GetTicksPerBeat(kUnitsPerBeat), 96u);
    EXPECT_EQ(doc.GetTicksPerBeat(kPlayResolution), 96u);
    EXPECT_EQ(Events(doc, 1), (std::vector<Note>{{96, 0x90, 60, 1, 48}}));

    doc.SetTicksPerBeat(kPlayResolution, 192);
    doc.RewindAll();
    int channel = 0;
    uint32_t ticks = 0;
    std::vector<std::pair<int, uint32_t>> order;
    while (SongEvent* e = doc.PeekNextEvent(channel, ticks)) {
        (void)e;
        order.push_back({channel, ticks});
        doc.Advance(channel);
    }
    // 100 × 96 / 480 = 20 units, at 192 ticks a beat 40; ties go to the lower channel.
    EXPECT_EQ(order, (std::vector<std::pair<int, uint32_t>>{{2, 40}, {1, 192}, {2, 192}}));
    EXPECT_EQ(doc.SetPosition(1.0), 96u);
    ASSERT_NE(doc.PeekNextEvent(channel, ticks), nullptr);
    EXPECT_EQ(channel, 1);
}

} // namespace

namespace {

TEST_F(MidiDocTest, ExportingATreeSolutionGivesFormatZeroAtSixtyBpm) {
    CDendraDoc tree;
    ASSERT_TRUE(tree.OnNewDocument());
    tree.Solution().Add(new EventMidi(0, 0x90, 60, 100, 500));
    tree.Solution().Add(new EventMidi(250, 0xB0, 1, 2));
    tree.Solution().Add(new EventValue(3.0f, 100)); // not MIDI
    std::string path = dir + "/tree.mid";
    ASSERT_TRUE(ExportChannelAsMidi(tree, 1, path, false));
    Bytes b = smf::ReadFile(path);
    ASSERT_GE(b.size(), 29u);
    EXPECT_EQ(smf::ReadBe16(b, 8), 0);
    EXPECT_EQ(smf::ReadBe16(b, 12), 1000); // 1 tree unit = 1 tick, 1 ms at 60 bpm
    EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 29),
              (Bytes{0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}));
    CMidiDoc back;
    ASSERT_TRUE(back.OnOpenDocument(path));
    EXPECT_EQ(
        Events(back, 1),
        (std::vector<Note>{{0, 0, 0x0F, 0x42, 0}, {0, 0x90, 60, 100, 500}, {250, 0xB0, 1, 2, 0}}));
    // The tree's own channel is untouched and the export document never became modified.
    EXPECT_EQ(tree.Solution().GetCount(), 3);
}

} // namespace

namespace {

TEST_F(MidiDocTest, ExportingAChannelAsAWordGivesATreeThatSolvesToItsEvents) {
    CMidiDoc doc;
    ASSERT_TRUE(doc.OnNewDocument());
    doc.SetChannelCount(1, false);
    doc.SetTicksPerBeat(kUnitsPerBeat, 480);
    CEventTree* events = doc.GetChannelEvents(1);
    events->Add(new EventMidi(0, 0x90, 60, 100, 240));
    events->Add(new EventMidi(480, 0xB0, 7, 90));
    events->Add(new EventMidi(960, 0x90, 64, 80, 480));
    std::string path = dir + "/word.dra";
    ASSERT_TRUE(ExportChannelAsWord(doc, 1, path));

    CDendraDoc tree;
    ASSERT_TRUE(tree.OnOpenDocument(path));
    ASSERT_NE(tree.GetRoot().childOne, nullptr);
    EXPECT_EQ(tree.GetRoot().childOne->TypeName(), std::string("Word"));
    // 480 ticks a beat become the tree's 1000 units a beat; the Root ends with the last note.
    EXPECT_EQ(tree.GetRoot().duration, 3000u);
    std::vector<std::string> got;
    CEventTree& solution = tree.Solution();
    for (SongEvent* e = solution.First(); e; e = solution.Next())
        got.push_back(std::to_string(solution.CurrentTime()) + ":" +
                      std::to_string(e->GetMessageBytes()[0]) + "," +
                      std::to_string(e->GetData1()) + "/" + std::to_string(e->GetDuration()));
    EXPECT_EQ(got, (std::vector<std::string>{"0:144,60/500", "1000:176,7/0", "2000:144,64/1000"}));
    EXPECT_EQ(doc.GetChannelEvents(1)->GetCount(), 3); // the source is untouched
}

} // namespace
