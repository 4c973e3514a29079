// The virtual keyboard: its key and mouse mappings, octave and velocity, the pitch wheel, and its
// messages sent at once, recorded while recording and played through an armed tree; loopback
// MIDI ports and the manual timer, no hardware.
#include "documents/event_list_document.h"
#include "documents/tree_document.h"
#include "editing/virtual_keyboard.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "song/song_document.h"
#include "tests/song/loopback_devices.h"
#include "tree/proto_type.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <memory>

using editing::VirtualKeyboard;

namespace {

// The short messages the default loopback port received.
std::vector<uint32_t> Sent() {
    return dsync::Loopback().Output(0).ShortMessages();
}

uint32_t Msg(uint8_t status, uint8_t d1, uint8_t d2) {
    return uint32_t(status) | uint32_t(d1) << 8 | uint32_t(d2) << 16;
}

// A list whose one note, four beats in, gives the song a length.
std::shared_ptr<CSELDoc> Later() {
    auto doc = std::make_shared<CSELDoc>();
    doc->OnNewDocument();
    doc->SetUnitsPerBeat(1000);
    doc->GetEvents().Add(new EventMidi(4000, 0x90, 40, 90, 100));
    return doc;
}

struct Rig {
    CPlayEngine engine;
    playtest::LoopbackDevices dev{engine.Window()};
    VirtualKeyboard kb{&engine};
    Rig() {
        engine.SetDevices(&dev);
        dsync::Loopback().Output(0).Clear();
    }
};

} // namespace

TEST(VirtualKeyboard, KeysPlayTheirNotesWithTheOctaveAndVelocity) {
    Rig rig;
    ASSERT_TRUE(rig.dev.opened);
    VirtualKeyboard& kb = rig.kb;
    EXPECT_EQ(VirtualKeyboard::KeyNumberOfKey('h'), 60);
    EXPECT_EQ(VirtualKeyboard::KeyNumberOfKey('Q'), 51);
    EXPECT_EQ(VirtualKeyboard::KeyNumberOfKey(']'), 70);
    EXPECT_EQ(VirtualKeyboard::KeyNumberOfKey('\''), 69);
    EXPECT_EQ(VirtualKeyboard::KeyNumberOfKey('W'), -1);
    EXPECT_EQ(kb.Velocity(), 90);

    kb.SetOctave(1);
    ASSERT_TRUE(kb.KeyDown('H', false));
    EXPECT_FALSE(kb.KeyDown('H', true));  // auto-repeat
    EXPECT_FALSE(kb.KeyDown('h', false)); // still down
    kb.SetOctave(-1);                     // the held note still ends
    ASSERT_TRUE(kb.KeyUp('h'));
    EXPECT_FALSE(kb.KeyUp('h'));
    kb.SetVelocity(0); // held to 1: a note-on of velocity 0 would be a note-off
    ASSERT_TRUE(kb.KeyDown('h', false));
    ASSERT_TRUE(kb.KeyUp('H'));
    EXPECT_FALSE(kb.KeyDown('z', false));
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{Msg(0x90, 72, 90), Msg(0x80, 72, 0), Msg(0x90, 48, 1),
                                             Msg(0x80, 48, 0)}));

    kb.SetSend(false);
    ASSERT_TRUE(kb.KeyDown('a', false));
    ASSERT_TRUE(kb.KeyUp('a'));
    EXPECT_EQ(Sent().size(), 4u);
    EXPECT_EQ(kb.MessagesPlayed(), 6u);
}

TEST(VirtualKeyboard, TheMouseHoldsOneKeyAtATime) {
    Rig rig;
    VirtualKeyboard& kb = rig.kb;
    const int left = kb.LeftEdge();
    EXPECT_EQ(left, 112);
    EXPECT_EQ(kb.KeyAt(left + 105, 40), 60);
    EXPECT_EQ(kb.KeyAt(left, 40), 52);
    EXPECT_EQ(kb.KeyAt(left + 220, 40), 69);
    EXPECT_EQ(kb.KeyAt(left - 1, 40), -1);
    EXPECT_EQ(kb.KeyAt(left + 221, 10), -1);
    EXPECT_EQ(kb.KeyAt(left + 7 * 5, 27), 54); // the black key over the joint of 53 and 55
    EXPECT_EQ(kb.KeyAt(left + 7 * 31, 0), 69);
    kb.SetDialogBaseUnitWidth(8);
    EXPECT_EQ(kb.LeftEdge(), 84);
    const int l = kb.LeftEdge();

    kb.MouseDown(l + 105, 40);
    EXPECT_EQ(kb.HeldKey(), 60);
    kb.MouseMove(l + 110, 40); // the same key
    kb.MouseMove(l + 130, 40); // 62
    kb.MouseMove(l + 300, 40); // off the keyboard: the note ends
    EXPECT_FALSE(kb.HeldKey().has_value());
    kb.MouseMove(l + 0, 40); // back on with the button down
    kb.MouseUp(l + 0, 40);
    kb.MouseMove(l + 105, 40); // the button is up: nothing
    kb.DoubleClick(l + 21, 40);
    kb.MouseUp(l + 21, 40);
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{Msg(0x90, 60, 90), Msg(0x80, 60, 0), Msg(0x90, 62, 90),
                                             Msg(0x80, 62, 0), Msg(0x90, 52, 90), Msg(0x80, 52, 0),
                                             Msg(0x90, 53, 90), Msg(0x80, 53, 0)}));
}

TEST(VirtualKeyboard, ThePitchWheelBendsAndTunesBackToTheCentre) {
    Rig rig;
    VirtualKeyboard& kb = rig.kb;
    EXPECT_EQ(kb.WheelPosition(), 8192);
    EXPECT_EQ(VirtualKeyboard::BendValue(8192), 8192);
    EXPECT_EQ(VirtualKeyboard::BendValue(0), 16383);
    EXPECT_EQ(VirtualKeyboard::BendValue(16384), 0);
    kb.SetWheel(0); // the top
    kb.SetWheel(20000);
    EXPECT_EQ(kb.WheelPosition(), 16384);
    kb.Tune();
    EXPECT_EQ(kb.WheelPosition(), 8192);
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{Msg(0xE0, 0x7F, 0x7F), Msg(0xE0, 0, 0),
                                             Msg(0xE0, 0x00, 0x40)}));
}

// While a song records, the keyboard's notes are recorded at the clock's time and merged into
// the armed entry with their durations; while it does not play, they are only sent.
TEST(VirtualKeyboard, NotesAreRecordedWhileRecording) {
    platform::ScopedRecordingMessages messages;
    Rig rig;
    auto target = std::make_shared<CSELDoc>();
    target->OnNewDocument();
    target->SetUnitsPerBeat(1000);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(target);
    song.IncludeDocument(Later());
    song.ToggleArm(0);
    rig.engine.SetSong(&song);
    ASSERT_TRUE(rig.engine.SetTempoBpm(600)); // ten ticks a period

    ASSERT_TRUE(rig.kb.KeyDown('k', false)); // not playing: sent, not recorded
    ASSERT_TRUE(rig.kb.KeyUp('k'));
    EXPECT_EQ(rig.engine.RecordStore().GetCount(), 0);

    ASSERT_TRUE(rig.engine.Record());
    rig.dev.Run(30);
    ASSERT_TRUE(rig.kb.KeyDown('j', false));
    rig.dev.Run(20);
    ASSERT_TRUE(rig.kb.KeyUp('j'));
    EXPECT_EQ(rig.engine.RecordStore().GetCount(), 2);
    rig.engine.Record(); // ends recording
    CEventTree& got = target->GetEvents();
    ASSERT_EQ(got.GetCount(), 1);
    SongEvent* note = got.First();
    EXPECT_EQ(got.CurrentTime(), 300u);
    EXPECT_EQ(note->GetData1(), 62);
    EXPECT_EQ(note->GetData2(), 90);
    EXPECT_EQ(note->GetDuration(), 200u);
    EXPECT_TRUE(messages.Shown().empty());
}

// A tree armed for live play answers the keyboard even when the keyboard sends nothing itself.
TEST(VirtualKeyboard, ArmedTreesHearTheKeyboard) {
    platform::ScopedRecordingMessages messages;
    Rig rig;
    auto tree = std::make_shared<CDendraDoc>();
    tree->OnNewDocument();
    ProtoType* note = ReplaceWith(tree->GetRoot().childOne, "MidiNote");
    ASSERT_NE(note, nullptr);
    note->AlignTimes(0);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(tree);
    song.IncludeDocument(Later());
    song.ToggleArm(0);
    ASSERT_EQ(song.Entry(0).recordMode, kRecordTree);
    song.Settings(0).muted = 1;
    rig.engine.SetSong(&song);
    ASSERT_TRUE(rig.engine.SetTempoBpm(600));
    rig.kb.SetSend(false);
    ASSERT_TRUE(rig.engine.Play());
    rig.dev.Run(10);
    const size_t before = Sent().size();
    ASSERT_TRUE(rig.kb.KeyDown('l', false));
    rig.dev.Run(5);
    std::vector<uint32_t> after = Sent();
    int noteOns = 0;
    for (size_t i = before; i < after.size(); ++i)
        if ((after[i] & 0xF0) == 0x90 && (after[i] >> 16 & 0x7F) > 0) ++noteOns;
    EXPECT_EQ(noteOns, 1) << "the tree's answer";
    rig.engine.Stop();
}
