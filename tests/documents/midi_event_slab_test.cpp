#include "documents/midi_document.h"
#include "documents/midi_event_slab.h"

#include "tests/common/smf_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr size_t kSlotsPerSlab = (MidiEventSlabs::kSlabBytes - 64) / 32;

std::vector<EventMidi*> Make(MidiEventSlabs& slabs, size_t n) {
    std::vector<EventMidi*> events;
    for (size_t i = 0; i < n; ++i)
        events.push_back(slabs.New(uint32_t(i), uint8_t(0x90 | (i % 16)), uint8_t(i % 128),
                                   uint8_t(1 + i % 100), uint32_t(i * 3), uint8_t(i % 7)));
    return events;
}

TEST(MidiEventSlabs, EventsOutliveTheirMakerAndTheLastOneFreesTheSlab) {
    const size_t base = MidiEventSlabs::SlabsAlive();
    std::vector<EventMidi*> events;
    {
        MidiEventSlabs slabs;
        events = Make(slabs, 2 * kSlotsPerSlab + 10);
    }
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base + 3);
    for (size_t i = 0; i < events.size(); ++i) {
        const EventMidi& e = *events[i];
        ASSERT_EQ(e.time, uint32_t(i));
        ASSERT_EQ(e.status, 0x90 | (i % 16));
        ASSERT_EQ(e.data1, i % 128);
        ASSERT_EQ(e.data2, 1 + i % 100);
        ASSERT_EQ(e.data3, i % 7);
        ASSERT_EQ(e.GetDuration(), uint32_t(i * 3));
        ASSERT_TRUE(e.IsNoteOn() && e.IsMidi());
    }
    // A copy is an ordinary event of its own.
    SongEvent* copy = events[5]->Clone();
    events[5]->SetDuration(77);
    EXPECT_EQ(events[5]->GetDuration(), 77u);

    std::shuffle(events.begin(), events.end(), std::mt19937(3));
    SongEvent* last = events.back();
    events.pop_back();
    for (EventMidi* e : events) DeleteSongEvent(e);
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base + 1); // held by the one event left
    DeleteSongEvent(last);
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base);

    EXPECT_EQ(copy->GetDuration(), 15u);
    EXPECT_EQ(copy->GetData1(), 5);
    delete copy;
}

TEST(MidiEventSlabs, LargeLoadsUseRegionsUnmappedWithTheirLastSlab) {
    const size_t slabs0 = MidiEventSlabs::SlabsAlive();
    const size_t regions0 = MidiEventSlabs::RegionsAlive();
    const size_t perRegion = MidiEventSlabs::kRegionBytes / MidiEventSlabs::kSlabBytes;
    std::vector<EventMidi*> events;
    {
        MidiEventSlabs slabs;
        events = Make(slabs, (MidiEventSlabs::kHeapSlabs + perRegion + 1) * kSlotsPerSlab);
        EXPECT_EQ(MidiEventSlabs::RegionsAlive(), regions0 + 2);
    }
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), slabs0 + MidiEventSlabs::kHeapSlabs + perRegion + 1);
    // Events in regions are as good as any: written, read and freed in any order.
    for (size_t i = 0; i < events.size(); ++i) ASSERT_EQ(events[i]->time, uint32_t(i));
    std::shuffle(events.begin(), events.end(), std::mt19937(5));
    for (EventMidi* e : events) delete e;
    EXPECT_EQ(MidiEventSlabs::RegionsAlive(), regions0);
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), slabs0);
}

TEST(MidiEventSlabs, EventsOfOneSlabAreFreedFromSeveralThreads) {
    const size_t base = MidiEventSlabs::SlabsAlive();
    std::vector<EventMidi*> events;
    {
        MidiEventSlabs slabs;
        events = Make(slabs, (MidiEventSlabs::kHeapSlabs + 8) * kSlotsPerSlab);
    }
    // Neighbours go to different threads, so every slab is released by both.
    auto freeEvery = [&events](size_t first) {
        for (size_t i = first; i < events.size(); i += 2) DeleteSongEvent(events[i]);
    };
    std::thread a(freeEvery, 0);
    std::thread b(freeEvery, 1);
    a.join();
    b.join();
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base);
}

TEST(MidiEventSlabs, ClosingADocumentFreesItsSlabsButNotAnEventTakenFromIt) {
    smf::Bytes track;
    for (int i = 0; i < 5000; ++i) track.insert(track.end(), {0x00, 0x90, 60, 100, 0x10, 60, 0});
    track.insert(track.end(), smf::kEnd.begin(), smf::kEnd.end());
    const std::string path = smf::ScratchDir("slab") + "/notes.mid";
    smf::WriteFile(path, smf::Cat({smf::Header(1, 2, 96), smf::Track(track), smf::Track(track)}));

    const size_t base = MidiEventSlabs::SlabsAlive();
    CMidiDoc closed;
    ASSERT_TRUE(closed.OnOpenDocument(path));
    EXPECT_GT(MidiEventSlabs::SlabsAlive(), base);
    closed.OnCloseDocument();
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base);

    auto doc = std::make_unique<CMidiDoc>();
    ASSERT_TRUE(doc->OnOpenDocument(path));
    CEventTree* store = doc->GetChannelEvents(2);
    ASSERT_EQ(store->GetCount(), 5000);
    SongEvent* kept = store->First();
    for (int i = 0; i < 1234; ++i) kept = store->Next();
    ASSERT_EQ(store->Unlink(kept), 1);
    doc.reset();
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base + 1);
    EXPECT_EQ(kept->time, 1234u * 16);
    EXPECT_EQ(kept->GetDuration(), 16u);
    EXPECT_EQ(kept->GetData1(), 60);
    DeleteSongEvent(kept);
    EXPECT_EQ(MidiEventSlabs::SlabsAlive(), base);
}

} // namespace
