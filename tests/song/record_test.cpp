// Recording, live input and the chase of the play engine: loopback MIDI ports, the manual timer, a
// generated capture source and an offline wave output.
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "events/event_tree.h"
#include "platform/message_queue.h"
#include "platform/temp_names.h"
#include "platform/timer.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/sync.h"
#include "sync/wave_in.h"
#include "sync/wave_out.h"
#include "tests/common/test_util.h"
#include "tests/song/loopback_devices.h"
#include "tests/song/song_helpers.h"
#include "tests/sync/waveio_util.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

using namespace songtest;

namespace {

// Sounds recorded into go to temporary files: keep them in a folder of the test's own.
class ScopedTempFolder {
public:
    ScopedTempFolder() { platform::SetTempFolder(dir_.Path().string()); }
    ~ScopedTempFolder() {
        platform::DeleteTempFiles();
        platform::SetTempFolder("");
    }
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

private:
    testutil::TempDir dir_{"dendra-record"};
};

// A loopback output (the default), a loopback input and a clock driven by hand; a wave output
// and a wave input when a test adds them.
struct Devices : playtest::LoopbackDevices {
    explicit Devices(platform::Window window) : LoopbackDevices(window, {.input = true}) {}
};

// A song of a note at the start of each pass and an event list armed to record into, looping
// over two beats at 600 beats per minute; returns the armed list.
std::shared_ptr<CSELDoc> LoopTwoBeatsIntoArmedList(CPlayEngine& engine, Devices& dev,
                                                   CSongDoc& song) {
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {Note(0, 60)}, "plays"));
    auto target = List(1000, {}, "target");
    song.IncludeDocument(target);
    song.ToggleArm(1);
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    song.Prepare();
    engine.SetLooping(true);
    engine.SetLoopStart(0);
    engine.SetLoopEnd(2);
    EXPECT_TRUE(engine.SetTempoBpm(600));
    return target;
}

// (time, status, key, duration) of every event of a store, in order.
using Ev = std::tuple<uint32_t, int, int, uint32_t>;
std::vector<Ev> Events(CEventTree& store) {
    std::vector<Ev> v;
    for (SongEvent* e = store.First(); e; e = store.Next()) {
        auto* m = static_cast<EventMidi*>(e);
        v.emplace_back(store.CurrentTime(), m->status, m->data1, m->duration);
    }
    return v;
}

// Keys of the note-ons a port received, with their ticks.
std::vector<std::pair<uint32_t, int>> NoteOns(const dsync::LoopbackOutputState& rec) {
    std::vector<std::pair<uint32_t, int>> v;
    for (size_t i = 0; i < rec.Count(); ++i) {
        const uint32_t m = rec.Record(i).message;
        if ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) > 0)
            v.emplace_back(rec.Record(i).at.tick, int((m >> 8) & 0x7F));
    }
    return v;
}

bool Sounds(const dsync::LoopbackOutputState& rec) {
    int open = 0;
    for (uint32_t m : rec.ShortMessages()) {
        if ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) > 0) ++open;
        if ((m & 0xF0) == 0x80 || ((m & 0xF0) == 0x90 && ((m >> 16) & 0x7F) == 0))
            open = std::max(0, open - 1);
        if ((m & 0xF0) == 0xB0 && ((m >> 8) & 0x7F) == 123) open = 0; // all notes off
    }
    return open > 0;
}

} // namespace

// The first entry armed for MIDI takes the recording, with its channel and the durations of the
// notes (a key still held at the end ends there); armed entries are silent while recording; input
// that arrived before recording is not recorded.
TEST(Record, MergesIntoTheFirstArmedEntryAndArmedEntriesAreSilent) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {Note(0, 60), Note(1000, 61)}, "plays"));
    auto target = List(1000, {Note(500, 72)}, "target");
    auto second = List(1000, {}, "second");
    song.IncludeDocument(target);
    song.IncludeDocument(second);
    song.ToggleArm(1);
    song.ToggleArm(2);
    song.Settings(1).channel = 5;
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    ASSERT_TRUE(engine.SetTempoBpm(600)); // ten ticks a period

    // Played before recording: read and passed over.
    ASSERT_EQ(dev.in.Start(), 0);
    ASSERT_TRUE(dev.Key(0x90, 50, 90));
    EXPECT_EQ(engine.MidiInputs(), 1u);
    dev.in.Stop();
    EXPECT_EQ(engine.RecordStore().GetCount(), 0);

    dsync::Loopback().Output(0).Clear();
    ASSERT_TRUE(engine.Record());
    EXPECT_TRUE(engine.IsRecording());
    EXPECT_TRUE(engine.IsPlaying());
    EXPECT_FALSE(engine.IsRecordingAudio());
    dev.Run(30);
    ASSERT_TRUE(dev.Key(0x90, 64, 100));
    dev.Run(40);
    ASSERT_TRUE(dev.Key(0x90, 64, 0)); // a note-on of velocity 0 ends the note
    dev.Run(20);
    ASSERT_TRUE(dev.Key(0x92, 67, 80)); // held to the end
    ASSERT_TRUE(dev.Key(0xF8, 0, 0));   // a MIDI clock is not recorded
    dev.Run(20);
    EXPECT_EQ(engine.RecordStore().GetCount(), 3);
    const auto heard = NoteOns(dsync::Loopback().Output(0));
    EXPECT_EQ(heard, (std::vector<std::pair<uint32_t, int>>{{0, 60}, {1000, 61}}));

    engine.Record(); // a second Record ends recording
    EXPECT_FALSE(engine.IsRecording());
    EXPECT_FALSE(engine.IsPlaying());
    EXPECT_EQ(engine.RecordStore().GetCount(), 0);
    const std::vector<Ev> want = {{300, 0x95, 64, 400}, {500, 0x90, 72, 100}, {900, 0x95, 67, 200}};
    EXPECT_EQ(Events(target->GetEvents()), want);
    EXPECT_TRUE(target->IsModified());
    EXPECT_EQ(second->GetEvents().GetCount(), 0);
    EXPECT_TRUE(messages.Shown().empty());
    EXPECT_FALSE(Sounds(dsync::Loopback().Output(0)));
    // The input is stopped with the rest.
    EXPECT_FALSE(dsync::Loopback().FeedShort(0, 0x90 | 60 << 8 | 1 << 16));

    // The merged entry plays once recording is over, on its channel.
    dsync::Loopback().Output(0).Clear();
    song.ToggleArm(1);
    engine.SetCurrentBeat(0);
    ASSERT_TRUE(engine.Play());
    dev.Run(120);
    engine.Stop();
    const auto played = NoteOns(dsync::Loopback().Output(0));
    EXPECT_NE(std::find(played.begin(), played.end(), std::make_pair(300u, 64)), played.end());
    EXPECT_NE(std::find(played.begin(), played.end(), std::make_pair(900u, 67)), played.end());
}

// Looping while recording: each pass's input is merged at the loop end and recording goes on; a
// key held over the loop end is split into the end of one pass and the start of the next.
TEST(Record, RecordedMidiIsKeptAcrossLoopPasses) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    CSongDoc song;
    auto target = LoopTwoBeatsIntoArmedList(engine, dev, song);
    dsync::Loopback().Output(0).Clear();
    ASSERT_TRUE(engine.Record());
    dev.Run(50);
    dev.Key(0x90, 64, 100);
    dev.Run(20);
    dev.Key(0x80, 64, 0);
    dev.Run(100);
    dev.Key(0x90, 67, 100); // at 1700, released in the next pass
    dev.Run(100);           // the loop end passed at 2000
    EXPECT_TRUE(engine.IsRecording());
    EXPECT_EQ(engine.CurrentBeat(), 0u);
    // The first pass is in the song already.
    EXPECT_EQ(Events(target->GetEvents()),
              (std::vector<Ev>{{500, 0x90, 64, 200}, {1700, 0x90, 67, 300}}));
    dev.Key(0x80, 67, 0); // 700 in the second pass
    dev.Run(50);
    dev.Key(0x90, 65, 90);
    dev.Run(10);
    dev.Key(0x80, 65, 0);
    engine.EndRecord();
    EXPECT_EQ(Events(target->GetEvents()), (std::vector<Ev>{{0, 0x90, 67, 700},
                                                            {500, 0x90, 64, 200},
                                                            {1200, 0x90, 65, 100},
                                                            {1700, 0x90, 67, 300}}));
    // The playing entry went on in both passes.
    const auto heard = NoteOns(dsync::Loopback().Output(0));
    EXPECT_EQ(heard, (std::vector<std::pair<uint32_t, int>>{{0, 60}, {2000, 60}}));
    EXPECT_TRUE(messages.Shown().empty());
}

// A key played just before the loop end and released just after it, both read before the beat
// handler began the next pass: the note ends at the loop end and sounds on from the loop start
// until its release.
TEST(Record, InputAroundTheLoopEndFallsIntoItsOwnPass) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    CSongDoc song;
    auto target = LoopTwoBeatsIntoArmedList(engine, dev, song);
    ASSERT_TRUE(engine.Record());
    dev.Run(199); // tick 1990
    // Fed without draining: the input's message, the beat and the input's message again wait in
    // that order, and the first read takes both keys.
    ASSERT_TRUE(dsync::Loopback().FeedShort(0, 0x90 | 70 << 8 | 100 << 16));
    dev.timer.Advance(2); // tick 2010: the loop end has passed
    ASSERT_TRUE(dsync::Loopback().FeedShort(0, 0x80 | 70 << 8));
    platform::Queue().Drain();
    EXPECT_EQ(engine.CurrentBeat(), 0u);
    EXPECT_EQ(Events(target->GetEvents()), (std::vector<Ev>{{1990, 0x90, 70, 10}}));
    dev.Run(10);
    engine.EndRecord();
    EXPECT_EQ(Events(target->GetEvents()),
              (std::vector<Ev>{{0, 0x90, 70, 10}, {1990, 0x90, 70, 10}}));
}

// With no entry armed for MIDI the recording is kept, the user is told once, and a later
// recording with an armed entry merges both takes.
TEST(Record, WithoutAnArmedEntryNothingRecordedIsLost) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {Note(0, 60)}, "plays"));
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    ASSERT_TRUE(engine.SetTempoBpm(600));
    ASSERT_TRUE(engine.Record());
    dev.Run(10);
    dev.Key(0x90, 64, 100);
    dev.Run(10);
    dev.Key(0x80, 64, 0);
    engine.Stop(); // Stop ends recording too
    EXPECT_FALSE(engine.IsRecording());
    ASSERT_EQ(messages.Shown().size(), 1u);
    EXPECT_EQ(messages.Shown()[0], CPlayEngine::kNoRecordTargetMessage);
    EXPECT_EQ(engine.RecordStore().GetCount(), 2);

    auto target = List(1000, {}, "target");
    song.IncludeDocument(target);
    song.ToggleArm(1);
    engine.SetCurrentBeat(1);
    ASSERT_TRUE(engine.Record());
    dev.Run(30);
    dev.Key(0x90, 65, 100);
    dev.Run(10);
    dev.Key(0x80, 65, 0);
    engine.EndRecord();
    EXPECT_EQ(Events(target->GetEvents()),
              (std::vector<Ev>{{100, 0x90, 64, 100}, {1300, 0x90, 65, 100}}));
    EXPECT_EQ(engine.RecordStore().GetCount(), 0);
    EXPECT_EQ(messages.Shown().size(), 1u);
}

// Input reaches a tree armed for live play and its answer is heard on the default output at
// once; nothing is recorded when not recording; Stop leaves nothing sounding.
TEST(Record, LiveInputThroughAnArmedTreeReachesTheOutput) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    auto tree = std::make_shared<CDendraDoc>();
    tree->OnNewDocument();
    ProtoType* note = ReplaceWith(tree->GetRoot().childOne, "MidiNote");
    ASSERT_NE(note, nullptr);
    note->AlignTimes(0);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {Note(0, 60), Note(4000, 60)}, "plays"));
    song.IncludeDocument(tree);
    song.ToggleArm(1);
    ASSERT_EQ(song.Entry(1).recordMode, kRecordTree);
    song.Settings(1).muted = 1; // only what the input gives is heard from the tree
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    ASSERT_TRUE(engine.SetTempoBpm(600));
    dsync::Loopback().Output(0).Clear();
    ASSERT_TRUE(engine.Play()); // starts the input for the armed tree
    dev.Run(25);
    ASSERT_TRUE(dev.Key(0x90, 64, 100));
    dev.Run(5);
    const auto heard = NoteOns(dsync::Loopback().Output(0));
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], std::make_pair(0u, 60));
    EXPECT_GE(heard[1].first, 250u); // sent at once
    EXPECT_LE(heard[1].first, 260u);
    EXPECT_EQ(engine.MidiInputs(), 1u);
    EXPECT_EQ(engine.RecordStore().GetCount(), 0);
    engine.Stop();
    EXPECT_FALSE(Sounds(dsync::Loopback().Output(0)));
}

// Audio recorded from the wave input goes into the sound of the entry armed for audio, which
// then begins at the beat recording began.
TEST(Record, AudioIsAppendedToTheArmedWaveEntry) {
    ScopedTempFolder temp;
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    class Counting : public dsync::mixer::AudioSource {
    public:
        void Render(float* l, float* r, uint32_t frames, uint64_t pos) override {
            for (uint32_t i = 0; i < frames; ++i) {
                l[i] = float(TestSample(uint32_t(pos + i), 0)) / 32768.0f;
                r[i] = float(TestSample(uint32_t(pos + i), 1)) / 32768.0f;
            }
        }
    } source;
    CWaveIn waveIn;
    waveIn.formatCode = 0x800; // 44.1 kHz stereo 16-bit: the generator's rate
    ASSERT_EQ(waveIn.CreateGenerated(engine.Window(), source, 44100, false), 1u);
    dev.waveIn = &waveIn;

    auto wave = std::make_shared<CWaveDoc>();
    ASSERT_TRUE(wave->OnNewDocument());
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(List(1000, {Note(0, 60), Note(6000, 60)}, "plays"));
    song.IncludeDocument(wave);
    song.ToggleArm(1);
    ASSERT_EQ(song.Entry(1).recordMode, kRecordWave);
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    engine.SetCurrentBeat(2);
    ASSERT_TRUE(engine.Record());
    ASSERT_TRUE(engine.IsRecordingAudio());
    EXPECT_EQ(song.Settings(1).startOffset, 2000u);
    const uint32_t segment = waveIn.segmentBytes;
    for (uint32_t k = 1; k <= 3; ++k) {
        waveIn.PumpGenerated(segment / 4);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (engine.RecordedAudioBytes() < uint64_t(k) * segment &&
               std::chrono::steady_clock::now() < until) {
            platform::Queue().Wait(5);
            platform::Queue().Drain();
        }
        ASSERT_EQ(engine.RecordedAudioBytes(), uint64_t(k) * segment);
        // The level shown is the block's own.
        uint8_t first[128];
        for (uint32_t n = 0; n < 32; ++n)
            for (int c = 0; c < 2; ++c) {
                const uint16_t v = uint16_t(TestSample((k - 1) * segment / 4 + n, c));
                first[n * 4 + uint32_t(c) * 2] = uint8_t(v);
                first[n * 4 + uint32_t(c) * 2 + 1] = uint8_t(v >> 8);
            }
        EXPECT_EQ(engine.InputLevel(), int(dsync::CaptureLevel(first, 128, nullptr, 0, 16)));
    }
    engine.EndRecord();
    EXPECT_FALSE(engine.IsRecordingAudio());
    sound::WaveData* data = wave->Data();
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->DataLength(), 3 * segment);
    EXPECT_EQ(data->Format().nChannels, 2);
    EXPECT_EQ(data->Format().nSamplesPerSec, 44100u);
    std::vector<uint8_t> bytes(3 * segment);
    ASSERT_EQ(data->ReadAt(0, bytes.data(), 3 * segment), 3 * segment);
    for (uint32_t i = 0; i < 3 * segment; i += 4) {
        ASSERT_EQ(int16_t(uint16_t(bytes[i] | bytes[i + 1] << 8)), TestSample(i / 4, 0)) << i;
        ASSERT_EQ(int16_t(uint16_t(bytes[i + 2] | bytes[i + 3] << 8)), TestSample(i / 4, 1));
    }
    EXPECT_TRUE(wave->IsModified());

    // A block that comes while not recording is completed and not appended.
    ASSERT_EQ(waveIn.Start(), 0);
    waveIn.PumpGenerated(segment / 4);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
        platform::Queue().Wait(5);
        platform::Queue().Drain();
    }
    waveIn.Stop();
    EXPECT_EQ(data->DataLength(), 3 * segment);
    waveIn.Close();
}

// Play from beat 8 of a song whose wave starts at beat 6 and lasts 4 beats: the wave starts at
// once, two beats into its data; from beat 0 it waits for its time; from beat 11 it is over.
TEST(Record, PlayFromALaterBeatChasesTheSoundingWave) {
    platform::ScopedRecordingMessages messages;
    CPlayEngine engine;
    Devices dev(engine.Window());
    ASSERT_TRUE(dev.opened);
    TestWave sound("chase.wav", 2, 44100, 44100 * 12, 6000);
    sound.wave.duration = 4000;
    dsync::mixer::AudioMixer mixer(44100);
    dsync::mixer::OfflineSink sink(mixer, 44100);
    CWaveOut waveOut(mixer, &sink);
    ASSERT_EQ(waveOut.OpenWaveOut(engine.Window(), &dev.clock, nullptr), 1u);
    dev.waveOut = &waveOut;
    auto list = List(1000, {Note(0, 60), Note(12000, 60)}, "waves");
    auto* wave = static_cast<EventWave*>(sound.wave.Clone());
    wave->flags = kWaveReference;
    list->GetEvents().Add(wave);
    CSongDoc song;
    song.OnNewDocument();
    song.IncludeDocument(list);
    engine.SetDevices(&dev);
    engine.SetSong(&song);
    const uint32_t perSecond = 44100 * 4;

    engine.SetCurrentBeat(8); // 60 beats per minute: two seconds in
    ASSERT_TRUE(engine.Play());
    EXPECT_EQ(engine.ChasedWaves(), 1);
    ASSERT_EQ(waveOut.pendingCount, 1);
    ASSERT_NE(waveOut.eventList.head, nullptr);
    auto* pending = static_cast<EventWave*>(waveOut.eventList.head);
    EXPECT_EQ(pending->time, 8000u);
    EXPECT_EQ(pending->startOffset, int32_t(2 * perSecond));
    // Prepared to play from there.
    ASSERT_NE(waveOut.Stream(0).wave, nullptr);
    EXPECT_EQ(waveOut.Stream(0).wave->startOffset, int32_t(2 * perSecond));
    dev.Run(20);
    EXPECT_TRUE(waveOut.StreamPlaying(0));
    engine.Stop();

    engine.SetCurrentBeat(0);
    ASSERT_TRUE(engine.Play());
    EXPECT_EQ(engine.ChasedWaves(), 0);
    ASSERT_EQ(waveOut.pendingCount, 1);
    pending = static_cast<EventWave*>(waveOut.eventList.head);
    EXPECT_EQ(pending->time, 6000u);
    EXPECT_EQ(pending->startOffset, 0);
    engine.Stop();

    engine.SetCurrentBeat(11);
    ASSERT_TRUE(engine.Play());
    EXPECT_EQ(engine.ChasedWaves(), 0);
    EXPECT_EQ(waveOut.pendingCount, 0);
    engine.Stop();
    waveOut.Close();
}
