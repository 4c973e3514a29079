#include "formats/midi_file.h"

#include "platform/user_messages.h"
#include "tests/common/smf_bytes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using smf::Bytes;

namespace {

std::vector<MidiRawEvent> ReadAll(MidiFile& f, int track) {
    std::vector<MidiRawEvent> out;
    MidiRawEvent ev;
    while (f.ReadEvent(track, ev) == 0) out.push_back(ev);
    return out;
}

struct OpenMem {
    Bytes bytes;
    MidiFile file;
    int format = -1;
    int tracks = -1; // -1 when the open failed
    formats::Result result;
    explicit OpenMem(Bytes b) : bytes(std::move(b)) {
        result = file.OpenMemory(bytes.data(), bytes.size(), format);
        if (result) tracks = file.TrackCount();
    }
};

// Opens a file and returns its track count, or -1 when the open failed.
int OpenTracks(MidiFile& f, const std::string& path, char mode, int& format) {
    return f.Open(path, mode, format) ? f.TrackCount() : -1;
}

::testing::AssertionResult Is(const MidiRawEvent& e, uint32_t delta, int status, int d1, int d2,
                              int d3 = 0) {
    if (e.delta == delta && e.status == status && e.data1 == d1 && e.data2 == d2 && e.data3 == d3)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "got delta " << e.delta << " status " << int(e.status) << " data " << int(e.data1)
           << " " << int(e.data2) << " " << int(e.data3);
}

TEST(MidiBytes, DivisionsInTicksPerQuarter) {
    EXPECT_EQ(MidiDivisionToTicks(480), 480);
    EXPECT_EQ(MidiDivisionToTicks(0xE728), 500); // -25 fps, 40 ticks a frame
    EXPECT_EQ(MidiDivisionToTicks(0xE850), 80 * 500000 / 41667);
    EXPECT_EQ(MidiDivisionToTicks(0xE350), 80 * 500000 / 33367);
    EXPECT_EQ(MidiDivisionToTicks(0xE264), 100 * 500000 / 33333);
    EXPECT_EQ(MidiDivisionToTicks(0xE028), -1); // -32 fps is no frame rate
    EXPECT_EQ(MidiDivisionToTicks(0x8001), -1);

    OpenMem smpte(smf::Cat({smf::Header(1, 1, 0xE728), smf::Track(smf::kEnd)}));
    EXPECT_EQ(smpte.tracks, 1);
    EXPECT_EQ(smpte.file.Division(), 500);
    OpenMem bad(smf::Cat({smf::Header(1, 1, 0xE028), smf::Track(smf::kEnd)}));
    EXPECT_EQ(bad.tracks, -1);
    EXPECT_EQ(bad.result.GetCode(), formats::Code::Unsupported);
    OpenMem fmt2(smf::Cat({smf::Header(2, 1, 96), smf::Track(smf::kEnd)}));
    EXPECT_EQ(fmt2.format, 1);
}

TEST(MidiBytes, VariableLengthQuantities) {
    struct Case {
        uint32_t v;
        Bytes b;
    } cases[] = {{0, {0x00}},
                 {0x7F, {0x7F}},
                 {0x80, {0x81, 0x00}},
                 {0x2000, {0xC0, 0x00}},
                 {0x1FFFFF, {0xFF, 0xFF, 0x7F}},
                 {0x0FFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}},
                 {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}}};
    for (const Case& c : cases) {
        Bytes out;
        EXPECT_EQ(MidiAppendVarLen(out, c.v), int(c.b.size()));
        EXPECT_EQ(out, c.b) << c.v;
    }
}

TEST(MidiBytes, ChannelMessagesRunningStatusAndMetaTime) {
    Bytes ev = {
        0x00, 0xFF, 0x01, 0x03, 'a',  'b',  'c',        // text: its delta goes to the next event
        0x0A, 0x90, 60,   100,                          // note-on at 10
        0x05, 62,   90,                                 // running status
        0x05, 0xFF, 0x51, 0x04, 0x07, 0xA1, 0x20, 0x99, // tempo of length 4
        0x01, 0xC3, 0x05,                               // program, one data byte
        0x00, 0x06,                                     // running status with one data byte
        0x02, 0xE0, 0x00, 0x40,                         // pitch bend
        0x03, 0x80, 60,   0,                            // note-off
        0x00, 0x90, 62,   0,                            // velocity 0
    };
    Bytes body = ev;
    body.insert(body.end(), smf::kEnd.begin(), smf::kEnd.end());
    OpenMem m(smf::Cat({smf::Header(0, 1, 96), smf::Track(body)}));
    ASSERT_EQ(m.tracks, 1);
    auto all = ReadAll(m.file, 0);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_TRUE(Is(all[0], 10, 0x90, 60, 100));
    EXPECT_TRUE(Is(all[1], 5, 0x90, 62, 90));
    EXPECT_TRUE(Is(all[2], 5, 0x00, 0x07, 0xA1, 0x20));
    EXPECT_TRUE(Is(all[3], 1, 0xC3, 5, 0));
    EXPECT_TRUE(Is(all[4], 0, 0xC3, 6, 0));
    EXPECT_TRUE(Is(all[5], 2, 0xE0, 0, 0x40));
    EXPECT_TRUE(Is(all[6], 3, 0x80, 60, 0));
    EXPECT_TRUE(Is(all[7], 0, 0x90, 62, 0));
    MidiRawEvent e;
    EXPECT_EQ(m.file.ReadEvent(0, e), 1); // stays at the end
}

TEST(MidiBytes, SystemExclusiveFragments) {
    Bytes body = {0x04, 0xF0, 0x05, 0x43, 0x10, 0x4C, 0x00, 0xF7, // whole message at 4
                  0x02, 0x90, 60,   1,                            // the track goes on aligned
                  0x01, 0xF0, 0x02, 0x01, 0x02,                   // split: no F7 in the first
                  0x07, 0xF7, 0x02, 0x03, 0xF7,                   // ... continuation at +7
                  0x01, 0x90, 61,   1};
    body.insert(body.end(), smf::kEnd.begin(), smf::kEnd.end());
    OpenMem m(smf::Cat({smf::Header(0, 1, 96), smf::Track(body)}));
    auto all = ReadAll(m.file, 0);
    ASSERT_EQ(all.size(), 13u);
    EXPECT_TRUE(Is(all[0], 4, 0xF0, 0xF0, 0));
    EXPECT_TRUE(Is(all[1], 0, 0xF0, 0x43, 0));
    EXPECT_TRUE(Is(all[4], 0, 0xF0, 0x00, 0));
    EXPECT_TRUE(Is(all[5], 0, 0xF0, 0xF7, 0));
    EXPECT_TRUE(Is(all[6], 2, 0x90, 60, 1));
    EXPECT_TRUE(Is(all[7], 1, 0xF0, 0xF0, 0));
    EXPECT_TRUE(Is(all[9], 0, 0xF0, 0x02, 0));
    EXPECT_TRUE(Is(all[10], 7, 0xF0, 0x03, 0)); // the continuation's time comes with it
    EXPECT_TRUE(Is(all[11], 0, 0xF0, 0xF7, 0));
    EXPECT_TRUE(Is(all[12], 1, 0x90, 61, 1));
}

TEST(MidiBytes, DataByteBeforeAnyStatusIsSkipped) {
    Bytes body = {0x05, 0x3C, 0x03, 0x90, 60, 100};
    body.insert(body.end(), smf::kEnd.begin(), smf::kEnd.end());
    OpenMem m(smf::Cat({smf::Header(0, 1, 96), smf::Track(body)}));
    auto all = ReadAll(m.file, 0);
    // 05 3C is skipped, not taken for a tempo event; its time is kept.
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(Is(all[0], 8, 0x90, 60, 100));
}

TEST(MidiBytes, TracksEndAtTheirChunkOrTheFile) {
    // No end-of-track event: the track ends at its chunk; the next track is still found.
    Bytes t1 = {0x00, 0x90, 60, 100, 0x10, 0x80, 60, 0};
    Bytes t2 = {0x00, 0x91, 61, 100};
    OpenMem m(smf::Cat({smf::Header(1, 2, 96), smf::Track(t1), smf::Track(t2)}));
    ASSERT_EQ(m.tracks, 2);
    EXPECT_EQ(ReadAll(m.file, 0).size(), 2u);
    EXPECT_EQ(ReadAll(m.file, 1).size(), 1u);

    // A length beyond the file: the track runs to the end of the file.
    OpenMem beyond(smf::Cat({smf::Header(0, 1, 96), smf::Track(t1, 100000)}));
    ASSERT_EQ(beyond.tracks, 1);
    EXPECT_EQ(ReadAll(beyond.file, 0).size(), 2u);

    // Truncated in the middle of an event: what was whole is read.
    Bytes cut = smf::Cat({smf::Header(0, 1, 96), smf::Track(t1)});
    cut.resize(cut.size() - 2);
    OpenMem truncated(cut);
    ASSERT_EQ(truncated.tracks, 1);
    EXPECT_EQ(ReadAll(truncated.file, 0).size(), 1u);

    // A variable-length quantity of five bytes ends the track.
    Bytes longVlq = {0x00, 0x90, 60, 100, 0x81, 0x81, 0x81, 0x81, 0x01, 0x80, 60, 0};
    OpenMem vlq(smf::Cat({smf::Header(0, 1, 96), smf::Track(longVlq)}));
    EXPECT_EQ(ReadAll(vlq.file, 0).size(), 1u);

    // A sysex length beyond the file yields the bytes there are.
    Bytes sx = {0x00, 0xF0, 0x8F, 0xFF, 0xFF, 0x7F, 0x01, 0x02};
    OpenMem sysex(smf::Cat({smf::Header(0, 1, 96), smf::Track(sx, 100000000)}));
    EXPECT_EQ(ReadAll(sysex.file, 0).size(), 3u);
}

TEST(MidiBytes, MTrkInsideTrackDataIsNotAHeader) {
    // A sysex whose bytes spell "MTrk" followed by a length.
    Bytes t1 = {0x00, 0xF0, 0x09, 'M', 'T', 'r', 'k', 0, 0, 0, 0, 0xF7};
    t1.insert(t1.end(), smf::kEnd.begin(), smf::kEnd.end());
    Bytes t2 = {0x00, 0x92, 64, 1};
    t2.insert(t2.end(), smf::kEnd.begin(), smf::kEnd.end());
    OpenMem m(smf::Cat({smf::Header(1, 2, 96), smf::Track(t1), smf::Track(t2)}));
    ASSERT_EQ(m.tracks, 2);
    auto second = ReadAll(m.file, 1);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].status, 0x92);
}

TEST(MidiBytes, TrackCountsOtherThanTheHeaders) {
    Bytes t = smf::Track(smf::Cat({{0x00, 0x90, 60, 1}, smf::kEnd}));
    // A hostile count: only the track that exists gets a record.
    OpenMem many(smf::Cat({smf::Header(1, 65535, 96), t}));
    EXPECT_EQ(many.tracks, 1);
    EXPECT_EQ(many.file.TrackCountInHeader(), 65535);
    // More tracks than the header says: the header's count is read.
    OpenMem fewer(smf::Cat({smf::Header(1, 1, 96), t, t, t}));
    EXPECT_EQ(fewer.tracks, 1);
    // No track at all where one was promised, no header, a short or zero-byte file: refused.
    EXPECT_EQ(OpenMem(smf::Header(1, 1, 96)).result.GetCode(), formats::Code::Malformed);
    EXPECT_EQ(OpenMem(Bytes{}).result.GetCode(), formats::Code::NotRecognized);
    EXPECT_EQ(OpenMem(Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1}).result.GetCode(),
              formats::Code::Malformed);
    EXPECT_EQ(OpenMem(Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0}).result.GetCode(),
              formats::Code::NotRecognized);
    // A header found at the file's very end, with no room for its length.
    EXPECT_EQ(OpenMem(Bytes{0, 'M', 'T', 'h', 'd', 0, 0}).result.GetCode(),
              formats::Code::Malformed);
    // Reading a track that is not there is the end of a track.
    MidiRawEvent ev;
    EXPECT_EQ(many.file.ReadEvent(5, ev), 1);
    EXPECT_EQ(many.file.ReadEvent(-1, ev), 1);
}

TEST(MidiBytes, ChunkNameAcrossTwoBlocksIsFound) {
    std::string dir = smf::ScratchDir("straddle");
    // Junk after the header puts the "MTrk" name across the first 8192-byte boundary.
    Bytes head = smf::Header(0, 1, 96);
    Bytes file = head;
    file.resize(14 + 8192 - 2, 0x55);
    Bytes t = smf::Track(smf::Cat({{0x00, 0x90, 60, 1}, smf::kEnd}));
    file.insert(file.end(), t.begin(), t.end());
    smf::WriteFile(dir + "/a.mid", file);
    // The search runs from 14, so its first block ends in the middle of the name.
    MidiFile f;
    int format = -1;
    ASSERT_EQ(OpenTracks(f, dir + "/a.mid", 'r', format), 1);
    auto all = ReadAll(f, 0);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].data1, 60);
    EXPECT_TRUE(f.Close());
}

TEST(MidiBytes, MetaLookupResumesPerType) {
    Bytes body = {0x00, 0xFF, 0x03, 0x03, 'o', 'n', 'e', // name
                  0x00, 0x90, 60,   100,                 //
                  0x10, 0x3C, 0x00,                      // running status
                  0x00, 0xFF, 0x01, 0x01, 'x',           // text
                  0x00, 0xFF, 0x03, 0x03, 't', 'w', 'o'};
    body.insert(body.end(), smf::kEnd.begin(), smf::kEnd.end());
    OpenMem m(smf::Cat({smf::Header(0, 1, 96), smf::Track(body)}));
    MidiRawEvent ev;
    ASSERT_EQ(m.file.ReadEvent(0, ev), 0); // ReadEvent's place survives the lookups
    std::string text;
    EXPECT_EQ(m.file.LookupMeta(0, 3, text), 3);
    EXPECT_EQ(text, "one");
    EXPECT_EQ(m.file.LookupMeta(0, 1, text), 1);
    EXPECT_EQ(text, "x");
    EXPECT_EQ(m.file.LookupMeta(0, 3, text), 3);
    EXPECT_EQ(text, "two");
    EXPECT_EQ(m.file.LookupMeta(0, 3, text), -1);
    EXPECT_EQ(m.file.LookupMeta(0, 3, text), -1);
    EXPECT_EQ(m.file.LookupMeta(0, 0x7F, text), -1);
    EXPECT_EQ(m.file.LookupMeta(0, 200, text), -1);
    ASSERT_EQ(m.file.ReadEvent(0, ev), 0);
    EXPECT_TRUE(Is(ev, 0x10, 0x90, 60, 0));
    m.file.Rewind();
    EXPECT_EQ(m.file.LookupMeta(0, 3, text), 3);
    EXPECT_EQ(text, "one");
}

// Writing.

struct Chunk {
    std::string name;
    size_t dataStart;
    uint32_t length;
};

std::vector<Chunk> Chunks(const Bytes& b) {
    std::vector<Chunk> out;
    size_t at = 0;
    while (at + 8 <= b.size()) {
        Chunk c{std::string(b.begin() + long(at), b.begin() + long(at) + 4), at + 8,
                smf::ReadBe32(b, at + 4)};
        out.push_back(c);
        at = c.dataStart + c.length;
    }
    EXPECT_EQ(at, b.size()) << "chunks do not cover the file exactly";
    return out;
}

// Batches decode channel messages in place and leave everything else to ReadEvent; whatever the
// bytes and wherever the buffer's end falls, they must yield exactly the events ReadEvent does.
TEST(MidiBytes, BatchesReadWhatSingleEventsRead) {
    uint32_t seed = 7;
    auto rnd = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    auto delta = [&](Bytes& t) {
        uint32_t v = rnd() % 4 == 0 ? rnd() % 0x0FFFFFFF : rnd() % 200;
        Bytes q;
        MidiAppendVarLen(q, v);
        t.insert(t.end(), q.begin(), q.end());
    };
    Bytes messy{0x05, 0x40};                             // a data byte before any status
    messy.insert(messy.end(), {0x00, 0xF8, 0x00, 0x11}); // running status of a 0-byte status
    int dataBytes = 0;                                   // of the running status
    for (int i = 0; i < 12000; ++i) {
        delta(messy);
        switch (rnd() % 10) {
        case 0: // meta text, or a tempo of length 4
            if (rnd() % 2)
                messy.insert(messy.end(), {0xFF, 0x01, 0x03, 'a', 'b', 'c'});
            else
                messy.insert(messy.end(), {0xFF, 0x51, 0x04, 0x07, 0xA1, 0x20, 0x99});
            break;
        case 1: // a system-exclusive message
            messy.insert(messy.end(), {0xF0, 0x03, 0x43, 0x10, 0xF7});
            break;
        case 2: // a program change
            messy.insert(messy.end(), {uint8_t(0xC0 | rnd() % 16), uint8_t(rnd() % 128)});
            dataBytes = 1;
            break;
        case 3: // running status
            messy.push_back(uint8_t(rnd() % 128));
            if (dataBytes == 2) messy.push_back(uint8_t(rnd() % 128));
            break;
        default:
            uint8_t status = uint8_t(0x80 + rnd() % 0x40); // 8n to Bn
            messy.insert(messy.end(), {status, uint8_t(rnd() % 128), uint8_t(rnd() % 128)});
            dataBytes = 2;
        }
    }
    // Any byte anywhere, but nothing that ends the track early (a meta or system-exclusive
    // length): system statuses, long deltas and running status over them.
    Bytes noise;
    for (int i = 0; i < 60000; ++i) {
        uint8_t b = uint8_t(rnd() % 4 == 0 ? 0x80 | rnd() : rnd() % 0x80);
        if (b == 0xFF || b == 0xF0 || b == 0xF7) b = 0xF2;
        // Nor a quantity longer than four bytes.
        size_t n = noise.size();
        if (n >= 3 && (noise[n - 1] & noise[n - 2] & noise[n - 3] & 0x80)) b &= 0x7F;
        noise.push_back(b);
    }
    Bytes overlong{0x00, 0x90, 0x3C, 0x40, 0x81, 0x82, 0x83, 0x84, 0x05, 0x3C, 0x00};
    // A packet that ends early but claims more bytes than the track holds ends the track.
    Bytes cut{0x00, 0xF0, 0x7F, 0x01, 0xF7, 0x00, 0x90, 0x3C, 0x40, 0x00, 0x3D,
              0x40, 0x00, 0x3E, 0x40, 0x00, 0x3F, 0x40, 0x00, 0x40, 0x40};

    OpenMem m(smf::Cat({smf::Header(1, 4, 96), smf::Track(messy), smf::Track(noise),
                        smf::Track(overlong), smf::Track(cut)}));
    ASSERT_EQ(m.tracks, 4);
    ASSERT_GT(messy.size(), size_t(3 * MidiFile::kBufferSize));
    for (int k = 0; k < 4; ++k) {
        m.file.Rewind();
        std::vector<MidiRawEvent> single = ReadAll(m.file, k);
        ASSERT_GT(single.size(), k == 0 ? 5000u : k == 1 ? 1000u : 0u) << "track " << k;
        for (size_t batch : {size_t(1), size_t(5), size_t(8000)}) {
            m.file.Rewind();
            std::vector<MidiRawEvent> batched;
            std::vector<MidiRawEvent> buffer(batch);
            size_t got;
            do {
                got = m.file.ReadEvents(k, buffer.data(), batch);
                batched.insert(batched.end(), buffer.begin(), buffer.begin() + ptrdiff_t(got));
            } while (got == batch);
            ASSERT_EQ(batched.size(), single.size()) << "track " << k << " batch " << batch;
            for (size_t i = 0; i < single.size(); ++i)
                ASSERT_TRUE(Is(batched[i], single[i].delta, single[i].status, single[i].data1,
                               single[i].data2, single[i].data3))
                    << "track " << k << " batch " << batch << " event " << i;
            EXPECT_EQ(m.file.ReadEvents(k, buffer.data(), batch), 0u); // stays at the end
        }
    }
    // A lookup between batches leaves the batch reader's place alone.
    m.file.Rewind();
    MidiRawEvent some[3];
    ASSERT_EQ(m.file.ReadEvents(0, some, 3), 3u);
    std::string text;
    EXPECT_EQ(m.file.LookupMeta(0, 1, text), 3);
    MidiRawEvent next;
    ASSERT_EQ(m.file.ReadEvents(0, &next, 1), 1u);
    m.file.Rewind();
    std::vector<MidiRawEvent> all = ReadAll(m.file, 0);
    EXPECT_TRUE(Is(next, all[3].delta, all[3].status, all[3].data1, all[3].data2, all[3].data3));
}

TEST(MidiWriter, TracksHeadersAndRunningStatus) {
    std::string dir = smf::ScratchDir("writer");
    std::string path = dir + "/w.mid";
    MidiFile f;
    int format = 0;
    ASSERT_TRUE(f.Open(path, 'w', format));
    f.SetDivision(96);
    ASSERT_TRUE(f.WriteMeta(0, 3, "lead"));
    EXPECT_EQ(f.WriteEvent({0, 0x00, 0x0F, 0x42, 0x40}), 7);
    EXPECT_EQ(f.WriteEvent({0, 0x90, 60, 100}), 4);
    EXPECT_EQ(f.WriteEvent({10, 0x90, 60, 0}), 3);     // running status
    EXPECT_EQ(f.WriteEvent({0, 0x90, 0xC0, 0xFF}), 3); // data bytes kept to 7 bits
    EXPECT_EQ(f.WriteEvent({5, 0x05, 1, 2}), 0);       // no status: left out, time carried
    EXPECT_EQ(f.WriteEvent({5, 0xF8, 0, 0}), 0);       // a system message: left out
    EXPECT_EQ(f.WriteEvent({0, 0xF0, 0xF7, 0}), 0);    // an end without a start
    EXPECT_EQ(f.WriteEvent({1, 0x80, 60, 0}), 4);      // delta 11
    f.BeginTrack(1);
    EXPECT_EQ(f.WriteEvent({0, 0xF0, 0xF0, 0}), 2);
    EXPECT_EQ(f.WriteEvent({0, 0xF0, 0x43, 0}), 0);
    EXPECT_EQ(f.WriteEvent({0, 0xF0, 0x10, 0}), 0);
    EXPECT_EQ(f.WriteEvent({0, 0xF0, 0xF7, 0}), 4);
    EXPECT_EQ(f.WriteEvent({0x0FFFFFFFu + 5, 0xB0, 7, 64}), 4 + 3 + 4);
    EXPECT_TRUE(f.Close());

    Bytes b = smf::ReadFile(path);
    auto chunks = Chunks(b);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].name, "MThd");
    EXPECT_EQ(chunks[0].length, 6u);
    EXPECT_EQ(smf::ReadBe16(b, 8), 1);  // a second track makes it format 1
    EXPECT_EQ(smf::ReadBe16(b, 10), 2); // tracks
    EXPECT_EQ(smf::ReadBe16(b, 12), 96);
    for (size_t i = 1; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].name, "MTrk");
        size_t end = chunks[i].dataStart + chunks[i].length;
        EXPECT_EQ(Bytes(b.begin() + long(end) - 3, b.begin() + long(end)),
                  (Bytes{0xFF, 0x2F, 0x00}));
    }
    Bytes first(b.begin() + long(chunks[1].dataStart),
                b.begin() + long(chunks[1].dataStart + chunks[1].length));
    EXPECT_EQ(first, (Bytes{0x00, 0xFF, 0x03, 0x04, 'l',  'e',  'a', 'd',  0x00, 0xFF, 0x51,
                            0x03, 0x0F, 0x42, 0x40, 0x00, 0x90, 60,  100,  10,   60,   0,
                            0,    0x40, 0x7F, 11,   0x80, 60,   0,   0x00, 0xFF, 0x2F, 0x00}));
    Bytes second(b.begin() + long(chunks[2].dataStart),
                 b.begin() + long(chunks[2].dataStart + chunks[2].length));
    EXPECT_EQ(second, (Bytes{0x00, 0xF0, 0x03, 0x43, 0x10, 0xF7,                      // sysex
                             0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x01, 0x00, 0x05, 0xB0, 7, // bridged
                             64,   0x00, 0xFF, 0x2F, 0x00}));

    // The written file reads back to the same events.
    MidiFile r;
    ASSERT_EQ(OpenTracks(r, path, 'r', format), 2);
    auto back = ReadAll(r, 1);
    ASSERT_EQ(back.size(), 5u);
    EXPECT_TRUE(Is(back[3], 0, 0xF0, 0xF7, 0));
    EXPECT_TRUE(Is(back[4], 0x0FFFFFFFu + 5, 0xB0, 7, 64));
}

TEST(MidiWriter, OneTrackIsFormatZeroAndDivisionIsHeld) {
    std::string dir = smf::ScratchDir("format0");
    std::string path = dir + "/z.mid";
    MidiFile f;
    int format = 0;
    ASSERT_TRUE(f.Open(path, 'w', format));
    f.SetDivision(40000);
    EXPECT_EQ(f.Division(), 32767);
    f.SetDivision(0);
    EXPECT_EQ(f.Division(), 1);
    f.WriteEvent({0, 0x90, 1, 1});
    ASSERT_TRUE(f.Close());
    Bytes b = smf::ReadFile(path);
    EXPECT_EQ(smf::ReadBe16(b, 8), 0);
    EXPECT_EQ(smf::ReadBe16(b, 10), 1);
    EXPECT_EQ(smf::ReadBe16(b, 12), 1);
    EXPECT_EQ(Chunks(b).size(), 2u);
}

TEST(MidiWriter, FailedWritesLeaveTheTargetAlone) {
    std::string dir = smf::ScratchDir("failed");
    platform::ScopedRecordingMessages messages;
    MidiFile f;
    int format = 1;
    EXPECT_EQ(f.Open(dir + "/no/such/dir/x.mid", 'w', format).GetCode(), formats::Code::CannotOpen);
    EXPECT_FALSE(f.IsOpen());

    // The target keeps its old bytes until the state closes, and when it is abandoned.
    std::string path = dir + "/keep.mid";
    smf::WriteFile(path, Bytes{1, 2, 3});
    {
        MidiFile w;
        ASSERT_TRUE(w.Open(path, 'w', format));
        w.WriteEvent({0, 0x90, 1, 1});
        EXPECT_EQ(smf::ReadFile(path), (Bytes{1, 2, 3}));
    }
    EXPECT_EQ(smf::ReadFile(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);

    MidiFile r;
    const formats::Result missing = r.Open(dir + "/missing.mid", 'r', format);
    EXPECT_EQ(missing.GetCode(), formats::Code::CannotOpen);
    EXPECT_NE(missing.Message().find("missing.mid"), std::string::npos) << missing.Message();

    // An open state whose file is gone cannot be opened again; the failure says so.
    smf::WriteFile(dir + "/gone.mid", smf::Cat({smf::Header(0, 1, 96), smf::Track(smf::kEnd)}));
    ASSERT_TRUE(r.Open(dir + "/gone.mid", 'r', format));
    std::filesystem::remove(dir + "/gone.mid");
    EXPECT_EQ(r.Open("ignored when reopening", 'r', format).GetCode(), formats::Code::CannotReopen);
    EXPECT_FALSE(r.IsOpen());
    // The byte layer shows nothing itself.
    EXPECT_TRUE(messages.Shown().empty());
}

TEST(MidiWriter, WriteMetaLengthsByType) {
    std::string dir = smf::ScratchDir("meta");
    MidiFile f;
    int format = 0;
    ASSERT_TRUE(f.Open(dir + "/m.mid", 'w', format));
    EXPECT_EQ(f.WriteMeta(0, 0x58, "\x04\x02\x18").GetCode(), formats::Code::Refused); // < 4
    EXPECT_TRUE(f.WriteMeta(0, 0x58, std::string("\x04\x02\x18\x08", 4)));
    EXPECT_TRUE(f.WriteMeta(0, 0x2F, "")); // the end is written when the track completes
    const Bytes& w = f.Written();
    Bytes tail(w.end() - 8, w.end());
    EXPECT_EQ(tail, (Bytes{0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08}));
    EXPECT_TRUE(f.Close());
}

} // namespace
