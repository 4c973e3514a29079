#include "song/offline_render.h"

#include "events/song_event.h"
#include "events/wave_sound.h"
#include "platform/atomic_file.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "song/entry_settings.h"
#include "song/song_document.h"
#include "sync/drivers/synth/gm_synth.h"
#include "sync/messages.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/mixer/synth_source.h"
#include "sync/sync.h"
#include "sync/wave_out.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
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
// Samples gathered before each write to the file (256 KiB).
constexpr size_t kWriteSamples = 128 * 1024;

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

uint32_t Short(int status, int data1, int data2) {
    return uint32_t(status & 0xFF) | uint32_t(data1 & 0x7F) << 8 | uint32_t(data2 & 0x7F) << 16;
}

// What the events before the start beat leave on one MIDI channel.
class ChannelChase {
public:
    ChannelChase() { cc_.fill(-1); }

    void Take(uint8_t status, uint8_t data1, uint8_t data2) {
        const int d1 = data1 & 0x7F, d2 = data2 & 0x7F;
        switch (status & 0xF0) {
        case 0xB0:
            TakeController(d1, int16_t(d2));
            break;
        case 0xC0:
            program_ = int16_t(d1);
            bankAtProgram_ = {cc_[0], cc_[32]};
            break;
        case 0xD0:
            pressure_ = int16_t(d1);
            break;
        case 0xE0:
            bend_ = int16_t(d1 | d2 << 7);
            break;
        default:
            break;
        }
    }

    // The messages that set the state up again, in an order in which they take effect: the bank
    // in force at the program change, the program, the bank selected since, the controllers, the
    // parameters with the selection restored, the bend and the pressure.
    void Messages(uint8_t channel, std::vector<uint32_t>& out) const {
        const uint8_t cs = uint8_t(0xB0 | channel);
        auto control = [&](int number, int value) { out.push_back(Short(cs, number, value)); };
        if (program_ >= 0) {
            if (bankAtProgram_[0] >= 0) control(0, bankAtProgram_[0]);
            if (bankAtProgram_[1] >= 0) control(32, bankAtProgram_[1]);
            out.push_back(Short(0xC0 | channel, program_, 0));
        }
        for (int n : {0, 32})
            if (cc_[size_t(n)] >= 0 && (program_ < 0 || cc_[size_t(n)] != bankAtProgram_[n / 32]))
                control(n, cc_[size_t(n)]);
        for (int n = 1; n < 120; ++n)
            if (cc_[size_t(n)] >= 0 && !IsBank(n) && !IsParameterControl(n))
                control(n, cc_[size_t(n)]);
        for (const auto& [key, value] : params_) {
            const bool registered = (key >> 14) == 1;
            control(registered ? 101 : 99, int((key >> 7) & 0x7F));
            control(registered ? 100 : 98, int(key & 0x7F));
            if (value[0] >= 0) control(6, value[0]);
            if (value[1] >= 0) control(38, value[1]);
        }
        if (selected_ == 1) {
            control(101, Held(101));
            control(100, Held(100));
        } else if (selected_ == 2) {
            control(99, Held(99));
            control(98, Held(98));
        } else if (!params_.empty()) {
            control(101, 127); // no parameter selected
            control(100, 127);
        }
        if (bend_ >= 0) out.push_back(Short(0xE0 | channel, bend_ & 0x7F, bend_ >> 7));
        if (pressure_ >= 0) out.push_back(Short(0xD0 | channel, pressure_, 0));
    }

private:
    static bool IsBank(int n) { return n == 0 || n == 32; }
    // Data entry, increment and decrement, and the parameter selections: chased as parameters.
    static bool IsParameterControl(int n) { return n == 6 || n == 38 || (n >= 96 && n <= 101); }
    // A selection byte never sent is the null parameter's.
    int Held(int n) const { return cc_[size_t(n)] >= 0 ? cc_[size_t(n)] : 127; }

    void TakeController(int n, int16_t v) {
        if (n == 101 || n == 100) selected_ = 1;
        if (n == 99 || n == 98) selected_ = 2;
        if (n == 6 || n == 38) {
            const int msb = selected_ == 1 ? Held(101) : Held(99);
            const int lsb = selected_ == 1 ? Held(100) : Held(98);
            if (selected_ == 0 || (msb == 127 && lsb == 127)) return;
            params_[uint32_t(selected_) << 14 | uint32_t(msb) << 7 | uint32_t(lsb)]
                   [n == 6 ? 0 : 1] = v;
            return;
        }
        if (n == 121) {
            // Reset all controllers: the ones it resets take their defaults, which a fresh
            // synthesizer has already; volume, balance, bank and effect levels stay.
            for (int r : {1, 11, 64, 65, 66, 67, 98, 99, 100, 101}) cc_[size_t(r)] = -1;
            selected_ = 0;
            bend_ = -1;
            pressure_ = -1;
            return;
        }
        // Sound and notes off, local control and the mode messages leave no state to chase.
        if (n >= 120) return;
        cc_[size_t(n)] = v;
    }

    std::array<int16_t, 128> cc_;
    int16_t program_ = -1;
    std::array<int16_t, 2> bankAtProgram_ = {-1, -1};
    int16_t bend_ = -1;
    int16_t pressure_ = -1;
    int selected_ = 0; // 1 a registered parameter, 2 a non-registered one, 0 none
    // (kind << 14 | number) -> data entry MSB and LSB (-1: not set).
    std::map<uint32_t, std::array<int16_t, 2>> params_;
};

// Tempo changes before the start beat, to tell how long a sound has been playing.
class TempoMap {
public:
    TempoMap(uint32_t startTempo, uint32_t resolution) : resolution_(resolution) {
        changes_.push_back({0, startTempo});
    }
    void Change(uint32_t tick, uint32_t microsecondsPerBeat) {
        if (changes_.back().first == tick)
            changes_.back().second = microsecondsPerBeat;
        else
            changes_.push_back({tick, microsecondsPerBeat});
    }
    uint32_t Last() const { return changes_.back().second; }
    // Seconds from one tick to a later one.
    double Seconds(uint32_t from, uint32_t to) const {
        double us = 0.0;
        for (size_t i = 0; i < changes_.size(); ++i) {
            const uint64_t a = std::max<uint64_t>(from, changes_[i].first);
            const uint64_t b =
                std::min<uint64_t>(to, i + 1 < changes_.size() ? changes_[i + 1].first : to);
            if (b > a) us += double(b - a) * changes_[i].second;
        }
        return us / 1e6 / resolution_;
    }

private:
    uint32_t resolution_;
    std::vector<std::pair<uint32_t, uint32_t>> changes_;
};

// A sound started before the start beat.
struct EarlierWave {
    uint32_t time = 0;
    std::unique_ptr<EventWave> wave; // a reference copy (never releases the sound)
};

// The byte offset at which a sound that started `seconds` ago plays now, as the wave output plays
// it (to the end of its data at its rate, or round and round when it loops); false when it has
// ended.
bool ResumeOffset(const EventWave& w, double seconds, uint32_t& offset) {
    const WAVEFORMATEX& f = w.info.format;
    if (!w.sound || f.nAvgBytesPerSec == 0) return false;
    const uint64_t block = std::max<uint32_t>(f.nBlockAlign, 1);
    const uint64_t length = w.sound->DataLength() / block * block;
    const uint64_t start =
        std::min<uint64_t>(uint64_t(std::max<int32_t>(w.startOffset, 0)) / block * block, length);
    double rate = 1.0;
    if ((w.info.options & kWaveCtrlFrequency) && f.nSamplesPerSec > 0) {
        const double hz =
            std::clamp(double(f.nSamplesPerSec) * w.info.rateFactor,
                       double(dsync::mixer::kMinFrequency), double(dsync::mixer::kMaxFrequency));
        rate = hz / f.nSamplesPerSec;
    }
    const double bytes = std::floor(seconds * rate * f.nAvgBytesPerSec);
    if (!(bytes >= 0.0) || length == 0) return false;
    uint64_t played = bytes >= 1.8e19 ? UINT64_MAX : uint64_t(bytes);
    played -= played % block;
    uint64_t at;
    if (w.info.loop) {
        at = (start + played % length) % length;
    } else {
        if (played >= length - start) return false;
        at = start + played;
    }
    if (at > uint64_t(INT32_MAX)) return false;
    offset = uint32_t(at);
    return true;
}

// What a render from a later beat sets up before the song's first event: the state the events
// before that beat leave, found by merging them from the song's start. Leaves the song seeked
// to 0 (seek again before playing).
struct StartSetup {
    uint32_t tempo = 0;             // microseconds per beat in force at the start
    std::vector<uint32_t> messages; // short messages, status in the low byte
    std::vector<std::unique_ptr<EventWave>> waves;
};

void ChaseTo(CSongDoc& song, uint32_t startTick, uint32_t startTempo, StartSetup& setup) {
    std::array<ChannelChase, 16> channels;
    TempoMap tempos(startTempo, kSongPlayResolution);
    std::vector<EarlierWave> earlier;
    size_t pruneAt = 64;
    bool tempoChanged = false;
    song.Seek(0.0, false);
    for (;;) {
        int device = 0;
        SongEvent* e = song.GetNextEvent(device);
        if (CSongDoc::IsEndMarker(e) || e->time >= startTick) break;
        if (device == kDeviceNone) continue;
        if (e->IsWave()) {
            // Forget the sounds that have ended by now, so that a long song keeps few of them
            // (less and less often while many keep sounding).
            if (earlier.size() >= pruneAt) {
                std::erase_if(earlier, [&](const EarlierWave& w) {
                    uint32_t offset = 0;
                    return !ResumeOffset(*w.wave, tempos.Seconds(w.time, e->time), offset);
                });
                pruneAt = std::max<size_t>(64, 2 * earlier.size());
            }
            EarlierWave w;
            w.time = e->time;
            w.wave = std::make_unique<EventWave>();
            w.wave->flags = kWaveReference;
            w.wave->CopyFrom(*e);
            w.wave->flags |= kWaveReference;
            earlier.push_back(std::move(w));
            continue;
        }
        const auto& m = static_cast<const EventMidi&>(*e);
        if (m.status == 0) {
            // A tempo event, taken as the MIDI output takes it.
            const uint32_t value = uint32_t(m.data1) << 16 | uint32_t(m.data2) << 8 | m.data3;
            if (value != 0 && 60000000u / value < 1000) {
                tempos.Change(m.time, value);
                tempoChanged = true;
            }
            continue;
        }
        if (m.status >= 0x80 && m.status < 0xF0)
            channels[m.status & 0x0F].Take(m.status, m.data1, m.data2);
    }
    setup.tempo = tempoChanged ? tempos.Last() : 0;
    for (uint8_t ch = 0; ch < 16; ++ch) channels[ch].Messages(ch, setup.messages);
    for (EarlierWave& w : earlier) {
        uint32_t offset = 0;
        if (!ResumeOffset(*w.wave, tempos.Seconds(w.time, startTick), offset)) continue;
        w.wave->time = startTick;
        w.wave->startOffset = int32_t(offset);
        setup.waves.push_back(std::move(w.wave));
    }
}

// Every entry's level, balance and program, as a play sends them before the song starts.
void EntryControllers(CSongDoc& song, std::vector<uint32_t>& out) {
    const int channels = std::min(song.EntryCount(), 16);
    for (int ch = 0; ch < channels; ++ch) {
        out.push_back(Short(0xB0 | ch, 7, 127));
        out.push_back(Short(0xB0 | ch, 39, 127));
    }
    for (int i = 0; i < song.EntryCount(); ++i) {
        const EntrySettings& s = song.Settings(i);
        if (s.muted || s.device == kDeviceNone) continue;
        const int ch = std::clamp(int(s.channel), 0, 15);
        const int level = std::clamp(int(s.volume * 127.9f), 0, 127);
        const int pan = std::clamp(int(s.pan * 127.0f), 0, 127);
        const int program = std::clamp(int(s.program), 0, 127);
        out.push_back(Short(0xB0 | ch, 7, level));
        out.push_back(Short(0xB0 | ch, 39, level));
        out.push_back(Short(0xB0 | ch, 10, pan));
        out.push_back(Short(0xC0 | ch, program, 0));
    }
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
    if (midi.OpenMidiOut(window.Handle(), options.midiDevice, &clock, 6u << 12) != 0) {
        clock.CloseSync();
        return fail(options.midiDevice == 0 ? "the built-in synthesizer could not be opened"
                                            : "the MIDI output could not be opened");
    }
    CWaveOut wave(mixer, &sink);
    if (!wave.OpenWaveOut(window.Handle(), &clock, nullptr)) {
        midi.Close();
        clock.CloseSync();
        return fail("the offline mixer could not be opened");
    }

    song.SetTicksPerBeat(0, kSongPlayResolution);
    song.Prepare();
    const uint32_t startTick = uint32_t(std::llround(options.fromBeat * kSongPlayResolution));
    // What goes out before the song's first event: the entries' settings, then, from a later
    // beat, the state the earlier events left.
    StartSetup setup;
    EntryControllers(song, setup.messages);
    if (startTick > 0) {
        ChaseTo(song, startTick, clock.GetTempo(), setup);
        if (setup.tempo) clock.SetTempo(setup.tempo);
    }
    song.Seek(options.fromBeat, false);
    size_t setupSent = 0, wavesSent = 0;
    const uint64_t endTick = options.toBeat >= 0.0
                                 ? uint64_t(std::llround(options.toBeat * kSongPlayResolution))
                                 : UINT64_MAX;
    double lengthTicks = double(song.GetLength(1)) * kSongPlayResolution;
    if (endTick != UINT64_MAX) lengthTicks = double(endTick);
    lengthTicks = std::max(lengthTicks - double(startTick), 1.0);
    clock.StartSync(startTick);

    // The sound goes to the file in large writes, not one per period.
    std::vector<int16_t> pcm;
    pcm.reserve(kWriteSamples + 2 * size_t(rate));
    bool writeFailed = false;
    auto flush = [&] {
        if (!pcm.empty() && !writeFailed && !file.Write(pcm.data(), pcm.size() * sizeof(int16_t)))
            writeFailed = true;
        pcm.clear();
    };
    uint64_t pulled = 0;
    auto pullTo = [&](int64_t ns) {
        const uint64_t target = uint64_t((__int128)ns * rate / 1000000000);
        if (target <= pulled) return;
        const uint32_t n = uint32_t(target - pulled);
        const float* f = sink.Pull(n);
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
        // The setup first; what does not fit goes out at the next period, before the song.
        for (; setupSent < setup.messages.size(); ++setupSent) {
            const uint32_t m = setup.messages[setupSent];
            EventMidi e(startTick, uint8_t(m), uint8_t(m >> 8), uint8_t(m >> 16));
            if (midi.MidiOut(&e) == dsync::kQueueFull) break;
        }
        for (; wavesSent < setup.waves.size(); ++wavesSent) {
            if (wave.AddEvent(setup.waves[wavesSent].get()) != 0) {
                ++r.chasedWaves;
            } else if (wave.pendingCount >= CWaveOut::kMaxPending) {
                break;
            }
        }
        const bool setupDone =
            setupSent == setup.messages.size() && wavesSent == setup.waves.size();
        while (!ended && setupDone) {
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
        const bool idle = setupDone && ended && midi.Count() == 0 &&
                          midi.noteOffList.head == nullptr && wave.pendingCount == 0 && !cut;
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
    r.setupEvents = setupSent;

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
