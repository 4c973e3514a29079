// The JACK MIDI driver on a synchronous dummy server of the test's own: messages land at the frame
// of their tick, a message sent at once never overtakes one queued before it, a late message is
// counted and still sent, input is stamped with the tick of its frame, and the built-in
// synthesizer on a JACK output sounds together with a JACK MIDI output.
#include "jack_clients.h"
#include "sync/drivers/jack/jack_timeline.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/midi_in.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_output.h"
#include "sync/mixer/synth_source.h"
#include "sync/sync.h"
#include "sync_test_util.h"
#include "tests/common/jack_server.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr int64_t kRate = 48000;
constexpr uint32_t kCycle = 256;
pid_t g_server = -1;

class JackMidi : public testing::Test {
public:
    static void SetUpTestSuite() {
        g_server =
            jacktest::StartDummyServer(jacktest::ServerName("dendra-jackmidi"),
                                       std::to_string(kRate), std::to_string(kCycle), {}, {"-S"});
    }
    static void TearDownTestSuite() { jacktest::StopServer(g_server); }

protected:
    void SetUp() override {
        if (g_server <= 0) GTEST_SKIP() << "jackd could not be started";
        dsync::RefreshMidiDevices();
    }
    void TearDown() override { platform::Queue().Drain(); }

    // A clock on its own timer at 1000 ticks per beat.
    void OpenClock(CSync& clock, uint32_t periodMs, uint32_t tempoUs) {
        ASSERT_EQ(clock.OpenSync(win.Handle(), 0, periodMs, nullptr), 0u);
        clock.SetResolution(1000);
        clock.SetTempo(tempoUs);
    }

    platform::MessageRecorder win;
};

bool IsNoteOn(const jacktest::MidiRecord& r) {
    return (r.bytes[0] & 0xF0) == 0x90 && r.bytes[2] != 0;
}

TEST_F(JackMidi, MessagesLandAtTheFrameOfTheirTick) {
    jacktest::Recorder rec("recorder", 4096);
    ASSERT_TRUE(rec.Ok());
    dsync::RefreshMidiDevices();
    const uint32_t dev = OutputNumber(rec.MidiPort());
    ASSERT_NE(dev, 0xFFFFFFF0u);
    CSync clock;
    // A 10 ms period: each tick sends ten ticks' worth, the ring's note-ons before the note-offs
    // due among them, which the port must still write in the order of their frames.
    OpenClock(clock, 10, 1000000); // a tick is 1 ms, 48 frames
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), dev, &clock, 0x16104), 0u);
    clock.StartSync(0);
    constexpr int kNotes = 120;
    const uint8_t sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    std::vector<uint32_t> ticks;
    for (int i = 0; i < kNotes; ++i) {
        const uint32_t tick = 300 + uint32_t(i) * 7 + uint32_t(i % 3); // across cycle boundaries
        ticks.push_back(tick);
        EventMidi note(tick, 0x90, uint8_t(40 + i % 40), 100, 9);
        ASSERT_EQ(out.MidiOut(&note), 0u);
        if (i == 28) {
            for (uint8_t b : sysex) {
                EventMidi e(500, 0xF0, b, 0);
                ASSERT_EQ(out.MidiOut(&e), 0u);
            }
        }
    }
    ASSERT_TRUE(rec.WaitFor(2 * kNotes + 1, 6000)) << rec.Count() << " messages came";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rec.Count(), size_t(2 * kNotes + 1));

    std::vector<int64_t> ons, offs;
    int64_t sysexFrame = -1;
    for (size_t i = 0; i < rec.Count(); ++i) {
        const jacktest::MidiRecord& r = rec.Record(i);
        if (r.bytes[0] == 0xF0) {
            EXPECT_EQ(r.size, sizeof sysex);
            sysexFrame = r.frame;
        } else {
            (IsNoteOn(r) ? ons : offs).push_back(r.frame);
        }
    }
    ASSERT_EQ(ons.size(), size_t(kNotes));
    ASSERT_EQ(offs.size(), size_t(kNotes));
    // Every note at its tick less one constant latency, exactly; its note-off 9 ms later.
    std::vector<double> errors;
    for (int i = 0; i < kNotes; ++i) {
        const int64_t expected = ons[0] + (int64_t(ticks[size_t(i)]) - int64_t(ticks[0])) * 48;
        errors.push_back(double(std::llabs(ons[size_t(i)] - expected)));
        EXPECT_EQ(offs[size_t(i)] - ons[size_t(i)], 9 * 48) << "note " << i;
    }
    EXPECT_LE(jacktest::Quantile(errors, 0.99), 1.0) << "frames";
    EXPECT_EQ(sysexFrame - ons[28], (500 - int64_t(ticks[28])) * 48);
    EXPECT_EQ(out.LateMessages(), 0u);

    // The port tells the server its latency: one cycle, the clock's period and the room.
    jack_port_t* mine = jack_port_by_name(rec.Client(), rec.MidiPort().c_str());
    const char** from = jack_port_get_all_connections(rec.Client(), mine);
    ASSERT_TRUE(from && from[0]);
    jack_latency_range_t range{};
    jack_port_get_latency_range(jack_port_by_name(rec.Client(), from[0]), JackCaptureLatency,
                                &range);
    jack_free(from);
    EXPECT_EQ(range.min, dsync::jack::OutputLatencyFrames(kCycle, kRate, 10));
    EXPECT_EQ(range.max, range.min);
    out.Close();
    clock.CloseSync();
}

TEST_F(JackMidi, MessagesSentAtOnceWaitBehindQueuedOnes) {
    jacktest::Recorder rec("recorder", 256);
    ASSERT_TRUE(rec.Ok());
    dsync::RefreshMidiDevices();
    CSync clock;
    OpenClock(clock, 1, 1000000);
    CMidiOut out;
    ASSERT_EQ(out.OpenMidiOut(win.Handle(), OutputNumber(rec.MidiPort()), &clock, 0), 0u);
    clock.StartSync(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EventMidi note(clock.now.load() + 20, 0x93, 64, 90, 5000);
    ASSERT_EQ(out.MidiOut(&note), 0u);
    // Stopped as soon as the clock sent it: the note-on still waits in the port for its frame,
    // and the note-off sent at once must come after it.
    for (int i = 0; i < 20000 && !out.Sounding(64, 3); ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    ASSERT_TRUE(out.Sounding(64, 3));
    out.NotesOff();
    ASSERT_TRUE(rec.WaitFor(18, 3000)) << rec.Count();
    EXPECT_EQ(rec.Record(0).bytes[0], 0x93);
    EXPECT_EQ(rec.Record(0).bytes[2], 90);
    EXPECT_EQ(rec.Record(1).bytes[0], 0x93);
    EXPECT_EQ(rec.Record(1).bytes[1], 64);
    EXPECT_EQ(rec.Record(1).bytes[2], 0);
    for (size_t i = 2; i < 18; ++i) {
        EXPECT_EQ(rec.Record(i).bytes[0], 0xB0 + (i - 2));
        EXPECT_EQ(rec.Record(i).bytes[1], 123);
    }
    out.Close();
    clock.CloseSync();
}

TEST_F(JackMidi, LateMessagesAreCountedAndSentAtTheFirstFrame) {
    jacktest::Recorder rec("recorder", 64);
    ASSERT_TRUE(rec.Ok());
    std::unique_ptr<dsync::MidiOutPort> port;
    ASSERT_EQ(dsync::JackDriver().OpenOutput(rec.MidiPort(), "late", port), 0u);
    for (int i = 0; i < 200 && !dsync::jack::TheTimeline().Anchored(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dsync::DispatchTime late, onTime;
    late.exactNs = platform::MonotonicNs() - 50000000; // 50 ms ago: its frame has passed
    onTime.exactNs = platform::MonotonicNs();
    EXPECT_EQ(port->SendShort(0x7F3C91, late), 0);
    EXPECT_EQ(port->SendShort(0x7F3E91, onTime), 0);
    ASSERT_TRUE(rec.WaitFor(2, 3000));
    EXPECT_EQ(port->Late(), 1u);
    EXPECT_EQ(rec.Record(0).bytes[1], 0x3C);
    EXPECT_EQ(rec.Record(1).bytes[1], 0x3E);
    // Both streams count whole cycles from a cycle start: the first frame of a cycle is a
    // multiple of its length in either.
    EXPECT_EQ(rec.Record(0).frame % kCycle, 0);
    EXPECT_GT(rec.Record(1).frame, rec.Record(0).frame);
    port.reset();
}

TEST_F(JackMidi, InputIsStampedWithTheTickOfItsFrame) {
    jacktest::Sequencer seq("sequencer", 1723, 400); // 35.9 ms apart, at every offset in a cycle
    ASSERT_TRUE(seq.Ok());
    dsync::RefreshMidiDevices();
    const uint32_t dev = InputNumber(seq.Port());
    ASSERT_NE(dev, 0xFFFFFFF0u);
    CSync clock;
    OpenClock(clock, 1, 62500); // 960 beats per minute: a tick is 62.5 µs
    CMidiIn in;
    ASSERT_EQ(in.OpenMidiIn(win.Handle(), dev, &clock, 0x3000), 0u);
    ASSERT_EQ(in.Start(), 0);
    clock.StartSync(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seq.Start();
    std::vector<MidiEvent> got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < 100 && std::chrono::steady_clock::now() < until) {
        while (MidiEvent* e = in.MidiIn()) got.push_back(*e);
        platform::Queue().Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    seq.Stop();
    ASSERT_GE(got.size(), 100u);
    ASSERT_GE(seq.Count(), got.size());
    std::vector<double> diffs;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].status, 0x90);
        ASSERT_EQ(got[i].data1, jacktest::Sequencer::KeyOf(i)) << i;
        const double sentMs = double(seq.Sent(i)) * 1000.0 / kRate;
        diffs.push_back(double(got[i].time) * 0.0625 - sentMs);
    }
    const double constant = jacktest::Quantile(diffs, 0.5);
    double worst = 0;
    for (double d : diffs) worst = std::max(worst, std::fabs(d - constant));
    EXPECT_LE(worst, 0.1) << "ms";
    in.Close();
    clock.CloseSync();
}

TEST_F(JackMidi, SynthOnJackSoundsWithTheMidiOutput) {
    dsync::GmSynth& synth = dsync::BuiltInSynth();
    synth.SetSoundFontSetting("/usr/share/sounds/sf2/TimGM6mb.sf2");
    synth.Unload();
    ASSERT_TRUE(synth.Load(double(kRate)));
    jacktest::Recorder rec("recorder", 256, size_t(kRate) * 8);
    ASSERT_TRUE(rec.Ok());
    dsync::mixer::AudioMixer mixer(kRate);
    dsync::mixer::JackOutput jack(mixer);
    std::string error;
    ASSERT_TRUE(jack.Open("synth", &error)) << error;
    ASSERT_TRUE(jack.Start(false, &error)) << error;
    dsync::mixer::SynthSource source(synth);
    ASSERT_TRUE(mixer.AddSource(&source));
    ASSERT_TRUE(rec.Connect(jack.PortName(0), rec.AudioPort(0)));
    ASSERT_TRUE(rec.Connect(jack.PortName(1), rec.AudioPort(1)));
    dsync::RefreshMidiDevices();
    CSync clock;
    OpenClock(clock, 1, 1000000);
    CMidiOut midi, toSynth;
    ASSERT_EQ(midi.OpenMidiOut(win.Handle(), OutputNumber(rec.MidiPort()), &clock, 0), 0u);
    ASSERT_EQ(toSynth.OpenMidiOut(win.Handle(), 0, &clock, 0), 0u); // the built-in synth
    toSynth.SetVolume(1.0f);
    clock.StartSync(0);
    // Short drum sounds far apart, each starting from silence.
    constexpr int kNotes = 6;
    for (int i = 0; i < kNotes; ++i) {
        const uint32_t tick = 300 + uint32_t(i) * 900 + uint32_t(i) * 13;
        EventMidi a(tick, 0x99, 37, 120, 20), b(tick, 0x99, 37, 120, 20);
        ASSERT_EQ(midi.MidiOut(&a), 0u);
        ASSERT_EQ(toSynth.MidiOut(&b), 0u);
    }
    ASSERT_TRUE(rec.WaitFor(2 * kNotes, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t frames = rec.AudioFrames();
    std::vector<int64_t> lead;
    for (size_t i = 0; i < rec.Count(); ++i) {
        const jacktest::MidiRecord& r = rec.Record(i);
        if (!IsNoteOn(r)) continue;
        // The sound's first sample that stands out of the silence before the note.
        int64_t onset = -1;
        for (int64_t f = std::max<int64_t>(0, r.frame - 4000); f < int64_t(frames); ++f) {
            if (std::fabs(rec.Left()[size_t(f)]) > 1e-3f) {
                onset = f;
                break;
            }
        }
        ASSERT_GE(onset, 0) << "note " << lead.size() << " made no sound";
        lead.push_back(onset - r.frame);
    }
    ASSERT_EQ(lead.size(), size_t(kNotes));
    // The synth applies messages at its 64-frame blocks: its sound starts at one lead past the
    // MIDI message, give or take less than a block.
    const auto [lo, hi] = std::minmax_element(lead.begin(), lead.end());
    EXPECT_LT(*hi - *lo, 64) << "leads " << *lo << " to " << *hi;
    EXPECT_GE(*lo, 0);
    EXPECT_LT(*hi, 64 + 480) << "the sound comes more than a block and 10 ms after the message";
    EXPECT_EQ(jack.LatencyFrames(), dsync::jack::OutputLatencyFrames(kCycle, kRate, 1));
    midi.Close();
    toSynth.Close();
    clock.CloseSync();
    mixer.RemoveSource(&source);
    jack.Close();
}

} // namespace
