#include "song/offline_render.h"

#include "documents/text_form.h"
#include "formats/wave_file.h"
#include "platform/atomic_file.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "song/play_engine.h"
#include "song/song_document.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/synth_source.h"
#include "sync/sync.h"
#include "sync/wave_out.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/statvfs.h>
#include <vector>

namespace {

constexpr uint32_t kPeriodMs = 1;
constexpr float kSilence = 1.5849e-5f; // -96 dBFS
constexpr double kMaxTailSeconds = 10.0;
// The tail ends after this much sound below the silence level.
constexpr double kQuietSeconds = 0.05;
// A render of a song that never ends stops here (a day of sound), or sooner when the file could
// not hold more.
constexpr uint64_t kMaxSongSeconds = 24 * 3600;
// Samples gathered before each write to the file (256 KiB).
constexpr size_t kWriteSamples = 128 * 1024;
// The sound data a WAV file can hold (its sizes are 32-bit), less room for the header.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 1024;

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Extension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return Lower(path.substr(dot));
}

int16_t ToPcm(float f) {
    if (!(f == f)) return 0; // NaN
    float v = std::clamp(f, -1.0f, 1.0f) * 32767.0f;
    return int16_t(std::lrint(v));
}

// The offline wave output, telling what it takes.
class RenderWaveOut : public CWaveOut {
public:
    RenderWaveOut(dsync::mixer::AudioMixer& mixer, dsync::mixer::OfflineSink* sink,
                  const std::function<void(const EventWave&)>& taken)
        : CWaveOut(mixer, sink), taken_(taken) {}
    int AddEvent(EventWave* wave) override {
        const int took = CWaveOut::AddEvent(wave);
        if (took && taken_) taken_(*wave);
        return took;
    }

private:
    const std::function<void(const EventWave&)>& taken_;
};

// What the play engine plays through in a render: the clock on the manual timer, one MIDI output
// that takes every entry's events (the built-in synthesizer, or the device named), and a wave
// output on the offline mixer. The synthesizer plays into the same mixer.
class RenderDevices : public PlayDevices {
public:
    RenderDevices(dsync::GmSynth& synth, uint32_t rate,
                  const std::function<void(const EventWave&)>& waveTaken)
        : mixer(rate), sink(mixer, rate), source(synth), wave(mixer, &sink, waveTaken) {
        mixer.AddSource(&source);
    }
    ~RenderDevices() override {
        Close();
        mixer.RemoveSource(&source);
    }
    RenderDevices(const RenderDevices&) = delete;
    RenderDevices& operator=(const RenderDevices&) = delete;

    // "" when every device is open, else what could not be opened.
    std::string Open(platform::Window window, uint32_t midiDevice) {
        if (clock.OpenSync(window, 0, kPeriodMs, &timer) != 0)
            return "the clock could not be started";
        clockOpen_ = true;
        // A ring of 4096 messages (index 6).
        if (midi.OpenMidiOut(window, midiDevice, &clock, 6u << 12) != 0)
            return midiDevice == 0 ? "the built-in synthesizer could not be opened"
                                   : "the MIDI output could not be opened";
        if (!wave.OpenWaveOut(window, &clock, nullptr))
            return "the offline mixer could not be opened";
        return "";
    }
    void Close() {
        wave.Close();
        midi.Close();
        if (clockOpen_) clock.CloseSync();
        clockOpen_ = false;
        platform::Queue().Drain();
    }
    // Nothing waits to be sent or started.
    bool Idle() const {
        return midi.Count() == 0 && midi.noteOffList.head == nullptr && wave.pendingCount == 0;
    }

    CSync* Clock() override { return &clock; }
    // Every device plays through the one output.
    CMidiOut* MidiOutAt(uint32_t) override { return nullptr; }
    CMidiOut* DefaultMidiOut() override { return midi.IsOpen() ? &midi : nullptr; }
    std::vector<CMidiOut*> OpenMidiOuts() override {
        return midi.IsOpen() ? std::vector<CMidiOut*>{&midi} : std::vector<CMidiOut*>{};
    }
    CWaveOut* DefaultWaveOut() override { return wave.IsOpen() ? &wave : nullptr; }
    CMidiIn* DefaultMidiIn() override { return nullptr; }

    platform::ManualTimer timer;
    CSync clock;
    CMidiOut midi;
    dsync::mixer::AudioMixer mixer;
    dsync::mixer::OfflineSink sink;
    dsync::mixer::SynthSource source;
    RenderWaveOut wave;

private:
    bool clockOpen_ = false;
};

// The output file: 16-bit stereo PCM through the WAVE writer into a temporary file beside the
// target, whose header is completed when it is closed and which then replaces the target.
class RenderFile {
public:
    explicit RenderFile(const std::string& path) : path_(path), temp_(path) {}

    bool Open(uint32_t rate, std::string& error) {
        if (!temp_.Open()) {
            error = temp_.Error();
            return false;
        }
        WAVEFORMATEX f;
        f.wFormatTag = kWaveFormatPcm;
        f.nChannels = 2;
        f.nSamplesPerSec = rate;
        f.nAvgBytesPerSec = rate * 4;
        f.nBlockAlign = 4;
        f.wBitsPerSample = 16;
        if (!wav_.OpenWrite(temp_.TempPath(), f, {}, 0, sound::CWaveFile::kWrite)) {
            error = Failure("cannot write");
            return false;
        }
        return true;
    }
    bool Write(const int16_t* samples, size_t count, std::string& error) {
        const uint32_t bytes = uint32_t(count * sizeof(int16_t));
        if (wav_.Write(samples, bytes) == bytes) return true;
        error = Failure("cannot write");
        return false;
    }
    // Completes the header and puts the file in place.
    bool Commit(std::string& error) {
        if (!wav_.Close()) {
            error = Failure("cannot write");
            return false;
        }
        if (!temp_.Commit()) {
            error = temp_.Error();
            return false;
        }
        return true;
    }

private:
    std::string Failure(const char* what) const {
        const int e = errno;
        return std::string(what) + " " + path_ + (e ? std::string(": ") + std::strerror(e) : "");
    }

    std::string path_;
    platform::AtomicFileWriter temp_;
    sound::CWaveFile wav_;
};

bool SystemFreeSpace(const std::string& folder, uint64_t* freeBytes) {
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0) return false;
    *freeBytes = uint64_t(st.f_bavail) * uint64_t(st.f_frsize);
    return true;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

std::string Duration(double seconds) {
    const uint64_t s = uint64_t(std::ceil(seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", (unsigned long long)(s / 3600),
                  (unsigned long long)(s / 60 % 60), (unsigned long long)(s % 60));
    return text;
}

} // namespace

std::unique_ptr<CSongDoc> OpenRenderInput(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& text) -> std::unique_ptr<CSongDoc> {
        if (error) *error = text;
        return nullptr;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail("cannot open " + path);
    uint8_t head[8] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    uint32_t magic = 0;
    std::memcpy(&magic, head + 4, 4);
    std::string textError;
    const textform::TextKind text = textform::SniffFile(path, &textError);
    if (text == textform::TextKind::Invalid) return fail("cannot read " + path + ": " + textError);
    auto song = std::make_unique<CSongDoc>();
    if (Extension(path) == ".sng" || (in.gcount() == 8 && magic == kSongMagic) ||
        text == textform::TextKind::Song) {
        if (!song->OnOpenDocument(path)) return fail("cannot read the song " + path);
        return song;
    }
    song->OnNewDocument();
    std::shared_ptr<CChanDoc> doc = CSongDoc::OpenDocumentByPath(path);
    if (!doc) return fail("cannot read " + path);
    if (song->IncludeDocument(doc) <= 0) return fail("a song cannot include " + path);
    return song;
}

bool RenderSong(CSongDoc& song, const std::string& outPath, const RenderOptions& options,
                RenderResult* result, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    RenderResult r;
    const uint32_t rate = options.sampleRate;
    if (rate < 8000 || rate > 192000) return fail("the sample rate must be 8000 to 192000");
    if (options.tempoBpm != 0.0 && !(options.tempoBpm >= 30.0 && options.tempoBpm <= 960.0))
        return fail("the tempo must be 30 to 960 beats per minute");
    if (!(options.fromBeat >= 0.0 && options.fromBeat < 1e6))
        return fail("the start beat must be 0 or more");
    if (options.toBeat >= 0.0 && !(options.toBeat > options.fromBeat && options.toBeat < 1e6))
        return fail("the end beat must lie after the start beat");

    // Refused up front when the sound cannot fit: the song's beats at the starting tempo (what
    // tempo changes do is not known before playing) and the longest tail.
    {
        double beats = double(song.GetLength(1));
        if (options.toBeat >= 0.0) beats = std::min(beats, options.toBeat);
        beats = std::max(beats - options.fromBeat, 0.0);
        const double secondsPerBeat = options.tempoBpm > 0.0 ? 60.0 / options.tempoBpm : 1.0;
        const double seconds =
            std::min(beats * secondsPerBeat, double(kMaxSongSeconds)) + kMaxTailSeconds;
        const uint64_t need =
            std::min<uint64_t>(uint64_t(seconds * rate) * 4, kMaxDataBytes) + 1024; // + headers
        uint64_t freeBytes = 0;
        const std::string folder = FolderOf(outPath);
        const bool known = options.freeSpace ? options.freeSpace(folder, &freeBytes)
                                             : SystemFreeSpace(folder, &freeBytes);
        if (known && need > freeBytes)
            return fail("not enough free space for " + outPath + ": the render needs about " +
                        Megabytes(need) + " for " + Duration(seconds) + " of sound at " +
                        std::to_string(rate) + " Hz, and only " + Megabytes(freeBytes) +
                        " are free there");
    }

    dsync::GmSynth& synth = dsync::BuiltInSynth();
    synth.SetSoundFontSetting(options.soundFont);
    if (!options.soundFont.empty() &&
        dsync::GmSynth::FindSoundFont(options.soundFont) != options.soundFont)
        return fail("cannot read the soundfont " + options.soundFont);
    synth.Unload();
    if (!synth.Load(double(rate))) return fail("no General MIDI soundfont could be loaded");
    synth.SetTimeOrigin(0, synth.RenderedFrames());

    RenderFile file(outPath);
    std::string why;
    if (!file.Open(rate, why)) return fail(why);

    // The engine outlives the devices, which report to its window.
    CPlayEngine engine;
    platform::Queue().Drain();
    RenderDevices devices(synth, rate, options.waveTaken);
    why = devices.Open(engine.Window(), options.midiDevice);
    if (!why.empty()) return fail(why);
    CSync& clock = devices.clock;
    clock.SetResolution(kSongPlayResolution);
    clock.SetTempo(options.tempoBpm > 0.0 ? uint32_t(std::lround(60e6 / options.tempoBpm))
                                          : 1000000u);

    song.SetTicksPerBeat(0, kSongPlayResolution);
    song.Prepare();
    const uint32_t startTick = uint32_t(std::llround(options.fromBeat * kSongPlayResolution));
    const uint64_t endTick = options.toBeat >= 0.0
                                 ? uint64_t(std::llround(options.toBeat * kSongPlayResolution))
                                 : CPlayEngine::kNoEnd;
    double lengthTicks = double(song.GetLength(1)) * kSongPlayResolution;
    if (endTick != CPlayEngine::kNoEnd) lengthTicks = double(endTick);
    lengthTicks = std::max(lengthTicks - double(startTick), 1.0);
    engine.SetDevices(&devices);
    engine.SetSong(&song);
    // The entries' settings and what the earlier events left go out first, then the song.
    if (!engine.PlayRange(startTick, endTick)) return fail("the song cannot be played");

    // The sound goes to the file in large writes, not one per period.
    std::vector<int16_t> pcm;
    pcm.reserve(kWriteSamples + 2 * size_t(rate));
    bool writeFailed = false;
    auto flush = [&] {
        if (!pcm.empty() && !writeFailed && !file.Write(pcm.data(), pcm.size(), why))
            writeFailed = true;
        pcm.clear();
    };
    uint64_t pulled = 0;
    auto pullTo = [&](int64_t ns) {
        const uint64_t target = uint64_t((__int128)ns * rate / 1000000000);
        if (target <= pulled) return;
        const uint32_t n = uint32_t(target - pulled);
        const float* f = devices.sink.Pull(n);
        const size_t at = pcm.size();
        pcm.resize(at + size_t(n) * 2);
        int16_t* out = pcm.data() + at;
        float peak = r.peak;
        for (uint32_t i = 0; i < n * 2; ++i) {
            peak = std::max(peak, std::fabs(f[i]));
            out[i] = ToPcm(f[i]);
        }
        r.peak = peak;
        if (pcm.size() >= kWriteSamples) flush();
        pulled = target;
    };
    // One period: the clock's tick, then what it and the outputs posted (the engine's beats and
    // refills among them), then the sound of the period.
    auto step = [&] {
        devices.timer.Advance(1);
        platform::Queue().Drain();
        pullTo(devices.timer.NowNs());
    };

    // The song, until the engine has handed out all of it and nothing waits to sound, or until
    // the end beat.
    const uint64_t tailFrames = uint64_t(kMaxTailSeconds * rate) + rate;
    const uint64_t maxSongFrames = std::min(kMaxSongSeconds * rate, kMaxDataBytes / 4 - tailFrames);
    bool cut = endTick != CPlayEngine::kNoEnd;
    double lastProgress = -1.0;
    while (!writeFailed && engine.IsPlaying()) {
        if (engine.SongHandedOut() && devices.Idle()) break;
        if (uint64_t(clock.now.load()) >= endTick || pulled >= maxSongFrames) {
            cut = true;
            break;
        }
        step();
        if (options.progress) {
            double done = std::min(double(clock.now.load() - startTick) / lengthTicks, 1.0);
            if (done - lastProgress >= 0.01) {
                options.progress(done);
                lastProgress = done;
            }
        }
    }
    // At an end beat nothing may keep sounding.
    if (cut) engine.Stop();
    r.songFrames = pulled;
    r.setupEvents = engine.SetupSent();
    r.chasedWaves = uint64_t(engine.ChasedWaves());
    r.midiEvents = engine.EventsSent();
    r.lateEvents = engine.LateEvents();
    r.waveEvents = engine.WavesSent();

    // The tail: until the sound stays below -96 dBFS, at most ten seconds.
    const uint64_t quietFrames = uint64_t(kQuietSeconds * rate);
    const uint64_t tailEnd = pulled + uint64_t(kMaxTailSeconds * rate);
    uint64_t quiet = 0;
    while (!writeFailed && pulled < tailEnd && quiet < quietFrames) {
        const uint64_t before = pulled;
        const float peakBefore = r.peak;
        r.peak = 0.0f;
        step();
        const bool loud = r.peak >= kSilence;
        r.peak = std::max(r.peak, peakBefore);
        quiet = loud ? 0 : quiet + (pulled - before);
    }
    flush();
    if (options.progress) options.progress(1.0);

    engine.Stop();
    engine.SetDevices(nullptr);
    devices.Close();

    if (writeFailed) return fail(why);
    r.frames = pulled;
    if (!file.Commit(why)) return fail(why);
    if (result) *result = r;
    return true;
}
