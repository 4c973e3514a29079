// Play and the offline renderer run the same engine: what a song sends through Play on the manual
// timer and what its render sends are the same, from its start and from a later beat.
#include "platform/message_queue.h"
#include "platform/user_messages.h"
#include "song/offline_render.h"
#include "song/play_engine.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/wave_out.h"
#include "tests/song/loopback_devices.h"
#include "tests/song/song_helpers.h"
#include "tests/sync/waveio_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using namespace songtest;

namespace {

// A message and the tick it went out at.
using Sent = std::pair<uint32_t, uint32_t>;
// A wave event the wave output took: its time, its sound and where in it it starts.
using Taken = std::tuple<uint32_t, const WaveSound*, int32_t>;

// What the loopback port received, less the all-notes-off messages of stops and closes (the song
// sends none; Play and the render close their ports at different moments).
std::vector<Sent> Received(const dsync::LoopbackOutputState& port) {
    std::vector<Sent> out;
    for (size_t i = 0; i < port.Count(); ++i) {
        const uint32_t m = port.Record(i).message;
        if ((m & 0xF0) == 0xB0 && ((m >> 8) & 0x7F) == 123) continue;
        out.emplace_back(m, port.Record(i).at.tick);
    }
    return out;
}

// An offline wave output that notes what it takes.
class NotingWaveOut : public CWaveOut {
public:
    NotingWaveOut(dsync::mixer::AudioMixer& mixer, dsync::mixer::OfflineSink* sink)
        : CWaveOut(mixer, sink) {}
    int AddEvent(EventWave* wave) override {
        const int took = CWaveOut::AddEvent(wave);
        if (took) taken.emplace_back(wave->time, wave->sound, wave->startOffset);
        return took;
    }
    std::vector<Taken> taken;
};

uint32_t Cc(uint8_t channel, uint8_t number, uint8_t value) {
    return uint32_t(0xB0 | channel) | uint32_t(number) << 8 | uint32_t(value) << 16;
}

EventMidi* Message(uint32_t t, uint8_t status, uint8_t d1, uint8_t d2 = 0) {
    return new EventMidi(t, status, d1, d2);
}

EventWave* WaveAt(const EventWave& sound, uint32_t time) {
    auto* w = static_cast<EventWave*>(sound.Clone());
    w->flags = kWaveReference;
    w->time = time;
    return w;
}

// Through Play: every message the port received and every wave the output took.
void PlayFrom(CSongDoc& song, uint32_t beat, std::vector<Sent>& midi, std::vector<Taken>& waves) {
    CPlayEngine engine;
    playtest::LoopbackDevices dev(engine.Window(), {.reserve = 20000});
    ASSERT_TRUE(dev.opened);
    dsync::mixer::AudioMixer mixer(44100);
    dsync::mixer::OfflineSink sink(mixer, 44100);
    NotingWaveOut wave(mixer, &sink);
    ASSERT_EQ(wave.OpenWaveOut(engine.Window(), &dev.clock, nullptr), 1u);
    dev.waveOut = &wave;
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    ASSERT_TRUE(engine.SetTempoBpm(60));
    dsync::Loopback().Output(0).Clear();
    engine.SetCurrentBeat(beat);
    ASSERT_TRUE(engine.Play());
    for (int i = 0; i < 100000 && engine.IsPlaying(); ++i) dev.Run(1);
    EXPECT_FALSE(engine.IsPlaying()); // ended at the song's end
    EXPECT_EQ(engine.LateEvents(), 0u);
    midi = Received(dsync::Loopback().Output(0));
    waves = wave.taken;
    wave.Close();
}

} // namespace

// A song of several entries (one looping, transposed, with bank and program, controllers, a
// registered parameter, bend and pressure; one at 480 units per beat with a start offset and a
// transpose; one with tempo events and two sounds; one muted), through Play to a loopback port
// and through the renderer to the same port: the same messages at the same ticks and the same
// wave events, from the start and from beat 6, where the render and Play set up the same state.
TEST(PlayEngine, PlayAndRenderAgree) {
    if (dsync::GmSynth::FindSoundFont("").empty()) GTEST_SKIP() << "no soundfont installed";
    platform::ScopedRecordingMessages messages;
    dsync::EnableLoopbackDevices(true);
    dsync::RefreshMidiDevices();
    const uint32_t port = playtest::PortNumber(dsync::MidiOutputDevices(), "Loopback Out 0");
    ASSERT_NE(port, 0xFFFFFFF0u);
    TestWave sound("agree.wav", 2, 22050, 22050 * 3); // three seconds

    CSongDoc song;
    song.OnNewDocument();
    std::vector<EventMidi*> lead = {Message(0, 0xB0, 0, 1),      Message(10, 0xC0, 40),
                                    Message(20, 0xB0, 7, 100),   Message(30, 0xB0, 101, 0),
                                    Message(31, 0xB0, 100, 0),   Message(32, 0xB0, 6, 2),
                                    Message(33, 0xB0, 38, 0),    Message(1200, 0xE0, 0, 80),
                                    Message(2500, 0xB0, 10, 20), Message(2600, 0xD0, 70)};
    for (uint32_t t = 0; t < 4000; t += 500)
        lead.push_back(Note(t, uint8_t(60 + t / 500), 100, 400));
    song.IncludeDocument(List(1000, lead, "lead"));
    song.Settings(0).loop = 1;
    song.Settings(0).loopLength = 4000;
    song.Settings(0).transpose = 5;
    song.Settings(0).program = 3;
    song.Settings(0).volume = 0.8f;
    std::vector<EventMidi*> bass = {Message(700, 0xB1, 1, 64)};
    for (uint32_t t = 0; t < 480 * 6; t += 480) bass.push_back(Note(t, 40, 90, 300, 1));
    song.IncludeDocument(List(480, bass, "bass"));
    song.Settings(1).startOffset = 1500;
    song.Settings(1).transpose = -3;
    song.Settings(1).channel = 1;
    auto timeline = List(1000,
                         {new EventMidi(2000, 0x00, 0x07, 0xA1, 0, 0x20),  // 120 per minute
                          new EventMidi(5000, 0x00, 0x09, 0x27, 0, 0xC0)}, // 100 per minute
                         "timeline");
    timeline->GetEvents().Add(WaveAt(sound.wave, 4000));
    timeline->GetEvents().Add(WaveAt(sound.wave, 7000));
    song.IncludeDocument(timeline);
    song.IncludeDocument(List(1000, {Note(100, 90, 100, 100, 2)}, "muted"));
    song.Settings(3).muted = 1;
    song.Prepare();
    const uint32_t length = song.GetLength(1);
    ASSERT_GE(length, 9u);

    const std::string out =
        (std::filesystem::path(::testing::TempDir()) / "play-render-agree.wav").string();
    for (uint32_t beat : {0u, 6u}) {
        std::vector<Sent> played, rendered;
        std::vector<Taken> playedWaves, renderedWaves;
        PlayFrom(song, beat, played, playedWaves);

        dsync::Loopback().Output(0).Clear();
        RenderOptions options;
        options.midiDevice = port;
        options.fromBeat = beat;
        options.toBeat = length; // where Play ends: the looping entry never runs out
        options.waveTaken = [&](const EventWave& w) {
            renderedWaves.emplace_back(w.time, w.sound, w.startOffset);
        };
        RenderResult result;
        std::string error;
        ASSERT_TRUE(RenderSong(song, out, options, &result, &error)) << error;
        rendered = Received(dsync::Loopback().Output(0));
        EXPECT_EQ(result.lateEvents, 0u);

        EXPECT_EQ(played, rendered) << "from beat " << beat;
        EXPECT_EQ(playedWaves, renderedWaves) << "from beat " << beat;
        ASSERT_GT(rendered.size(), result.setupEvents);
        // The setup goes out at the start, before the song, and strikes no note.
        for (size_t i = 0; i < result.setupEvents; ++i) {
            EXPECT_EQ(rendered[i].second, beat * 1000) << i;
            EXPECT_NE(rendered[i].first & 0xF0, 0x90u) << i;
        }
        // Nothing of the muted entry; the loop and the transposes are heard.
        for (const Sent& s : rendered) EXPECT_NE(s.first & 0xFF, 0x92u) << std::hex << s.first;
        auto has = [&](uint32_t message, uint32_t tick) {
            return std::find(rendered.begin(), rendered.end(), Sent{message, tick}) !=
                   rendered.end();
        };
        EXPECT_TRUE(has(0x90 | 65u << 8 | 80u << 16, 8000));        // the loop's third pass, at 0.8
        EXPECT_TRUE(has(0x91 | 37u << 8 | 81u << 16, 1500 + 5000)); // 480 units a beat, at 0.9
        const std::vector<Taken> waves =
            beat == 0
                ? std::vector<Taken>{{4000, sound.wave.sound, 0}, {7000, sound.wave.sound, 0}}
                // Half a second at 120 and 0.6 s at 100 per minute: 1.1 s in.
                : std::vector<Taken>{{6000, sound.wave.sound, 97020}, {7000, sound.wave.sound, 0}};
        EXPECT_EQ(renderedWaves, waves) << "from beat " << beat;
        if (beat == 6) {
            // The state the earlier events left: bank, program, level, the parameter, bend,
            // pressure and modulation, all at the start.
            EXPECT_TRUE(has(Cc(0, 0, 1), 6000));
            EXPECT_TRUE(has(0xC0 | 40u << 8, 6000));
            EXPECT_TRUE(has(Cc(0, 7, 100), 6000));
            EXPECT_TRUE(has(Cc(0, 6, 2), 6000));
            EXPECT_TRUE(has(0xE0 | 80u << 16, 6000));
            EXPECT_TRUE(has(0xD0 | 70u << 8, 6000));
            EXPECT_TRUE(has(Cc(1, 1, 64), 6000));
            EXPECT_EQ(result.chasedWaves, 1u);
        }
    }
    EXPECT_TRUE(messages.Shown().empty());
    std::filesystem::remove(out);
}
