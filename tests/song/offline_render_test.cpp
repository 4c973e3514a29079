// Renders MIDI files, trees and sounds offline and reads the WAV files back.
#include "documents/tree_document.h"
#include "formats/wave_file.h"
#include "nodes/control.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"
#include "platform/atomic_file.h"
#include "platform/user_messages.h"
#include "song/offline_render.h"
#include "song/song_document.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/drivers/synth/gm_synth.h"
#include "tests/common/node_types.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include "tests/common/test_util.h"
#include "tests/song/song_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Wav {
    uint32_t rate = 0;
    std::vector<int16_t> samples; // interleaved stereo
    size_t Frames() const { return samples.size() / 2; }
    // The first frame at or after `from` with a sample larger than `level` in magnitude.
    size_t FirstAbove(size_t from, int level) const {
        for (size_t f = from; f < Frames(); ++f)
            if (std::abs(samples[2 * f]) > level || std::abs(samples[2 * f + 1]) > level) return f;
        return Frames();
    }
    int Peak(size_t from, size_t to) const {
        int p = 0;
        for (size_t i = 2 * from; i < 2 * std::min(to, Frames()); ++i)
            p = std::max(p, std::abs(int(samples[i])));
        return p;
    }
};

// Reads a render back through the WAVE reader: 16-bit stereo PCM whose data chunk ends the file.
bool ReadWav(const std::string& path, Wav& out, std::vector<uint8_t>* bytes = nullptr) {
    std::vector<uint8_t> b;
    if (!platform::ReadWholeFile(path, b)) return false;
    sound::CWaveFile f;
    if (!f.OpenRead(path)) return false;
    const WAVEFORMATEX& format = f.Format();
    if (format.wFormatTag != kWaveFormatPcm || format.nChannels != 2 ||
        format.wBitsPerSample != 16 || f.DataStart() + f.Length() != b.size())
        return false;
    out.rate = format.nSamplesPerSec;
    out.samples.resize(f.Length() / 2);
    if (f.Read(out.samples.data(), f.Length()) != f.Length()) return false;
    if (bytes) *bytes = std::move(b);
    return true;
}

void Vlq(std::vector<uint8_t>& b, uint32_t n) {
    uint8_t tmp[5];
    int k = 0;
    tmp[k++] = n & 0x7F;
    while (n >>= 7) tmp[k++] = uint8_t(0x80 | (n & 0x7F));
    while (k) b.push_back(tmp[--k]);
}

// A format-0 file at 480 units per beat: notes of half a beat at the given beats.
void WriteMidi(const std::string& path, const std::vector<uint32_t>& beats) {
    std::vector<uint8_t> ev;
    uint32_t last = 0;
    for (uint32_t beat : beats) {
        Vlq(ev, beat * 480 - last);
        ev.insert(ev.end(), {0x90, 64, 110});
        Vlq(ev, 240);
        ev.insert(ev.end(), {0x80, 64, 0});
        last = beat * 480 + 240;
    }
    ev.insert(ev.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<uint8_t> f = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                              0,   0,   1,   0x01, 0xE0, 'M', 'T', 'r', 'k'};
    const uint32_t n = uint32_t(ev.size());
    f.insert(f.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    f.insert(f.end(), ev.begin(), ev.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
}

template <class T> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

// A tree of two beats: a note every half beat whose pitch is drawn at random.
bool WriteTree(const std::string& path) {
    CDendraDoc doc;
    doc.OnNewDocument();
    Root& root = doc.GetRoot();
    root.duration = 2000;
    root.AlignTimes(0);
    auto* every = Put<Every>(root.childOne, "Every");
    if (!every) return false;
    Put<Constant>(every->childOne, "Constant")->value = 500.0f;
    auto* note = Put<MidiNote>(every->childTwo, "MidiNote");
    note->pitch = 60.0f;
    note->noteDuration = 300.0f;
    doc.Solver().SolveAtOnce();
    return doc.OnSaveDocument(path);
}

using Result = testutil::CliResult;
inline Result Cli(const std::string& args) {
    return testutil::RunCli(args);
}

class OfflineRender : public ::testing::Test {
protected:
    void SetUp() override {
        if (dsync::GmSynth::FindSoundFont("").empty()) GTEST_SKIP() << "no soundfont installed";
        // A folder of each test's own, emptied first: files of an earlier run must not count.
        dir_ = fs::path(::testing::TempDir()) / "offline_render" /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code ec;
        fs::remove_all(dir_, ec);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    std::string Path(const char* name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

} // namespace

// Notes land on their beats (at 120 per minute here), the render ends after the sound has
// died away, and two renders give the same bytes.
TEST_F(OfflineRender, MidiNotesLandOnTheirBeatsAndRendersRepeat) {
    platform::ScopedRecordingMessages messages;
    const std::string mid = Path("onsets.mid");
    WriteMidi(mid, {1, 3});
    std::string error;
    std::vector<uint8_t> first;
    for (int run = 0; run < 2; ++run) {
        auto song = OpenRenderInput(mid, &error);
        ASSERT_TRUE(song) << error;
        RenderResult result;
        RenderOptions options;
        options.tempoBpm = 120;
        const std::string out = Path(run == 0 ? "a.wav" : "b.wav");
        ASSERT_TRUE(RenderSong(*song, out, options, &result, &error)) << error;
        Wav w;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(ReadWav(out, w, &bytes));
        EXPECT_EQ(w.rate, 44100u);
        EXPECT_EQ(result.frames, w.Frames());
        EXPECT_EQ(result.midiEvents, 2u); // the note-offs come from the note-on's duration
        EXPECT_EQ(result.lateEvents, 0u);
        // Beat 1 is at 0.5 s; the synth applies a message at its next 64-frame block.
        const size_t onset = w.FirstAbove(0, 0);
        EXPECT_GE(onset, 22050u);
        EXPECT_LT(onset, 22050u + 64 + 64);
        // Quiet after the first note has died away, sound again at beat 3 (1.5 s).
        const size_t second = w.FirstAbove(66150 - 2000, 200);
        EXPECT_GE(second, 66150u);
        EXPECT_LT(second, 66150u + 600);
        // The song ends at 1.75 s; the tail decays and stops well before the cap.
        EXPECT_GT(w.Frames(), 77175u);
        EXPECT_LT(w.Frames(), 77175u + 10 * 44100u);
        EXPECT_LE(w.Peak(w.Frames() - 100, w.Frames()), 1);
        if (run == 0)
            first = bytes;
        else
            EXPECT_EQ(bytes, first);
    }
    EXPECT_FALSE(fs::exists(Path("a.wav.tmp")));
}

// The starting tempo, the sample rate and the end beat: at 60 per minute beat 3 is at 3 s; an end
// beat silences what still sounds.
TEST_F(OfflineRender, TempoRateAndEndBeat) {
    platform::ScopedRecordingMessages messages;
    const std::string mid = Path("tempo.mid");
    WriteMidi(mid, {1, 3});
    std::string error;
    auto song = OpenRenderInput(mid, &error);
    ASSERT_TRUE(song) << error;
    RenderOptions options;
    options.tempoBpm = 60;
    options.sampleRate = 22050;
    RenderResult result;
    ASSERT_TRUE(RenderSong(*song, Path("slow.wav"), options, &result, &error)) << error;
    Wav w;
    ASSERT_TRUE(ReadWav(Path("slow.wav"), w));
    EXPECT_EQ(w.rate, 22050u);
    EXPECT_NEAR(double(w.FirstAbove(0, 0)), 22050.0, 130.0);
    const size_t second = w.FirstAbove(3 * 22050 - 2000, 200);
    EXPECT_NEAR(double(second), 3 * 22050.0, 300.0);

    // Ending at beat 2 leaves the second note out.
    options.toBeat = 2.0;
    ASSERT_TRUE(RenderSong(*song, Path("cut.wav"), options, &result, &error)) << error;
    ASSERT_TRUE(ReadWav(Path("cut.wav"), w));
    EXPECT_EQ(result.midiEvents, 1u);
    EXPECT_EQ(result.songFrames, 2u * 22050u);
    EXPECT_EQ(w.Peak(2 * 22050 + 22050 / 2, w.Frames()), 0);
    EXPECT_LT(w.Frames(), 3u * 22050u);

    // Options out of range are refused and the file is left as it was.
    options.sampleRate = 100;
    EXPECT_FALSE(RenderSong(*song, Path("cut.wav"), options, &result, &error));
    EXPECT_TRUE(ReadWav(Path("cut.wav"), w));
    EXPECT_EQ(w.rate, 22050u);
}

// A tree through the command line: the same seed gives the same bytes, bad inputs end with 2 and
// a message, and a usage error with 1.
TEST_F(OfflineRender, TreesThroughTheCommandLine) {
    const std::string tree = Path("t.dra");
    ASSERT_TRUE(WriteTree(tree));
    Result r = Cli("render " + tree + " -o " + Path("t1.wav") + " --seed 7 --tempo 120");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("100%"), std::string::npos);
    r = Cli("render " + tree + " -o " + Path("t2.wav") + " --seed 7 --tempo 120");
    ASSERT_EQ(r.status, 0) << r.out;
    Wav a, b;
    std::vector<uint8_t> ab, bb;
    ASSERT_TRUE(ReadWav(Path("t1.wav"), a, &ab));
    ASSERT_TRUE(ReadWav(Path("t2.wav"), b, &bb));
    EXPECT_EQ(ab, bb);
    // Four notes, one every half beat (a quarter of a second).
    for (size_t k = 0; k < 4; ++k) EXPECT_GT(a.Peak(k * 11025, k * 11025 + 4000), 300) << k;

    const std::string junk = Path("junk.mid");
    std::ofstream(junk) << "not a file of any kind";
    r = Cli("render " + junk + " -o " + Path("j.wav"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("junk.mid"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("j.wav")));
    r = Cli("render " + Path("missing.dra") + " -o " + Path("j.wav"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("missing.dra"), std::string::npos);
    r = Cli("render " + tree + " -o " + Path("j.wav") + " --soundfont " + Path("none.sf2"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("none.sf2"), std::string::npos);
    r = Cli("render " + tree);
    EXPECT_EQ(r.status, 1);
    r = Cli("render " + tree + " -o x.wav --tempo 20");
    EXPECT_EQ(r.status, 1);
}

namespace {
// A mono 16-bit sound: a 441 Hz sine at `level(frame)` of full scale.
template <class Level>
void WriteSine(const std::string& path, uint32_t rate, uint32_t frames, Level level) {
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F', 0,   0,   0,   0, 'W', 'A', 'V',
                              'E', 'f', 'm', 't', ' ', 16,  0,   0, 0,   1,   0,
                              1,   0,   0,   0,   0,   0,   0,   0, 0,   0,   2,
                              0,   16,  0,   'd', 'a', 't', 'a', 0, 0,   0,   0};
    const uint32_t bytesPerSecond = rate * 2;
    std::memcpy(b.data() + 24, &rate, 4);
    std::memcpy(b.data() + 28, &bytesPerSecond, 4);
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t v = int16_t(32768.0 * level(i) * std::sin(2.0 * M_PI * 441.0 * i / rate));
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(uint16_t(v) >> 8));
    }
    const uint32_t data = frames * 2, riff = data + 36;
    std::memcpy(b.data() + 4, &riff, 4);
    std::memcpy(b.data() + 40, &data, 4);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// At 22050 Hz and half of full scale.
void WriteSound(const std::string& path, uint32_t frames) {
    WriteSine(path, 22050, frames, [](uint32_t) { return 0.5; });
}
} // namespace

// A sound plays from the start at the output's rate, with its entry's balance and rate.
TEST_F(OfflineRender, SoundsAreMixedWithTheirEntrySettings) {
    platform::ScopedRecordingMessages messages;
    const std::string snd = Path("tone.wav");
    WriteSound(snd, 11025); // half a second
    std::string error;
    auto song = OpenRenderInput(snd, &error);
    ASSERT_TRUE(song) << error;
    ASSERT_EQ(song->EntryCount(), 1);
    RenderResult result;
    ASSERT_TRUE(RenderSong(*song, Path("snd.wav"), RenderOptions{}, &result, &error)) << error;
    Wav w;
    ASSERT_TRUE(ReadWav(Path("snd.wav"), w));
    EXPECT_EQ(result.waveEvents, 1u);
    EXPECT_LT(w.FirstAbove(0, 0), 200u);
    EXPECT_GT(w.Peak(0, 22050), 3000);
    // It lasts half a second at 44100 frames per second too, then the render stops.
    EXPECT_GT(w.Peak(20000, 22000), 3000);
    EXPECT_LT(w.Peak(23000, w.Frames()), 2);
    EXPECT_LT(w.Frames(), 44100u);
    const int both = w.Peak(0, 22050);

    // Hard left at twice the rate: nothing on the right, over in a quarter of a second.
    song->Settings(0).pan = 0.0f;
    song->SetEntryRate(0, 2.0f);
    ASSERT_TRUE(RenderSong(*song, Path("left.wav"), RenderOptions{}, &result, &error)) << error;
    ASSERT_TRUE(ReadWav(Path("left.wav"), w));
    int right = 0, left = 0;
    for (size_t f = 0; f < w.Frames(); ++f) {
        left = std::max(left, std::abs(int(w.samples[2 * f])));
        right = std::max(right, std::abs(int(w.samples[2 * f + 1])));
    }
    EXPECT_GE(left, both / 2);
    EXPECT_LE(right, 1);
    EXPECT_GT(w.Peak(9000, 10500), 3000);
    EXPECT_LT(w.Peak(12000, w.Frames()), 2);
    EXPECT_TRUE(messages.Shown().empty());
}

// Real-time play through the configured devices ends cleanly on Ctrl-C.
TEST_F(OfflineRender, PlayStopsCleanlyOnInterrupt) {
    const std::string mid = Path("play.mid");
    WriteMidi(mid, {0, 1, 2, 3, 4, 5, 6, 7});
    const std::string settings = Path("play-settings.conf");
    fs::remove(settings);
    const std::string cli = std::string(DENDRA_BINARY_DIR) + "/cli/dendra-cli";
    const std::string cmd = "DENDRA_SETTINGS_FILE=" + settings +
                            " timeout --preserve-status -s INT 1.5 " + cli + " play " + mid +
                            " 2>&1";
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(st)) << out;
    EXPECT_EQ(WEXITSTATUS(st), 0) << out;
    EXPECT_NE(out.find("beat 0 of 10"), std::string::npos) << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;
    EXPECT_EQ(Cli("play").status, 1);
    EXPECT_EQ(Cli("play " + Path("missing.mid")).status, 2);
}

namespace {

uint32_t LoopbackOut(int port) {
    dsync::EnableLoopbackDevices(true);
    dsync::RefreshMidiDevices();
    auto v = dsync::MidiOutputDevices();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == "Loopback Out " + std::to_string(port)) return uint32_t(i);
    return 0xFFFFFFF0u;
}

uint32_t Short(uint8_t status, uint8_t d1, uint8_t d2 = 0) {
    return uint32_t(status) | uint32_t(d1) << 8 | uint32_t(d2) << 16;
}

struct Sent {
    uint32_t message;
    uint32_t tick;
    int64_t ns;
    bool operator==(const Sent& o) const { return message == o.message && tick == o.tick; }
};

std::vector<Sent> Received(const dsync::LoopbackOutputState& port) {
    std::vector<Sent> out;
    for (size_t i = 0; i < port.Count(); ++i)
        out.push_back({port.Record(i).message, port.Record(i).at.tick, port.Record(i).at.exactNs});
    return out;
}

size_t IndexOf(const std::vector<Sent>& v, uint32_t message, size_t from = 0) {
    for (size_t i = from; i < v.size(); ++i)
        if (v[i].message == message) return i;
    return v.size();
}

} // namespace

// A render from beat 2 sends, after the entry's settings, what the events before beat 2 left (the
// last value of each controller, the bank in force at the program change, the program, the
// bend-range parameter with the selection restored, the bend, the pressure, and not what a reset
// cleared), follows the tempo set before it, does not strike the note that began earlier, and
// from then on sends exactly what the whole song sends.
TEST_F(OfflineRender, FromABeatSoundsAsThatPartOfTheWholeSong) {
    using songtest::List;
    using songtest::Note;
    platform::ScopedRecordingMessages messages;
    const uint32_t port = LoopbackOut(0);
    ASSERT_NE(port, 0xFFFFFFF0u);
    auto cc = [](uint32_t t, uint8_t ch, uint8_t n, uint8_t v) {
        return new EventMidi(t, uint8_t(0xB0 | ch), n, v);
    };
    std::vector<EventMidi*> events = {
        cc(50, 0, 0, 1),                                // bank 1 ...
        new EventMidi(100, 0xC0, 40, 0),                // ... for program 40
        cc(200, 0, 7, 100),                             // a level that a later one replaces
        cc(250, 0, 7, 90),                              //
        cc(300, 0, 10, 30),                             //
        new EventMidi(400, 0xE0, 0x10, 0x50),           // a bend
        cc(500, 0, 101, 0),                             // bend range 12 semitones, then deselected
        cc(501, 0, 100, 0),                             //
        cc(502, 0, 6, 12),                              //
        cc(503, 0, 38, 0),                              //
        cc(504, 0, 101, 127),                           //
        cc(505, 0, 100, 127),                           //
        cc(600, 0, 64, 127),                            // the pedal held down
        cc(700, 1, 1, 64),                              // modulation that a reset clears
        cc(800, 1, 121, 0),                             //
        cc(850, 1, 11, 70),                             //
        cc(900, 0, 0, 0),                               // the bank for a later program change
        Note(1000, 60, 100, 500),                       //
        new EventMidi(1200, 0x00, 0x07, 0xA1, 0, 0x20), // 120 per minute
        new EventMidi(1300, 0xD1, 55, 0),               // channel pressure
        Note(1800, 50, 100, 1000, 1),                   // still sounding at the start
        Note(2000, 62, 100, 300),                       //
        cc(2100, 0, 7, 70),                             //
        Note(2200, 64, 100, 300, 1),                    //
        new EventMidi(2500, 0xE0, 0, 0x40),             //
        Note(3000, 65, 100, 200)};
    CSongDoc song;
    song.OnNewDocument();
    ASSERT_EQ(song.IncludeDocument(List(1000, events)), 1);
    song.Settings(0).program = 5;

    dsync::LoopbackOutputState& rec = dsync::Loopback().Output(0);
    rec.ConnectTo(-1);
    RenderOptions options;
    options.midiDevice = port;
    std::string error;
    RenderResult whole, part;
    rec.Reserve(1000);
    ASSERT_TRUE(RenderSong(song, Path("whole.wav"), options, &whole, &error)) << error;
    const std::vector<Sent> full = Received(rec);
    options.fromBeat = 2.0;
    rec.Reserve(1000);
    ASSERT_TRUE(RenderSong(song, Path("part.wav"), options, &part, &error)) << error;
    const std::vector<Sent> from = Received(rec);
    EXPECT_EQ(part.lateEvents, 0u);

    // The setup, all at the start tick.
    ASSERT_GE(from.size(), part.setupEvents);
    const std::vector<Sent> setup(from.begin(), from.begin() + long(part.setupEvents));
    for (const Sent& s : setup) EXPECT_EQ(s.tick, 2000u);
    const size_t entryProgram = IndexOf(setup, Short(0xC0, 5));
    const size_t bank = IndexOf(setup, Short(0xB0, 0, 1));
    const size_t program = IndexOf(setup, Short(0xC0, 40));
    const size_t laterBank = IndexOf(setup, Short(0xB0, 0, 0));
    EXPECT_LT(entryProgram, bank);
    EXPECT_LT(bank, program);
    EXPECT_LT(program, laterBank);
    EXPECT_LT(laterBank, setup.size());
    const size_t entryLevel = IndexOf(setup, Short(0xB0, 7, 115)); // 0.9 of full scale
    EXPECT_LT(entryLevel, IndexOf(setup, Short(0xB0, 7, 90)));
    EXPECT_LT(IndexOf(setup, Short(0xB0, 7, 90)), setup.size());
    EXPECT_EQ(IndexOf(setup, Short(0xB0, 7, 100)), setup.size());
    EXPECT_LT(IndexOf(setup, Short(0xB0, 10, 30)), setup.size());
    EXPECT_LT(IndexOf(setup, Short(0xB0, 64, 127)), setup.size());
    EXPECT_LT(IndexOf(setup, Short(0xE0, 0x10, 0x50)), setup.size());
    EXPECT_LT(IndexOf(setup, Short(0xB1, 11, 70)), setup.size());
    EXPECT_EQ(IndexOf(setup, Short(0xB1, 1, 64)), setup.size());
    EXPECT_LT(IndexOf(setup, Short(0xD1, 55)), setup.size());
    // The parameter: selected, set, then deselected as the song left it.
    const size_t select = IndexOf(setup, Short(0xB0, 101, 0));
    ASSERT_LT(select + 5, setup.size());
    EXPECT_EQ(setup[select + 1].message, Short(0xB0, 100, 0));
    EXPECT_EQ(setup[select + 2].message, Short(0xB0, 6, 12));
    EXPECT_EQ(setup[select + 3].message, Short(0xB0, 38, 0));
    EXPECT_EQ(setup[select + 4].message, Short(0xB0, 101, 127));
    EXPECT_EQ(setup[select + 5].message, Short(0xB0, 100, 127));
    for (const Sent& s : setup) EXPECT_NE(s.message & 0xF0, 0x90u) << std::hex << s.message;

    // After the start: what the whole song sends, less the end of the note struck before it.
    std::vector<Sent> expected;
    for (const Sent& s : full)
        if (s.tick >= 2000 && s.message != Short(0x81, 50, 0) && s.message != Short(0x91, 50, 0))
            expected.push_back(s);
    const std::vector<Sent> after(from.begin() + long(part.setupEvents), from.end());
    EXPECT_EQ(after, expected);
    // Three notes on and off, a level and a bend, then the all-notes-off of the closing port.
    auto ofSong = [](std::vector<Sent> v) {
        std::erase_if(v, [](const Sent& s) { return (s.message & 0xFFF0) == 0x7BB0; });
        return v;
    };
    ASSERT_EQ(ofSong(after).size(), 8u);
    ASSERT_EQ(ofSong(expected).size(), 8u);
    // At 120 per minute, as in the whole song: 1200 ticks take 0.6 s.
    EXPECT_NEAR(double(after[7].ns - after[0].ns), 0.6e9, 2e6);
    const Sent& wholeFirst = expected.front();
    ASSERT_EQ(wholeFirst.tick, 2000u);
    EXPECT_NEAR(double(expected[7].ns - wholeFirst.ns), 0.6e9, 2e6);
}

namespace {
// At 44100 Hz, its level rising from nothing to half of full scale, so that each moment of it can
// be told from another.
void WriteRamp(const std::string& path, uint32_t frames) {
    WriteSine(path, 44100, frames, [frames](uint32_t i) { return 0.5 * i / frames; });
}

// The root mean square of the difference of two stretches, relative to the second's.
double RelativeDifference(const Wav& a, size_t fromA, const Wav& b, size_t fromB, size_t frames) {
    double diff = 0.0, ref = 0.0;
    for (size_t f = 0; f < frames; ++f)
        for (int c = 0; c < 2; ++c) {
            const double x = a.samples[2 * (fromA + f) + c], y = b.samples[2 * (fromB + f) + c];
            diff += (x - y) * (x - y);
            ref += y * y;
        }
    return ref > 0.0 ? std::sqrt(diff / ref) : 1.0;
}
} // namespace

// A sound that started before the start beat resumes where the whole song would be in it, at its
// entry's rate (twice as far in at rate 2), and one that has ended is not played again.
TEST_F(OfflineRender, FromABeatResumesSoundsStillPlaying) {
    platform::ScopedRecordingMessages messages;
    const std::string snd = Path("ramp.wav");
    WriteRamp(snd, 2 * 44100); // two seconds
    std::string error;
    auto song = OpenRenderInput(snd, &error);
    ASSERT_TRUE(song) << error;
    for (float rate : {1.0f, 2.0f}) {
        song->SetEntryRate(0, rate);
        RenderOptions options;
        RenderResult result;
        ASSERT_TRUE(RenderSong(*song, Path("ramp-whole.wav"), options, &result, &error)) << error;
        Wav whole, part;
        ASSERT_TRUE(ReadWav(Path("ramp-whole.wav"), whole));
        // Half a second in at 60 per minute.
        options.fromBeat = 0.5;
        ASSERT_TRUE(RenderSong(*song, Path("ramp-part.wav"), options, &result, &error)) << error;
        ASSERT_TRUE(ReadWav(Path("ramp-part.wav"), part));
        EXPECT_EQ(result.chasedWaves, 1u) << rate;
        const size_t left = size_t(88200 / rate) - 22050; // frames of sound left
        ASSERT_GE(part.Frames(), left - 2000) << rate;
        EXPECT_LT(RelativeDifference(part, 500, whole, 22050 + 500, left - 3000), 0.05) << rate;
        EXPECT_LT(part.Peak(left + 1500, part.Frames()), 2) << rate;
    }
    // Past its end nothing resumes.
    song->SetEntryRate(0, 1.0f);
    RenderOptions options;
    options.fromBeat = 2.5;
    options.toBeat = 3.0;
    RenderResult result;
    ASSERT_TRUE(RenderSong(*song, Path("ramp-after.wav"), options, &result, &error)) << error;
    EXPECT_EQ(result.chasedWaves, 0u);
    EXPECT_TRUE(messages.Shown().empty());
}

// A render that cannot fit in the free space of the target's file system is refused before
// anything is written, saying what it needs and for how long a sound.
TEST_F(OfflineRender, RefusesUpFrontWhatWouldNotFit) {
    platform::ScopedRecordingMessages messages;
    const std::string mid = Path("long.mid");
    WriteMidi(mid, {1, 300});
    std::string error;
    auto song = OpenRenderInput(mid, &error);
    ASSERT_TRUE(song) << error;
    RenderOptions options;
    options.tempoBpm = 60; // about 300 beats: 5 minutes, and up to 10 s of tail
    options.sampleRate = 22050;
    std::string asked;
    options.freeSpace = [&](const std::string& folder, uint64_t* freeBytes) {
        asked = folder;
        *freeBytes = 20000000; // 20 MB: 5 minutes of 16-bit stereo at 22050 Hz need 27 MB
        return true;
    };
    RenderResult result;
    const std::string out = Path("long.wav");
    EXPECT_FALSE(RenderSong(*song, out, options, &result, &error));
    EXPECT_EQ(asked, fs::path(out).parent_path().string());
    EXPECT_NE(error.find("not enough free space"), std::string::npos) << error;
    EXPECT_NE(error.find("0:05:"), std::string::npos) << error; // the length of the sound
    EXPECT_NE(error.find("20.0 MB are free"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out));
    for (const auto& e : fs::directory_iterator(fs::path(out).parent_path()))
        EXPECT_EQ(e.path().filename().string().find("long.wav."), std::string::npos);

    // Ending early needs less: beat 20 fits.
    options.toBeat = 20.0;
    EXPECT_TRUE(RenderSong(*song, out, options, &result, &error)) << error;
}

// A render stopped by Ctrl-C or SIGTERM while it writes removes its temporary output and ends as
// the signal ends a program; the target is not made.
TEST_F(OfflineRender, StoppedRenderLeavesNoTemporaryBehind) {
    const std::string mid = Path("endless.mid");
    WriteMidi(mid, {1, 3000}); // 50 minutes at 60 per minute
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        const std::string out = Path(sig == SIGINT ? "int.wav" : "term.wav");
        const std::string cli = std::string(DENDRA_BINARY_DIR) + "/cli/dendra-cli";
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::freopen("/dev/null", "w", stderr);
            ::execl(cli.c_str(), cli.c_str(), "render", mid.c_str(), "-o", out.c_str(), "--tempo",
                    "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        auto temporaries = [&] {
            int n = 0;
            for (const auto& e : fs::directory_iterator(dir_))
                if (e.path().filename().string().rfind(fs::path(out).filename().string() + ".",
                                                       0) == 0)
                    ++n;
            return n;
        };
        // Wait until the output is being written (a minute at most on a busy machine).
        for (int i = 0; i < 600 && temporaries() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(temporaries(), 1) << "the render never started writing";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_EQ(temporaries(), 0);
        EXPECT_FALSE(fs::exists(out));
    }
}
