#include "events/event_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Each event carries an id in data1 so the order of equal times can be seen.
EventMidi* Note(uint32_t t, uint8_t id, uint32_t dur = 0) {
    return new EventMidi(t, 0x90, id, 100, dur);
}

std::vector<int> Ids(const CNoteEventList& list) {
    std::vector<int> ids;
    for (SongEvent* e = list.head; e; e = e->next) ids.push_back(e->GetData1());
    return ids;
}

TEST(NoteEventList, InsertionOrderOfEqualTimes) {
    CNoteEventList list;
    list.Add(Note(10, 1));
    list.Add(Note(20, 2));
    list.Add(Note(20, 3));       // after the event of equal time
    list.Add(Note(10, 4));       // the head's time is not below 10: goes first
    list.Add(Note(15, 5));       // between
    list.Insert(Note(0, 6), 30); // by the given time, not the event's
    list.Add(Note(5, 7));
    EXPECT_EQ(Ids(list), (std::vector<int>{7, 4, 1, 5, 2, 3, 6}));
    EXPECT_EQ(list.Count(), 7);
    EXPECT_EQ(list.FirstTime(), 5u);
}

TEST(NoteEventList, CursorAndFindAfter) {
    CNoteEventList list;
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.CurrentTime(), kNoTime);
    EXPECT_EQ(list.FirstTime(), kNoTime);
    list.Add(Note(10, 1));
    EXPECT_EQ(list.FindAfter(0), nullptr); // the head is never returned
    list.Add(Note(20, 2));
    list.Add(Note(30, 3));
    EXPECT_EQ(list.FindAfter(0)->GetData1(), 2);
    EXPECT_EQ(list.FindAfter(21)->GetData1(), 3);
    EXPECT_EQ(list.FindAfter(31), nullptr);
    EXPECT_EQ(list.First()->time, 10u);
    EXPECT_EQ(list.Next()->time, 20u);
    list.Next();
    EXPECT_EQ(list.Next(), nullptr);
    EXPECT_EQ(list.CurrentTime(), kNoTime);
    EXPECT_EQ(list.Next(), nullptr);
}

TEST(NoteEventList, RemovalEdgeCases) {
    CNoteEventList list;
    EXPECT_EQ(list.RemoveHead(), 0);
    EXPECT_EQ(list.PopHead(), nullptr);
    EventMidi* a = Note(1, 1);
    EventMidi* b = Note(2, 2);
    EventMidi* c = Note(3, 3);
    list.Add(a);
    list.Add(b);
    list.Add(c);
    EXPECT_EQ(list.RemoveHead(), 1);
    EXPECT_EQ(Ids(list), (std::vector<int>{2, 3}));
    EXPECT_EQ(list.cursor, b);

    EventMidi stranger(2, 0x90, 9, 1);
    list.Remove(&stranger); // not in the list: left alone
    list.Unlink(&stranger);
    EXPECT_EQ(list.Count(), 2);

    list.Remove(c); // the last event
    EXPECT_EQ(Ids(list), (std::vector<int>{2}));
    list.Unlink(b); // the caller takes it
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(b->next, nullptr);
    list.Add(b);
    SongEvent* popped = list.PopHead();
    EXPECT_EQ(popped, b);
    EXPECT_EQ(list.cursor, nullptr);
    delete popped;
}

TEST(NoteEventList, NoteOffsAndCopies) {
    CNoteEventList list;
    EventMidi on(100, 0x93, 60, 90, 50);
    list.AddNoteOff(on);
    list.AddNoteOffAt(on, 1000);
    auto* off = static_cast<EventMidi*>(list.head);
    EXPECT_EQ(off->time, 150u);
    EXPECT_EQ(off->status, 0x83);
    EXPECT_EQ(off->data1, 60);
    EXPECT_EQ(off->data2, 0);
    EXPECT_EQ(off->duration, 0u);
    EXPECT_EQ(off->next->time, 1050u);

    EventValue v(2.5f, 7);
    list.AddCopyAt(v, 120);
    list.AddMidiCopyAt(on, 130);
    EXPECT_EQ(list.head->GetValue(), 2.5);
    EXPECT_TRUE(list.FindAfter(0)->IsEqual(EventMidi(130, 0x93, 60, 90, 50)));

    list.now = 5;
    list.next = 77;
    list.offset = -3;
    CNoteEventList copy(list);
    EXPECT_EQ(copy.now, 5u);
    EXPECT_EQ(copy.next, 77u);
    EXPECT_EQ(copy.offset, -3);
    ASSERT_EQ(copy.Count(), 4);
    EXPECT_NE(copy.head, list.head);
    EXPECT_TRUE(copy.head->IsEqual(*list.head));

    copy.ShiftAll(-100);
    EXPECT_EQ(copy.FirstTime(), 20u);
    copy.SetChannelAll(0x1F); // masked: channel 15
    EXPECT_EQ(copy.head->next->GetChannel(), 15);
    EXPECT_EQ(copy.head->next->GetKind(), 9);
    EXPECT_EQ(copy.head->GetChannel(), 0); // a value event has no channel
    copy.Clear();
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(copy.offset, 0);
}

TEST(NoteEventList, WaveCopiesOwnOrReferToTheSound) {
    EventWave wave;
    wave.SetName("list-test.wav");
    wave.flags = kWavePlaybackCopy;
    CNoteEventList list;
    list.AddCopyAt(wave, 10);
    list.AddWaveRef(wave, 20);
    auto* copy = static_cast<EventWave*>(list.head);
    auto* ref = static_cast<EventWave*>(list.head->next);
    EXPECT_EQ(copy->flags, kWavePlaybackCopy | kWaveOwnsSound);
    EXPECT_EQ(ref->flags, kWaveReference | kWavePlaybackCopy);
    EXPECT_EQ(ref->Name(), "list-test.wav");
    EXPECT_EQ(ref->time, 20u);
}

TEST(NoteEventList, MoveAllFrom) {
    CNoteEventList a, b;
    a.Add(Note(10, 1));
    a.Add(Note(30, 2));
    b.Add(Note(20, 3));
    b.Add(Note(30, 4));
    a.next = 500;
    b.next = 40;
    a.MoveAllFromWithNext(b);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(Ids(a), (std::vector<int>{1, 3, 2, 4}));
    EXPECT_EQ(a.next, 40u);
    a.MoveAllFrom(a); // moving a list into itself changes nothing
    EXPECT_EQ(a.Count(), 4);
}

} // namespace
