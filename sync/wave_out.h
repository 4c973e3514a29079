// CWaveOut: plays wave events at their clock times through the audio mixer.
//
// Pending wave events (copies) wait in a time-ordered list guarded by the named mutex
// "QUAVWAVELIST", at most 30 of them. The clock's tick posts 0x402 to the output's service window
// once the first pending event is a beat away or less (the stream is prepared then) and 0x403 when
// it is due (the stream starts; on JACK at the frame of the event's tick, with the latency the
// synthesizer and the JACK MIDI outputs keep, so the three sound together). Both are handled on the
// thread that drains the platform message queue (the user-interface thread): the tick itself only
// reads and clears the next event time.
//
// Each sounding wave plays in one of at most six stream buffers, used round robin. A stream buffer
// is a mixer voice: three seconds of sound in three segments, refilled segment by segment by a
// thread of its own under the wave's named mutex; a sound longer than one second that fits in three
// seconds is loaded whole into a static buffer of exactly its length. A stream buffer that holds a
// wave of the same name is reused; when the start offset and the sound are also the same, its data
// stays and it is only rewound.
//
// Both forms of the output, the mixer-backed ("DirectSound") form selected by a device identity and
// the form opened with a platform wave device number, end in the same thing on Linux: an
// AudioMixer playing through JACK when a server runs, else through an ALSA or PulseAudio device
// (RtAudio). A third construction plays into a mixer given by the caller, which an OfflineSink
// pulls (offline rendering: drive the clock on a manual timer, drain the message queue and pull the
// sink).
//
// Threads: the operations below run on the user-interface thread (the thread that drains the
// message queue). The streaming threads only fill their own voice and take only the wave's mutex.
// The mixer's callback is real-time (see audio_mixer.h); the tick reads an atomic time only.
#pragma once

#include "platform/message_queue.h"
#include "sync/midi_out.h"
#include "sync/mixer/audio_mixer.h"
#include "sync/proto_device.h"
#include "sync/sync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class EventWave;
struct WaveInfo;

namespace dsync::mixer {
class JackOutput;
class RtAudioOutput;
class OfflineSink;
} // namespace dsync::mixer

namespace dsync {

// Turns a wave-capability format code (0x1 .. 0x800) into PCM; false for anything else.
bool FormatOfCode(uint32_t code, WAVEFORMATEX& format);
// The mixer's description of a PCM wave format; false for anything the mixer cannot play.
bool PcmOf(const WAVEFORMATEX& format, mixer::PcmFormat& out);

// One stream buffer: a voice, the wave copy it plays and its streaming thread.
struct StreamBuffer {
    static constexpr uint32_t kSegments = 3;

    EventWave* wave = nullptr; // the copy it plays (owned)
    mixer::Voice* voice = nullptr;
    uint32_t bufferBytes = 0;
    uint32_t segments = kSegments;
    uint32_t segmentBytes = 0;
    uint32_t writePosition = 0;
    uint32_t readPosition = 0; // in the sound, bytes
    std::atomic<bool> ended{false};
    bool isStatic = false;
    const EventWave* preparedFor = nullptr; // the pending event it was last prepared for
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex fillLock; // the voice's one writer at a time: the thread or a (re)load
    uint64_t fills = 0;  // segments filled, for tests (under fillLock)
};

} // namespace dsync

class CWaveOut : public ProtoDevice, private dsync::WaveClockLink, private platform::MessageTarget {
public:
    static constexpr uint32_t kMixerForm = 0xFFFFFFFFu;
    static constexpr int kMaxStreams = 6;
    static constexpr int kMaxPending = 30;
    static constexpr uint32_t kNoTime = 1000000000u;

    // device: 0xFFFFFFFF for the mixer-backed form (opened by identity), else a wave device number
    // (an index in the audio output list). Both play through the same kind of mixer.
    explicit CWaveOut(uint32_t device = kMixerForm);
    // Plays into the caller's mixer, which the caller pulls through sink (offline rendering). The
    // mixer and the sink outlive the output.
    CWaveOut(dsync::mixer::AudioMixer& mixer, dsync::mixer::OfflineSink* sink);
    ~CWaveOut() override;
    CWaveOut(const CWaveOut&) = delete;
    CWaveOut& operator=(const CWaveOut&) = delete;

    // 1 on success, 0 on failure. identity: 16 bytes (all zero or null: the default output); in
    // the numbered form the device number chooses the output instead.
    unsigned OpenWaveOut(platform::Window owner, CSync* clock, const uint8_t* identity);

    // ProtoDevice.
    int Open() override { return 0; }
    void Close() override;
    int Start() override;
    void Stop() override;
    void Reset() override;
    int AddEvent(EventWave* wave) override;
    void SetVolume(float v) override;
    float GetVolume() override;
    void SetBalance(float b) override;
    float GetBalance() override;
    void CloseWave(EventWave* wave) override;
    unsigned GetWaveCaps(uint32_t* code) override;
    void SetWaveCaps(uint32_t code) override;

    void LoadFirst();
    void GetNewInfo(EventWave* wave);
    void RemoveEvents();
    // The handlers of 0x402 and 0x403.
    void PrepareNext();
    void StartNext();

    // For the program and tests.
    bool IsOpen() const { return open_; }
    dsync::mixer::AudioMixer& Mixer() { return *mixer_; }
    dsync::mixer::OfflineSink* Sink() const { return sink_; }
    const dsync::StreamBuffer& Stream(int i) const { return *streams[i]; }
    bool StreamPlaying(int i) const;
    // Full JACK port names of the output (empty when not playing through JACK).
    std::string PortName(int channel) const;
    // Cycles the JACK output missed (0 on other outputs).
    uint64_t Xruns() const;
    platform::Window ServiceWindow() const override { return serviceWindow; }
    uint32_t NextEventTime() const override { return nextTime.load(); }

    // Fields, in order.
    int streamCount = 0;
    int nextStream = 0;
    std::unique_ptr<dsync::StreamBuffer> streams[kMaxStreams];
    uint32_t cooperativeLevel = 3;
    platform::Window ownerWindow = 0;
    CSync* clock = nullptr;
    platform::Window serviceWindow = 0;
    std::atomic<uint32_t> nextTime{kNoTime};
    int pendingCount = 0;
    CLockedNoteList eventList{"QUAVWAVELIST"};
    uint32_t formatCode = 0x80;
    uint8_t deviceIdentity[16] = {};
    uint32_t device = kMixerForm;

private:
    void SetNextEventTime(uint32_t t) override { nextTime.store(t); }
    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

    dsync::StreamBuffer* FindByName(const std::string& name, bool idleOnly);
    // Loads (or reloads) the stream buffer for the event; false on failure (message shown).
    bool Load(dsync::StreamBuffer& s, const EventWave& event);
    bool Prepare(EventWave* event);
    void ApplyInfo(dsync::StreamBuffer& s, const WaveInfo& info);
    void Rewind(dsync::StreamBuffer& s);
    void StopStream(dsync::StreamBuffer& s);
    void DestroyStream(dsync::StreamBuffer& s);
    void StopAllStreams();
    void EmptyList();
    bool OpenBackend(const uint8_t* identity);
    void CloseBackend();

    std::unique_ptr<dsync::mixer::AudioMixer> ownMixer_;
    dsync::mixer::AudioMixer* mixer_ = nullptr;
    dsync::mixer::OfflineSink* sink_ = nullptr;
    std::unique_ptr<dsync::mixer::JackOutput> jack_;
    std::unique_ptr<dsync::mixer::RtAudioOutput> rtaudio_;
    bool open_ = false;
    bool primaryOpen_ = false;
    bool primaryPlaying_ = false;
};

namespace dsync {
// Fills up to one segment of a streaming buffer from its wave (the streaming thread's step, also
// used for the first fill). Returns the bytes written. Holds the wave's mutex while reading. Its
// messages (the voice cannot be locked; the sound's data proved damaged or unreadable, which
// also ends the stream) go through platform::PostMessageBox: shown at once on the user-interface
// thread, posted to it from a streaming thread.
uint32_t FillSegment(StreamBuffer& s, uint32_t bytes);
inline constexpr const char* kLockProblemMessage = "Problem Locking Wave";
inline constexpr const char* kReadProblemMessage = "problem reading buffer.";
} // namespace dsync
