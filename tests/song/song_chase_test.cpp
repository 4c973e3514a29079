// The chase: the waves still sounding at a start tick, and the channel state kept per output.
#include "song/song_chase.h"

#include "tests/song/song_helpers.h"
#include "tests/sync/waveio_util.h"

#include <gtest/gtest.h>

using namespace songtest;

namespace {

// A wave event over the sound at a time, with a duration of its own (0: none).
EventWave* WaveAt(const EventWave& sound, uint32_t time, uint32_t duration, bool loop = false) {
    auto* w = static_cast<EventWave*>(sound.Clone());
    w->flags = kWaveReference;
    w->time = time;
    w->duration = duration;
    w->info.loop = loop ? 1 : 0;
    return w;
}

SongChase Chase(CSongDoc& song, uint32_t start, uint32_t tempo, bool followTempo = true) {
    ChaseRequest request;
    request.startTick = start;
    request.tempo = tempo;
    request.followTempo = followTempo;
    request.route = [](int, std::vector<int>& ports) { ports.push_back(0); };
    return ChaseSong(song, request);
}

// The offsets at which the chased waves resume.
std::vector<int32_t> Offsets(const SongChase& chase) {
    std::vector<int32_t> v;
    for (const ChasedWave& c : chase.waves) v.push_back(c.wave->startOffset);
    return v;
}

} // namespace

// A wave lasts as long as a duration of its own, else to the end of its data, or for ever when it
// loops; where it resumes follows the tempo changes before the start and the entry's rate.
TEST(SongChase, WavesStillSoundingResumeWhereTheWholeSongWouldBe) {
    constexpr int32_t kPerSecond = 88200; // stereo 16-bit at 22050
    TestWave sound("chase.wav", 2, 22050, 22050 * 10);
    CSongDoc song;
    song.OnNewDocument();
    // Ten seconds of sound, heard for four beats; one over before beat 8.
    song.IncludeDocument(List(1000, {Note(0, 60)}, "a"));
    auto list = List(1000, {}, "waves");
    list->GetEvents().Add(WaveAt(sound.wave, 6000, 4000));
    list->GetEvents().Add(WaveAt(sound.wave, 1000, 2000));
    song.IncludeDocument(list);
    song.Settings(1).waveVolume = 0.5f;
    song.Prepare();

    // Beat 8 at 60 per minute: two seconds in.
    SongChase chase = Chase(song, 8000, 1000000);
    ASSERT_EQ(chase.waves.size(), 1u);
    EXPECT_EQ(chase.waves[0].entry, 1);
    EXPECT_EQ(chase.waves[0].time, 6000u);
    EXPECT_EQ(chase.waves[0].wave->time, 8000u);
    EXPECT_EQ(chase.waves[0].wave->startOffset, 2 * kPerSecond);
    EXPECT_FLOAT_EQ(chase.waves[0].wave->info.volume, 0.5f);
    EXPECT_NE(chase.waves[0].wave->flags & kWaveReference, 0u);
    EXPECT_EQ(chase.tempo, 0u);
    // At 120 per minute two beats are one second; at beat 10 its duration is over.
    EXPECT_EQ(Offsets(Chase(song, 8000, 500000)), std::vector<int32_t>{kPerSecond});
    EXPECT_TRUE(Chase(song, 10000, 1000000).waves.empty());

    // A tempo event at beat 7: one second at 60, then half a second at 120; not followed, two
    // seconds.
    list->GetEvents().Add(new EventMidi(7000, 0x00, 0x07, 0xA1, 0, 0x20)); // 500000 µs
    song.Prepare();
    chase = Chase(song, 8000, 1000000);
    EXPECT_EQ(chase.tempo, 500000u);
    EXPECT_EQ(Offsets(chase), std::vector<int32_t>{kPerSecond * 3 / 2});
    chase = Chase(song, 8000, 1000000, false);
    EXPECT_EQ(chase.tempo, 0u);
    EXPECT_EQ(Offsets(chase), std::vector<int32_t>{2 * kPerSecond});

    // At rate 2 the entry runs twice as fast and so does the sound: the wave begins at beat 3 and
    // the tempo changes at beat 3.5, so at beat 4 it has played half a second at 60 and a quarter
    // at 120, a second and a half of its data.
    song.SetEntryRate(1, 2.0f);
    song.Prepare();
    chase = Chase(song, 4000, 1000000);
    ASSERT_EQ(chase.waves.size(), 1u);
    EXPECT_EQ(chase.waves[0].time, 3000u);
    EXPECT_EQ(chase.waves[0].wave->startOffset, kPerSecond * 3 / 2);
    EXPECT_TRUE(Chase(song, 5000, 1000000).waves.empty());
}

TEST(SongChase, WithoutADurationASoundEndsWithItsDataUnlessItLoops) {
    constexpr int32_t kPerSecond = 88200;
    TestWave sound("chase3.wav", 2, 22050, 22050 * 3); // three seconds
    CSongDoc song;
    song.OnNewDocument();
    auto list = List(1000, {}, "waves");
    list->GetEvents().Add(WaveAt(sound.wave, 1000, 0));
    list->GetEvents().Add(WaveAt(sound.wave, 2000, 0, true));
    song.IncludeDocument(list);
    song.Prepare();
    SongChase chase = Chase(song, 3500, 1000000);
    ASSERT_EQ(chase.waves.size(), 2u);
    EXPECT_EQ(Offsets(chase), (std::vector<int32_t>{kPerSecond * 5 / 2, kPerSecond * 3 / 2}));
    // At beat 5.5 the first has ended and the looping one is half a second into its second pass.
    chase = Chase(song, 5500, 1000000);
    ASSERT_EQ(chase.waves.size(), 1u);
    EXPECT_EQ(chase.waves[0].time, 2000u);
    EXPECT_EQ(chase.waves[0].wave->startOffset, kPerSecond / 2);
}

// Each output keeps its own state: an entry's controllers reach the outputs its device routes to,
// those of device 101 every output, those of device 100 none.
TEST(SongChase, ChannelStateIsKeptForEachOutput) {
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {new EventMidi(100, 0xB0, 7, 10)}, "first"));
    song.IncludeDocument(List(1000, {new EventMidi(200, 0xB0, 7, 20)}, "second"));
    song.IncludeDocument(List(1000, {new EventMidi(300, 0xB0, 10, 30)}, "all"));
    song.IncludeDocument(List(1000, {new EventMidi(400, 0xB0, 11, 40)}, "none"));
    song.Settings(0).device = 5;
    song.Settings(2).device = kDeviceAllMidi;
    song.Settings(3).device = kDeviceNone;
    song.Prepare();
    ChaseRequest request;
    request.startTick = 1000;
    request.ports = 2;
    request.route = [](int device, std::vector<int>& ports) {
        if (device == 5) ports.push_back(1);
        if (device == kDeviceDefault) ports.push_back(0);
        if (device == kDeviceAllMidi) ports.insert(ports.end(), {0, 1});
    };
    SongChase chase = ChaseSong(song, request);
    ASSERT_EQ(chase.messages.size(), 2u);
    const uint32_t level10 = 0xB0 | 7u << 8 | 10u << 16, level20 = 0xB0 | 7u << 8 | 20u << 16;
    const uint32_t pan = 0xB0 | 10u << 8 | 30u << 16;
    EXPECT_EQ(chase.messages[0], (std::vector<uint32_t>{level20, pan}));
    EXPECT_EQ(chase.messages[1], (std::vector<uint32_t>{level10, pan}));
    // Nothing before the start: nothing to set up.
    request.startTick = 50;
    chase = ChaseSong(song, request);
    EXPECT_TRUE(chase.messages[0].empty());
    EXPECT_TRUE(chase.messages[1].empty());
}
