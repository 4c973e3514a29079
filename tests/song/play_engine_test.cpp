// The play engine on the manual timer with loopback MIDI outputs.
#include "app/device_config.h"
#include "app/settings.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/midi_out.h"
#include "sync/sync.h"
#include "tests/song/loopback_devices.h"
#include "tests/song/song_helpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <unistd.h>

using namespace songtest;

namespace {

// Two loopback outputs (the first is the default) on a clock driven by hand.
struct Devices : playtest::LoopbackDevices {
    explicit Devices(platform::Window window)
        : LoopbackDevices(window, {.outputs = 2, .reserve = 200000}) {}
};

// Note-ons minus note-offs per channel and key, from what a port received.
std::map<int, int> Balance(const dsync::LoopbackOutputState& rec) {
    std::map<int, int> open;
    for (uint32_t m : rec.ShortMessages()) {
        const uint32_t kind = m & 0xF0, key = (m >> 8) & 0x7F, vel = (m >> 16) & 0x7F;
        const int id = int((m & 0x0F) << 8 | key);
        if (kind == 0x90 && vel > 0) ++open[id];
        if (kind == 0x80 || (kind == 0x90 && vel == 0)) open[id] = std::max(0, open[id] - 1);
    }
    for (auto it = open.begin(); it != open.end();)
        it = it->second == 0 ? open.erase(it) : std::next(it);
    return open;
}

size_t NoteOns(const dsync::LoopbackOutputState& rec, std::vector<uint32_t>* ticks = nullptr) {
    size_t n = 0;
    for (size_t i = 0; i < rec.Count(); ++i) {
        const uint32_t m = rec.Record(i).message;
        if ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) > 0) {
            ++n;
            if (ticks) ticks->push_back(rec.Record(i).at.tick);
        }
    }
    return n;
}

} // namespace

// Far more events than a ring holds play through refills, none late, each on its tick, and only
// on the entry's port although it is full again and again.
TEST(PlayEngine, ManyEventsPlayOnTimeThroughRefillsOnTheirOwnPort) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    std::vector<EventMidi*> notes;
    constexpr uint32_t kNotes = 20000;
    for (uint32_t i = 0; i < kNotes; ++i) notes.push_back(Note(i * 2, uint8_t(40 + i % 40), 90, 1));
    CSongDoc song;
    song.OnNewDocument();
    ASSERT_EQ(song.IncludeDocument(List(1000, notes)), 1);
    song.Settings(0).device = int32_t(dev.number[1]);
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    ASSERT_TRUE(engine.SetTempoBpm(960)); // 62.5 ms a beat: 32 ticks per 1 ms period
    dsync::Loopback().Output(0).Clear();
    dsync::Loopback().Output(1).Clear();
    ASSERT_TRUE(engine.Play());
    uint64_t periods = 0;
    while (engine.IsPlaying() && periods < 10000) {
        dev.Run(1);
        ++periods;
    }
    EXPECT_FALSE(engine.IsPlaying()); // the beat handler ended it at the song's end
    EXPECT_EQ(engine.EventsSent(), kNotes);
    EXPECT_EQ(engine.LateEvents(), 0u);
    EXPECT_GT(engine.Fills(), kNotes / 64);
    std::vector<uint32_t> ticks;
    EXPECT_EQ(NoteOns(dsync::Loopback().Output(1), &ticks), kNotes);
    ASSERT_EQ(ticks.size(), size_t(kNotes));
    for (uint32_t i = 0; i < kNotes; ++i) ASSERT_EQ(ticks[i], i * 2) << i;
    EXPECT_EQ(NoteOns(dsync::Loopback().Output(0)), 0u);
    EXPECT_TRUE(Balance(dsync::Loopback().Output(1)).empty());
}

// Stop in the middle ends every sounding note; a device that is not open falls back to the
// default output, for the entry's settings as for its events; tempo limits.
TEST(PlayEngine, StopLeavesNoNoteSoundingAndClosedDevicesUseTheDefault) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    std::vector<EventMidi*> notes;
    for (uint32_t i = 0; i < 64; ++i)
        notes.push_back(Note(i * 250, uint8_t(60 + i % 12), 90, 2000));
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, notes));
    song.Settings(0).device = 57; // no such device: the default output
    song.Settings(0).program = 12;
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    ASSERT_TRUE(engine.SetTempoBpm(240));
    EXPECT_FALSE(engine.SetTempoBpm(29.9));
    EXPECT_FALSE(engine.SetTempoBpm(961));
    EXPECT_NEAR(engine.TempoBpm(), 240.0, 0.01);
    dsync::Loopback().Output(0).Clear();
    ASSERT_TRUE(engine.Play());
    const auto setup = dsync::Loopback().Output(0).ShortMessages();
    EXPECT_NE(std::find(setup.begin(), setup.end(), 0xC0u | 12u << 8), setup.end());
    dev.Run(1000); // four beats: several long notes sound
    EXPECT_FALSE(Balance(dsync::Loopback().Output(0)).empty());
    engine.Stop();
    EXPECT_FALSE(engine.IsPlaying());
    EXPECT_TRUE(Balance(dsync::Loopback().Output(0)).empty());
    for (uint8_t key = 0; key < 128; ++key) EXPECT_FALSE(dev.outs[0].Sounding(key, 0));
    // Nothing is left to come after the stop.
    const size_t count = dsync::Loopback().Output(0).Count();
    dev.Run(3000);
    EXPECT_EQ(dsync::Loopback().Output(0).Count(), count);
}

// The entries' controllers go out on the sixteen MIDI channels only, however many entries.
TEST(PlayEngine, EntryControllersStayOnTheSixteenChannels) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    CSongDoc song;
    song.OnNewDocument();
    for (int i = 0; i < 20; ++i)
        song.IncludeDocument(List(1000, {Note(0, 60)}, "e" + std::to_string(i)));
    ASSERT_EQ(song.EntryCount(), 20);
    song.Settings(3).volume = 0.5f;
    song.Settings(3).channel = 9;
    song.Settings(3).program = 33;
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    dsync::Loopback().Output(0).Clear();
    engine.SendEntryControllers();
    auto sent = dsync::Loopback().Output(0).ShortMessages();
    ASSERT_FALSE(sent.empty());
    for (uint32_t m : sent) {
        const uint32_t kind = m & 0xF0;
        EXPECT_TRUE(kind == 0xB0 || kind == 0xC0) << std::hex << m;
    }
    const uint32_t level = 0xB9 | 7u << 8 | 63u << 16; // 0.5 × 127.9
    const uint32_t program = 0xC9 | 33u << 8;
    EXPECT_NE(std::find(sent.begin(), sent.end(), level), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), program), sent.end());
}

// A looping song: the fill stops at the loop end and goes on after the beat handler has moved the
// time offset, so the second pass follows the first exactly one loop later.
TEST(PlayEngine, LoopingFillStopsAtTheLoopEndAndGoesOnAfterTheBeat) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {Note(0, 60, 90, 100), Note(1500, 62, 90, 100)}));
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    // A prepared song keeps the loop end it was given (the first Play of an unprepared song
    // widens it to the song's length).
    song.Prepare();
    engine.SetLooping(true);
    engine.SetLoopStart(0);
    engine.SetLoopEnd(2);
    ASSERT_TRUE(engine.SetTempoBpm(600)); // 100 ms a beat
    dsync::Loopback().Output(0).Clear();
    ASSERT_TRUE(engine.Play());
    EXPECT_EQ(engine.EventsSent(), 2u); // not past the loop end
    dev.Run(650);                       // three passes and a half
    EXPECT_TRUE(engine.IsPlaying());
    std::vector<uint32_t> ticks;
    NoteOns(dsync::Loopback().Output(0), &ticks);
    const std::vector<uint32_t> expected = {0, 1500, 2000, 3500, 4000, 5500, 6000};
    EXPECT_EQ(ticks, expected);
    EXPECT_EQ(engine.LateEvents(), 0u);
    engine.Stop();
    EXPECT_TRUE(Balance(dsync::Loopback().Output(0)).empty());
}

// Through the device configuration: a song's device number from another machine's table plays on
// the default output, and device 101 on every open MIDI output.
TEST(PlayEngine, PlaysThroughTheDeviceConfiguration) {
    platform::ScopedRecordingMessages messages;
    dsync::EnableLoopbackDevices(true);
    dsync::RefreshMidiDevices();
    const auto path = std::filesystem::temp_directory_path() /
                      ("dendra-play-devices-" + std::to_string(::getpid()) + ".conf");
    std::filesystem::remove(path);
    {
        app::CSettings settings(path.string());
        settings.WriteProfileString(app::kSectionDevices, "MIDI OUT 1", "Loopback Out 2");
        settings.WriteProfileString(app::kSectionDevices, "MIDI OUT 2", "Loopback Out 3");
        settings.WriteProfileString(app::kSectionDevices, "MIDI IN 1", "NONE");
        CPlayEngine engine;
        platform::ManualTimer timer;
        app::DeviceOptions options;
        options.window = engine.Window();
        options.timer = &timer;
        options.timerPeriod = 1;
        options.waveEnabled = false;
        app::CDeviceConfig config(settings);
        ASSERT_TRUE(config.OpenDevices(options));
        ASSERT_EQ(config.OpenMidiOuts().size(), 2u);
        ConfiguredPlayDevices devices(config);
        CSongDoc song;
        song.OnNewDocument();
        song.IncludeDocument(List(1000, {Note(0, 60, 90, 100)}, "a"));
        song.IncludeDocument(List(1000, {Note(500, 64, 90, 100)}, "b"));
        song.Settings(0).device = 17; // not in this table
        song.Settings(1).device = kDeviceAllMidi;
        engine.SetDevices(&devices);
        engine.SetSong(&song);
        ASSERT_TRUE(engine.SetTempoBpm(600));
        for (int p = 2; p < 4; ++p) {
            dsync::Loopback().Output(p).Reserve(1000);
            dsync::Loopback().Output(p).Clear();
        }
        ASSERT_TRUE(engine.Play());
        for (int i = 0; i < 2000 && engine.IsPlaying(); ++i) {
            timer.Advance(1);
            platform::Queue().Drain();
        }
        EXPECT_FALSE(engine.IsPlaying());
        ASSERT_NE(config.DefaultMidiOut(), nullptr);
        const int def = config.DefaultMidiOut()->device ==
                                playtest::PortNumber(dsync::MidiOutputDevices(), "Loopback Out 2")
                            ? 2
                            : 3;
        std::vector<uint32_t> onDefault, onOther;
        NoteOns(dsync::Loopback().Output(def), &onDefault);
        NoteOns(dsync::Loopback().Output(5 - def), &onOther);
        EXPECT_EQ(onDefault, (std::vector<uint32_t>{0, 500}));
        EXPECT_EQ(onOther, (std::vector<uint32_t>{500}));
        config.CloseDevices(false);
    }
    std::filesystem::remove(path);
    platform::Queue().Drain();
}
