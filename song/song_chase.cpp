#include "song/song_chase.h"

#include "events/song_event.h"
#include "events/wave_sound.h"
#include "song/song_document.h"
#include "sync/mixer/audio_mixer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>

namespace {

uint32_t Short(int status, int data1, int data2) {
    return uint32_t(status & 0xFF) | uint32_t(data1 & 0x7F) << 8 | uint32_t(data2 & 0x7F) << 16;
}

// What the events before the start leave on one MIDI channel of one output.
class ChannelState {
public:
    ChannelState() { cc_.fill(-1); }

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

// Tempo changes before the start, to tell how long a sound has been playing.
class TempoMap {
public:
    TempoMap(uint32_t startTempo, double ticksPerBeat) : ticksPerBeat_(ticksPerBeat) {
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
        return us / 1e6 / ticksPerBeat_;
    }

private:
    double ticksPerBeat_;
    std::vector<std::pair<uint32_t, uint32_t>> changes_;
};

// The byte offset at which a sound that started `seconds` ago plays now, as the wave output plays
// it (to the end of its data at its rate, or round and round when it loops); false when it has
// ended or cannot play.
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

// A sound started before the start.
struct EarlierWave {
    int entry = 0;
    uint32_t time = 0;
    double endTick = 0.0; // where a duration of its own ends it (infinity without one)
    std::unique_ptr<EventWave> wave;
};

} // namespace

SongChase ChaseSong(CSongDoc& song, const ChaseRequest& request) {
    SongChase chase;
    const int ports = std::max(request.ports, 0);
    chase.messages.resize(size_t(ports));
    const uint32_t startTick = request.startTick;
    const double ticksPerBeat = 1000.0 / song.TimeFactor();
    TempoMap tempos(request.tempo ? request.tempo : 1000000u, ticksPerBeat);
    std::vector<std::array<ChannelState, 16>> channels(static_cast<size_t>(ports));
    std::vector<EarlierWave> earlier;
    std::vector<int> reached;
    size_t pruneAt = 64;
    bool tempoChanged = false;
    auto sounding = [&](const EarlierWave& w, uint32_t at, uint32_t& offset) {
        return double(at) < w.endTick && ResumeOffset(*w.wave, tempos.Seconds(w.time, at), offset);
    };

    song.Seek(0.0, request.recording);
    if (startTick > 0) {
        for (;;) {
            int device = 0;
            SongEvent* e = song.GetNextEvent(device);
            if (CSongDoc::IsEndMarker(e) || e->time >= startTick) break;
            if (device == kDeviceNone) continue;
            if (e->IsWave()) {
                // Forget the sounds that have ended by now, so that a long song keeps few of
                // them (less and less often while many keep sounding).
                if (earlier.size() >= pruneAt) {
                    std::erase_if(earlier, [&](const EarlierWave& w) {
                        uint32_t offset = 0;
                        return !sounding(w, e->time, offset);
                    });
                    pruneAt = std::max<size_t>(64, 2 * earlier.size());
                }
                EarlierWave w;
                w.entry = song.CurrentEntry();
                w.time = e->time;
                w.endTick = HUGE_VAL;
                const SongEntry& entry = song.Entry(w.entry);
                if (e->GetDuration() > 0 && entry.document) {
                    // Its duration is in its document's units, at its entry's rate.
                    const double units = entry.document->GetTicksPerBeat(kUnitsPerBeat);
                    const double rate = entry.settings.rate;
                    if (units > 0.0 && rate > 0.0)
                        w.endTick = double(e->time) +
                                    double(e->GetDuration()) * ticksPerBeat / (units * rate);
                }
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
                if (request.followTempo && value != 0 && 60000000u / value < 1000) {
                    tempos.Change(m.time, value);
                    tempoChanged = true;
                }
                continue;
            }
            if (m.status < 0x80 || m.status >= 0xF0 || !request.route) continue;
            reached.clear();
            request.route(device, reached);
            for (int port : reached)
                if (port >= 0 && port < ports)
                    channels[size_t(port)][m.status & 0x0F].Take(m.status, m.data1, m.data2);
        }
    }
    chase.tempo = tempoChanged ? tempos.Last() : 0;
    for (int port = 0; port < ports; ++port)
        for (uint8_t ch = 0; ch < 16; ++ch)
            channels[size_t(port)][ch].Messages(ch, chase.messages[size_t(port)]);
    for (EarlierWave& w : earlier) {
        uint32_t offset = 0;
        if (!sounding(w, startTick, offset)) continue;
        ChasedWave c;
        c.entry = w.entry;
        c.time = w.time;
        c.wave = std::move(w.wave);
        c.wave->time = startTick;
        c.wave->startOffset = int32_t(offset);
        chase.waves.push_back(std::move(c));
    }
    return chase;
}
