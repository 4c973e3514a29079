#include "song/offline_render.h"

#include "docs/song_doc.h"
#include "events/song_event.h"
#include "platform/atomic_file.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/messages.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/synth_source.h"
#include "sync/sync.h"
#include "sync/wave_out.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr uint32_t kPeriodMs = 1;
// Events are handed to the outputs this many ticks (a beat at the song's resolution) ahead.
constexpr uint32_t kLookAheadTicks = 1000;
constexpr float kSilence = 1.5849e-5f; // -96 dBFS
constexpr double kMaxTailSeconds = 10.0;
// The tail ends after this much sound below the silence level.
constexpr double kQuietSeconds = 0.05;
// A render of a song that never ends stops here (a day of sound).
constexpr uint64_t kMaxSongSeconds = 24 * 3600;

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

// Receives what the clock and the outputs post; the renderer polls instead.
class QuietWindow : public platform::MessageTarget {
public:
    QuietWindow() : window_(platform::Queue().Register(this)) {}
    ~QuietWindow() override { platform::Queue().Unregister(window_); }
    void HandleMessage(uint32_t message, uintptr_t, intptr_t) override {
        if (message == dsync::kMsgRefill) ++refills;
    }
    platform::Window Handle() const { return window_; }
    uint64_t refills = 0;

private:
    platform::Window window_;
};

void PutU16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    PutU16(b, v & 0xFFFF);
    PutU16(b, v >> 16);
}

std::vector<uint8_t> WavHeader(uint32_t rate, uint64_t frames) {
    const uint64_t data = frames * 4;
    const uint32_t dataBytes = data > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : uint32_t(data);
    std::vector<uint8_t> h;
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    PutU32(h, 36 + dataBytes);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutU32(h, 16);
    PutU16(h, 1); // PCM
    PutU16(h, 2);
    PutU32(h, rate);
    PutU32(h, rate * 4);
    PutU16(h, 4);
    PutU16(h, 16);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    PutU32(h, dataBytes);
    return h;
}

int16_t ToPcm(float f) {
    if (!(f == f)) return 0; // NaN
    float v = std::clamp(f, -1.0f, 1.0f) * 32767.0f;
    return int16_t(std::lrint(v));
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
    auto song = std::make_unique<CSongDoc>();
    if (Extension(path) == ".sng" || (in.gcount() == 8 && magic == kSongMagic)) {
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

    dsync::GmSynth& synth = dsync::BuiltInSynth();
    synth.SetSoundFontSetting(options.soundFont);
    if (!options.soundFont.empty() &&
        dsync::GmSynth::FindSoundFont(options.soundFont) != options.soundFont)
        return fail("cannot read the soundfont " + options.soundFont);
    synth.Unload();
    if (!synth.Load(double(rate))) return fail("no General MIDI soundfont could be loaded");
    synth.SetTimeOrigin(0, synth.RenderedFrames());

    platform::AtomicFileWriter file(outPath);
    if (!file.Open()) return fail(file.Error());
    std::vector<uint8_t> header = WavHeader(rate, 0);
    if (!file.Write(header.data(), header.size())) return fail(file.Error());

    QuietWindow window;
    platform::Queue().Drain();
    dsync::mixer::AudioMixer mixer(rate);
    dsync::mixer::OfflineSink sink(mixer, rate);
    dsync::mixer::SynthSource source(synth);
    mixer.AddSource(&source);
    platform::ManualTimer timer;
    CSync clock;
    if (clock.OpenSync(window.Handle(), 0, kPeriodMs, &timer) != 0)
        return fail("the clock could not be started");
    clock.SetResolution(kSongPlayResolution);
    clock.SetTempo(options.tempoBpm > 0.0 ? uint32_t(std::lround(60e6 / options.tempoBpm))
                                          : 1000000u);
    CMidiOut midi;
    // A ring of 4096 messages (index 6).
    if (midi.OpenMidiOut(window.Handle(), 0, &clock, 6u << 12) != 0) {
        clock.CloseSync();
        return fail("the built-in synthesizer could not be opened");
    }
    CWaveOut wave(mixer, &sink);
    if (!wave.OpenWaveOut(window.Handle(), &clock, nullptr)) {
        midi.Close();
        clock.CloseSync();
        return fail("the offline mixer could not be opened");
    }

    song.SetTicksPerBeat(0, kSongPlayResolution);
    song.Prepare();
    song.Seek(options.fromBeat, false);
    const uint32_t startTick = uint32_t(std::llround(options.fromBeat * kSongPlayResolution));
    const uint64_t endTick = options.toBeat >= 0.0
                                 ? uint64_t(std::llround(options.toBeat * kSongPlayResolution))
                                 : UINT64_MAX;
    double lengthTicks = double(song.GetLength(1)) * kSongPlayResolution;
    if (endTick != UINT64_MAX) lengthTicks = double(endTick);
    lengthTicks = std::max(lengthTicks - double(startTick), 1.0);
    clock.StartSync(startTick);

    std::vector<int16_t> pcm;
    bool writeFailed = false;
    uint64_t pulled = 0;
    auto pullTo = [&](int64_t ns) {
        const uint64_t target = uint64_t((__int128)ns * rate / 1000000000);
        if (target <= pulled) return;
        const uint32_t n = uint32_t(target - pulled);
        const float* f = sink.Pull(n);
        pcm.resize(size_t(n) * 2);
        for (uint32_t i = 0; i < n * 2; ++i) {
            r.peak = std::max(r.peak, std::fabs(f[i]));
            pcm[i] = ToPcm(f[i]);
        }
        if (!writeFailed && !file.Write(pcm.data(), pcm.size() * sizeof(int16_t)))
            writeFailed = true;
        pulled = target;
    };
    auto step = [&] {
        timer.Advance(1);
        platform::Queue().Drain();
        pullTo(timer.NowNs());
    };

    // The song: hand events out a beat ahead; a refused event comes again at the next period.
    bool ended = false, cut = false;
    double lastProgress = -1.0;
    const uint64_t maxPeriods = kMaxSongSeconds * 1000 / kPeriodMs;
    uint64_t periods = 0;
    while (!writeFailed && periods < maxPeriods) {
        const uint32_t now = clock.now.load();
        while (!ended) {
            int device = 0;
            SongEvent* e = song.GetNextEvent(device);
            if (CSongDoc::IsEndMarker(e) || uint64_t(e->time) >= endTick) {
                ended = true;
                // A song cut at an end beat plays on to that beat.
                cut = !CSongDoc::IsEndMarker(e);
                break;
            }
            if (e->time > now + kLookAheadTicks) {
                song.StepBack();
                break;
            }
            if (device == kDeviceNone) continue;
            if (e->IsWave()) {
                if (wave.AddEvent(static_cast<EventWave*>(e)) == 0) {
                    if (wave.pendingCount < CWaveOut::kMaxPending) continue;
                    song.StepBack();
                    break;
                }
                ++r.waveEvents;
                continue;
            }
            auto* m = static_cast<EventMidi*>(e);
            if (midi.MidiOut(m) == dsync::kQueueFull) {
                song.StepBack();
                break;
            }
            if (m->time < now) ++r.lateEvents;
            ++r.midiEvents;
        }
        const bool idle = ended && midi.Count() == 0 && midi.noteOffList.head == nullptr &&
                          wave.pendingCount == 0 && !cut;
        if (idle || uint64_t(clock.now.load()) >= endTick) break;
        step();
        ++periods;
        if (options.progress) {
            double done = std::min(double(clock.now.load() - startTick) / lengthTicks, 1.0);
            if (done - lastProgress >= 0.01) {
                options.progress(done);
                lastProgress = done;
            }
        }
    }
    // At an end beat nothing may keep sounding.
    if (endTick != UINT64_MAX) {
        midi.NotesOff();
        wave.Stop();
    }
    r.songFrames = pulled;

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
    if (options.progress) options.progress(1.0);

    clock.StopSync();
    wave.Close();
    midi.Close();
    clock.CloseSync();
    platform::Queue().Drain();
    mixer.RemoveSource(&source);

    if (writeFailed) return fail(file.Error());
    r.frames = pulled;
    header = WavHeader(rate, pulled);
    if (::lseek(file.Fd(), 0, SEEK_SET) != 0 || !file.Write(header.data(), header.size()))
        return fail("cannot write " + outPath);
    if (!file.Commit()) return fail(file.Error());
    if (result) *result = r;
    return true;
}
