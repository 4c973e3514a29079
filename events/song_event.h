// Timed events: MIDI messages, sounds to start, numbers and byte blocks.
//
// The event model is shared by the program and the sync library, which read, copy and destroy
// each other's events; the order of the virtual operations below is part of the interface and
// must not change. Kinds are asked through the virtual predicates, never through RTTI.
#pragma once

#include "events/wave_format.h"

#include <cstdint>
#include <string>

class CArchive;
class WaveSound;
namespace platform {
class NamedMutex;
}

// No time at all: the end of a list, or no next event.
constexpr uint32_t kNoTime = 1000000000u;
// On an EventMidi handed to a MIDI output: send at once, unscheduled.
constexpr uint32_t kSendNow = 0xFFFFFFFFu;

class SongEvent {
public:
    SongEvent() = default;
    SongEvent(const SongEvent&) = delete;
    SongEvent& operator=(const SongEvent&) = delete;
    virtual ~SongEvent() = default;

    // Slot order is part of the interface.
    virtual void Reset();                               // 0
    virtual bool IsValue() const;                       // 1
    virtual bool IsWave() const;                        // 2
    virtual bool IsMidi() const;                        // 3
    virtual bool IsBlock() const;                       // 4
    virtual bool IsPlayable() const;                    // 5
    virtual bool IsNote() const;                        // 6
    virtual bool IsNoteOn() const;                      // 7
    virtual bool IsNoteOff() const;                     // 8
    virtual bool IsChannelMessage() const;              // 9
    virtual int Reserved10() const;                     // 10: returns 0
    virtual void Reserved11();                          // 11: does nothing
    virtual void GetTypeName(std::string& text) const;  // 12
    virtual uint32_t GetDuration() const;               // 13
    virtual SongEvent* Clone() const;                   // 14
    virtual void CopyFrom(const SongEvent& other);      // 15
    virtual bool IsEqual(const SongEvent& other) const; // 16
    virtual void Serialize(CArchive& ar);               // 17
    virtual void GetNoteName(std::string& text) const;  // 18
    virtual void GetDrumName(std::string& text) const;  // 19
    virtual int GetKind() const;                        // 20
    virtual int SetKind(int kind);                      // 21
    virtual int GetChannel() const;                     // 22
    virtual void SetChannel(int channel);               // 23
    virtual uint8_t GetData1() const;                   // 24
    virtual void SetData1(uint8_t b);                   // 25
    virtual uint8_t GetData2() const;                   // 26
    virtual void SetData2(uint8_t b);                   // 27
    virtual uint8_t GetData3() const;                   // 28
    virtual void SetData3(uint8_t b);                   // 29
    virtual void SetDuration(uint32_t d);               // 30
    virtual void SetFromMidiEvent(const MidiEvent& m);  // 31
    virtual uint8_t* GetMessageBytes();                 // 32
    virtual double GetValue() const;                    // 33
    virtual void SetValue(double v);                    // 34

    SongEvent* next = nullptr;
    uint32_t time = 0;
};

class EventMidi : public SongEvent {
public:
    EventMidi() = default;
    EventMidi(uint32_t t, uint8_t st, uint8_t d1, uint8_t d2, uint32_t dur = 0, uint8_t d3 = 0)
        : status(st), data1(d1), data2(d2), data3(d3), duration(dur) {
        time = t;
    }

    bool IsMidi() const override;
    bool IsPlayable() const override;
    bool IsNote() const override;
    bool IsNoteOn() const override;
    bool IsNoteOff() const override;
    void GetTypeName(std::string& text) const override;
    uint32_t GetDuration() const override;
    SongEvent* Clone() const override;
    // Copies time, duration and the four bytes, read through the virtual accessors so that any
    // kind can be copied (a kind without message bytes gives zeros).
    void CopyFrom(const SongEvent& other) override;
    bool IsEqual(const SongEvent& other) const override;
    void Serialize(CArchive& ar) override;
    void GetNoteName(std::string& text) const override;
    void GetDrumName(std::string& text) const override;
    int GetKind() const override;
    // The kind and the channel are taken modulo 16, so neither can spill into the other.
    int SetKind(int kind) override;
    int GetChannel() const override;
    void SetChannel(int channel) override;
    uint8_t GetData1() const override;
    void SetData1(uint8_t b) override;
    uint8_t GetData2() const override;
    void SetData2(uint8_t b) override;
    uint8_t GetData3() const override;
    void SetData3(uint8_t b) override;
    void SetDuration(uint32_t d) override;
    void SetFromMidiEvent(const MidiEvent& m) override;
    uint8_t* GetMessageBytes() override;
    // Slot 35: the four bytes as one word, status in the low byte.
    virtual void GetShortMessage(uint32_t& out) const;
    uint32_t ShortMessage() const;

    // The four message bytes lie next to each other, status first.
    uint8_t status = 0; // 0 marks a tempo change
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    uint8_t data3 = 0;
    uint32_t duration = 0;
};

class EventValue : public SongEvent {
public:
    EventValue() = default;
    explicit EventValue(float v, uint32_t t = 0) : value(v) { time = t; }

    void Reset() override;
    bool IsValue() const override;
    SongEvent* Clone() const override;
    void CopyFrom(const SongEvent& other) override;
    bool IsEqual(const SongEvent& other) const override;
    void Serialize(CArchive& ar) override;
    double GetValue() const override;
    void SetValue(double v) override;
    // Slot 35.
    virtual void ClearValue();

    float value = 0.0f;
};

class EventBlock : public SongEvent {
public:
    EventBlock() = default;
    ~EventBlock() override;

    bool IsBlock() const override;
    void GetTypeName(std::string& text) const override;
    SongEvent* Clone() const override;
    void CopyFrom(const SongEvent& other) override;
    void Serialize(CArchive& ar) override;

    // Outside the counted bytes GetByte yields 0 and SetByte does nothing.
    uint8_t GetByte(uint32_t i) const;
    void SetByte(uint32_t i, uint8_t b);
    // count := n with a new, zeroed buffer.
    void Allocate(uint32_t n);
    // Overwrite: grows when position + length exceeds count. Insert: opens a gap at position
    // (past the end, the bytes up to position are zeros). A result beyond 4 GiB is refused.
    void Write(const void* source, uint32_t length, uint32_t position, bool overwrite);
    // Drops the last n bytes (all of them when n exceeds count).
    void Shrink(uint32_t n);
    void FreeBuffer();

    uint32_t count = 0;
    uint8_t* bytes = nullptr;
};

// Flag bits of EventWave.
constexpr uint32_t kWavePlaybackCopy = 1;
constexpr uint32_t kWaveReference = 2;
constexpr uint32_t kWaveOwnsSound = 4;

// Stream-buffer option bits of WaveInfo.
constexpr uint32_t kWaveCtrlFrequency = 0x20;
constexpr uint32_t kWaveCtrlPan = 0x40;
constexpr uint32_t kWaveCtrlVolume = 0x80;
constexpr uint32_t kWaveDefaultOptions = 0x000141E0;

// The mutex of a wave event that names no file.
inline constexpr char kDefaultWaveMutexName[] = "QUAVWAVEMUTEX";

struct WaveInfo {
    int32_t word0 = 0; // kept by the sound object
    int32_t busy = 0;  // non-zero while a device still uses the sound
    int32_t loop = 0;
    float volume = 1.0f;
    float balance = 0.5f;
    float rateFactor = 1.0f;
    int32_t bytesPerSample = 1;
    uint32_t options = kWaveDefaultOptions;
    std::string name;
    WAVEFORMATEX format;

    // Each reads, sets (1) or clears (0) its control bit; any other argument only reads.
    bool FrequencyControl(int set = -1) { return ControlBit(kWaveCtrlFrequency, set); }
    bool PanControl(int set = -1) { return ControlBit(kWaveCtrlPan, set); }
    bool VolumeControl(int set = -1) { return ControlBit(kWaveCtrlVolume, set); }

private:
    bool ControlBit(uint32_t bit, int set);
};

class EventWave : public SongEvent {
public:
    // Takes a use of the mutex "QUAVWAVEMUTEX", shared by every event that names no file.
    EventWave();
    // Wave destruction by the flag rules (see Release).
    ~EventWave() override;

    bool IsWave() const override;
    bool IsPlayable() const override;
    void GetTypeName(std::string& text) const override;
    uint32_t GetDuration() const override;
    SongEvent* Clone() const override;
    // Shares the other wave's sound, copies start offset, duration, the whole WaveInfo (the name
    // through SetName) and time; flag bit 0 is copied only onto a reference (bit 1).
    void CopyFrom(const SongEvent& other) override;
    void Serialize(CArchive& ar) override;
    void SetDuration(uint32_t d) override;
    // Forwarded to the sound object (0 without one).
    double GetValue() const override;
    void SetValue(double v) override;

    // Stores the event and, when withData is set and a sound exists, the sound's own data (the
    // virtual Serialize writes has-data 0). Reading: marker 0 means flags, loop and options are
    // absent; otherwise the stored flags are skipped (flags become 0). Sound data is read into a
    // sound made by MakeWaveSoundForLoading(), which the event then owns (flag bits 0 and 2);
    // without a sound layer the archive is failed.
    void Serialize(CArchive& ar, bool withData);

    // Renames the event; its mutex follows the name, so every event naming a file shares one
    // (an empty name shares "QUAVWAVEMUTEX"). Waits for the old mutex without limit, then drops
    // it and any lock held through Lock. The registry counts users, so renaming one event never
    // frees a mutex that others still share.
    void SetName(const std::string& text);
    const std::string& Name() const { return info.name; }
    // Takes the event's mutex, waiting at most timeoutMs (0: without limit). Non-zero on success;
    // 0 leaves no lock held. Non-zero at once when this event already holds it.
    int Lock(uint32_t timeoutMs);
    void Unlock();
    bool IsLocked() const { return lock != nullptr; }

    // Reads samples × bytes per sample bytes from the sound; returns the bytes read.
    uint32_t Read(void* buffer, uint32_t samples);
    // Positions in samples; mode 1 absolute, mode 0 relative. 0 when refused, else 1.
    int Seek(int mode, int64_t position);
    double LengthInSeconds() const;
    double LengthInMilliseconds() const;
    int SeekMilliseconds(double ms);
    // Changes the sound's format (converting when asked); false when it cannot. A sound that
    // cannot be written shows "File not open for writing". Everything below that needs a sound
    // refuses (0, false or null) when the event has none.
    bool SetFormat(const WAVEFORMATEX& format, bool convert);
    bool SetSampleRate(uint32_t rate);
    // A new event with a copy of this sound, named "Temp", owning it (flag bits 0 and 2).
    EventWave* MakeTempCopy() const;

    // Writes float samples in -1..1 at the sound's current position (8-bit: (x + 1) × 127.5,
    // 16-bit: x × 32767, both truncated; 4-byte samples are written as the floats themselves;
    // other widths are refused). Returns the samples written.
    uint32_t WriteFloatSamples(const float* samples, uint32_t count);

    // Releases the sound and the name by the flag rules; used by the destructor and
    // DeleteSongEvent. With bit 0 set and bit 1 clear: when busy, nothing at all is released (the
    // sound and the use of the mutex stay with the device streaming it); otherwise with bit 2 the
    // sound is closed and destroyed. In every other case the sound is left to its owner. Unless
    // busy, the name and the mutex are then freed. Returns false when the busy case applied.
    bool Release();

    uint32_t flags = 0;
    uint32_t duration = 0;
    WaveSound* sound = nullptr;
    WaveInfo info;
    int32_t startOffset = 0;
    int32_t reserved = 0;
    platform::NamedMutex* mutex = nullptr;
    platform::NamedMutex* lock = nullptr; // the mutex while held through Lock

private:
    bool released_ = false;
};

// Destroys an event according to its kind, asking IsMidi, IsWave, IsValue, IsBlock in that order;
// an event of no known kind (a plain SongEvent among them) is kept and "Event not deleted!" is
// shown. Null is ignored.
void DeleteSongEvent(SongEvent* event);
// Reads one event of any kind (kind byte 1 a wave, 2 a value, anything else MIDI); null (and
// "SongEventSerialize()" shown) on a storing archive; null, with nothing leaked, on a failed read.
SongEvent* SongEventSerialize(CArchive& ar);

// The float sample conversion used when numbers are written into a sound. Values outside -1..1
// are held to that range and NaN becomes silence, so no input can overflow the sample.
uint8_t FloatToSample8(float x);
int16_t FloatToSample16(float x);
