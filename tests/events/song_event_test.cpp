#include "events/archive.h"
#include "events/names.h"
#include "events/song_event.h"
#include "events/wave_sound.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A sound held in a byte vector; counts how many were destroyed.
class MemorySound : public WaveSound {
public:
    static inline int destroyed = 0;
    explicit MemorySound(std::vector<uint8_t> d = {}) : data(std::move(d)) {}
    ~MemorySound() override { ++destroyed; }

    void Close() override { closed = true; }
    uint32_t Read(WaveInfo&, void* buffer, uint32_t bytes) override {
        const uint32_t n = std::min<uint32_t>(bytes, static_cast<uint32_t>(data.size()) - pos);
        std::memcpy(buffer, data.data() + pos, n);
        pos += n;
        return n;
    }
    uint32_t Write(WaveInfo&, const void* buffer, uint32_t bytes) override {
        if (pos + bytes > data.size()) data.resize(pos + bytes);
        std::memcpy(data.data() + pos, buffer, bytes);
        pos += bytes;
        return bytes;
    }
    bool SeekBytes(WaveInfo&, uint32_t position) override {
        if (position >= data.size()) return false;
        pos = position;
        return true;
    }
    uint32_t TellBytes() const override { return pos; }
    uint32_t DataLength() const override { return static_cast<uint32_t>(data.size()); }
    WaveSound* Copy(WaveInfo&) const override { return new MemorySound(data); }
    bool IsWritable() const override { return writable; }
    bool SetFormat(WaveInfo& info, const WAVEFORMATEX& format, bool) override {
        info.format = format;
        return true;
    }
    void Serialize(CArchive& ar, WaveInfo&) override {
        if (ar.IsStoring()) {
            ar.WriteU32(static_cast<uint32_t>(data.size()));
            ar.WriteBytes(data.data(), data.size());
        } else {
            const uint32_t n = ar.ReadU32();
            if (n > ar.Remaining()) return ar.Fail();
            data.resize(n);
            ar.ReadBytes(data.data(), n);
        }
    }

    std::vector<uint8_t> data;
    uint32_t pos = 0;
    bool closed = false;
    bool writable = true;
};

WaveSound* MakeMemorySound() {
    return new MemorySound;
}

struct FactoryScope {
    explicit FactoryScope(WaveSoundFactory f) { SetWaveSoundFactory(f); }
    ~FactoryScope() { SetWaveSoundFactory(nullptr); }
};

std::unique_ptr<SongEvent, void (*)(SongEvent*)> ReadBack(const CArchive& stored) {
    CArchive in(stored.Buffer());
    SongEvent* e = SongEventSerialize(in);
    EXPECT_TRUE(in.AtEnd());
    return {e, DeleteSongEvent};
}

std::string TypeName(const SongEvent& e) {
    std::string s;
    e.GetTypeName(s);
    return s;
}

TEST(SongEvent, TypeNamesAndPredicates) {
    const std::pair<uint8_t, const char*> cases[] = {
        {0x80, "MIDI Note"},
        {0x9F, "MIDI Note"},
        {0xA3, "MIDI Key Pressure"},
        {0xB0, "MIDI Control Change"},
        {0xC5, "MIDI Instrument Change"},
        {0xD0, "MIDI Channel Pressure"},
        {0xEF, "MIDI Pitch Bend"},
        {0x00, "Midi Tempo change"},
        {0xF0, "MIDI System Exclusive Msg"},
        {0xF6, "MIDI System Common Msg"},
        {0xF7, "Midi Non-Note"},
        {0x05, "Midi Non-Note"},
    };
    for (const auto& [status, name] : cases)
        EXPECT_EQ(TypeName(EventMidi(0, status, 0, 0)), name) << int(status);
    EXPECT_EQ(TypeName(SongEvent()), "SongEvent");
    EXPECT_EQ(TypeName(EventBlock()), "Event Block");
    EXPECT_EQ(TypeName(EventWave()), "Wave Event");

    EXPECT_TRUE(EventMidi(0, 0x90, 60, 1).IsNoteOn());
    EXPECT_TRUE(EventMidi(0, 0x90, 60, 0).IsNoteOff());
    EXPECT_TRUE(EventMidi(0, 0x8F, 60, 64).IsNoteOff());
    EXPECT_FALSE(EventMidi(0, 0xA0, 60, 0).IsNoteOff());
    EXPECT_TRUE(EventMidi(0, 0xE2, 0, 0).IsChannelMessage());
    EXPECT_FALSE(EventMidi(0, 0xF0, 0, 0).IsChannelMessage());
    EXPECT_FALSE(EventValue(1.0f).IsChannelMessage());
}

TEST(SongEvent, KindAndChannelAreMasked) {
    EventMidi e(0, 0x93, 60, 100);
    e.SetChannel(0x15);
    EXPECT_EQ(e.status, 0x95);
    e.SetChannel(-1);
    EXPECT_EQ(e.status, 0x9F);
    EXPECT_EQ(e.SetKind(0x1B), 15);
    EXPECT_EQ(e.status, 0xBF);
    uint32_t word = 0;
    e.data3 = 7;
    e.GetShortMessage(word);
    EXPECT_EQ(word, 0x07643CBFu);
    EXPECT_EQ(e.GetMessageBytes()[1], 60);
}

TEST(SongEvent, EqualityAndCopies) {
    EventMidi a(10, 0x91, 60, 100, 40, 3);
    std::unique_ptr<SongEvent> b(a.Clone());
    EXPECT_TRUE(b->IsMidi());
    EXPECT_TRUE(a.IsEqual(*b));
    b->SetData2(99);
    EXPECT_FALSE(a.IsEqual(*b));
    EXPECT_FALSE(a.IsEqual(EventValue(0.0f, 10)));

    EventValue v(3.25f, 5);
    EventValue w(3.25f, 99);
    EXPECT_TRUE(v.IsEqual(w)); // times are not compared
    w.CopyFrom(a);             // a MIDI event has no value
    EXPECT_EQ(w.value, 0.0f);
    EXPECT_EQ(w.time, 10u);
    v.Reset();
    EXPECT_EQ(v.value, 0.0f);
}

TEST(SongEvent, BlockWriteInsertShrink) {
    EventBlock b;
    b.Write("abcd", 4, 0, true);
    b.Write("XY", 2, 3, true); // grows past the end
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.bytes), b.count), "abcXY");
    b.Write("--", 2, 1, false);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.bytes), b.count), "a--bcXY");
    b.Write("!", 1, 9, false); // past the end: padded
    EXPECT_EQ(b.count, 10u);
    EXPECT_EQ(b.GetByte(8), 0);
    EXPECT_EQ(b.GetByte(9), '!');
    EXPECT_EQ(b.GetByte(10), 0);
    b.Shrink(3);
    EXPECT_EQ(b.count, 7u);
    b.Shrink(100);
    EXPECT_EQ(b.count, 0u);

    b.Write("hello", 5, 0, true);
    b.time = 16384;
    std::unique_ptr<SongEvent> c(b.Clone());
    auto& cb = static_cast<EventBlock&>(*c);
    ASSERT_EQ(cb.count, 5u);
    EXPECT_NE(cb.bytes, b.bytes);
    EXPECT_EQ(cb.GetByte(4), 'o');
    EXPECT_EQ(cb.time, 16384u);

    CArchive out;
    b.Serialize(out);
    CArchive in(out.Buffer());
    EXPECT_EQ(in.ReadU8(), 0); // blocks are written with kind 0
    EventBlock r;
    r.Serialize(in);
    EXPECT_EQ(r.count, 5u);
    EXPECT_FALSE(in.Failed());
}

TEST(SongEventSerialize, MidiAndValueRoundTrip) {
    EventMidi m(123456, 0xB2, 7, 127, 480, 9);
    CArchive out;
    m.Serialize(out);
    EXPECT_EQ(out.Buffer().size(), 1u + 4 + 4 + 4);
    auto back = ReadBack(out);
    ASSERT_TRUE(back && back->IsMidi());
    EXPECT_TRUE(m.IsEqual(*back));

    EventValue v(-0.75f, 500);
    CArchive out2;
    v.Serialize(out2);
    auto vb = ReadBack(out2);
    ASSERT_TRUE(vb && vb->IsValue());
    EXPECT_EQ(vb->GetValue(), -0.75);
    EXPECT_EQ(vb->time, 0u);

    // An unknown kind byte reads as a MIDI event.
    const uint8_t odd[] = {7, 0x90, 60, 1, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    CArchive in(odd, sizeof odd);
    std::unique_ptr<SongEvent, void (*)(SongEvent*)> e(SongEventSerialize(in), DeleteSongEvent);
    ASSERT_TRUE(e && e->IsMidi());
    EXPECT_EQ(e->time, 5u);
}

TEST(SongEventSerialize, WaveMarkerForms) {
    EventWave w;
    w.SetName("drums.wav");
    w.time = 42;
    w.flags = kWavePlaybackCopy | kWaveOwnsSound;
    w.info.bytesPerSample = 2;
    w.info.loop = 1;
    w.info.options = 0x1234;
    CArchive out;
    w.Serialize(out);
    auto back = ReadBack(out);
    ASSERT_TRUE(back && back->IsWave());
    auto& bw = static_cast<EventWave&>(*back);
    EXPECT_EQ(bw.Name(), "drums.wav");
    EXPECT_EQ(bw.time, 42u);
    EXPECT_EQ(bw.info.bytesPerSample, 2);
    EXPECT_EQ(bw.flags, 0u); // the stored flags are skipped
    EXPECT_EQ(bw.info.loop, 1);
    EXPECT_EQ(bw.info.options, 0x1234u);
    EXPECT_EQ(bw.sound, nullptr);

    // Marker 0: flags, loop and options absent, defaults kept.
    CArchive old;
    old << uint8_t{1} << std::string("old.wav") << uint32_t{7} << uint16_t{1} << uint16_t{0}
        << uint16_t{0};
    auto ob = ReadBack(old);
    ASSERT_TRUE(ob && ob->IsWave());
    auto& ow = static_cast<EventWave&>(*ob);
    EXPECT_EQ(ow.Name(), "old.wav");
    EXPECT_EQ(ow.time, 7u);
    EXPECT_EQ(ow.info.options, kWaveDefaultOptions);
    EXPECT_EQ(ow.info.loop, 0);
}

TEST(SongEventSerialize, WaveWithSoundData) {
    EventWave w;
    w.SetName("data.wav");
    auto* sound = new MemorySound({1, 2, 3, 4, 5});
    w.sound = sound;
    w.flags = kWavePlaybackCopy | kWaveOwnsSound;
    CArchive out;
    w.Serialize(out, true);

    {
        // Without a sound layer the data cannot be read: the read fails and nothing leaks.
        CArchive in(out.Buffer());
        EXPECT_EQ(SongEventSerialize(in), nullptr);
        EXPECT_TRUE(in.Failed());
    }
    FactoryScope factory(MakeMemorySound);
    auto back = ReadBack(out);
    ASSERT_TRUE(back && back->IsWave());
    auto& bw = static_cast<EventWave&>(*back);
    ASSERT_NE(bw.sound, nullptr);
    EXPECT_EQ(static_cast<MemorySound*>(bw.sound)->data, sound->data);
    EXPECT_EQ(bw.flags, kWavePlaybackCopy | kWaveOwnsSound); // it owns what it made

    // The virtual form never writes the data.
    CArchive plain;
    static_cast<SongEvent&>(w).Serialize(plain);
    EXPECT_EQ(plain.Buffer().back(), 0);
}

TEST(SongEventSerialize, TruncatedAndStoringArchives) {
    EventWave w;
    w.SetName("cut.wav");
    w.sound = new MemorySound({9, 9, 9});
    w.flags = kWavePlaybackCopy | kWaveOwnsSound;
    CArchive out;
    w.Serialize(out, true);
    EventMidi(1, 0x90, 1, 1).Serialize(out);
    FactoryScope factory(MakeMemorySound);
    const std::vector<uint8_t>& full = out.Buffer();
    const size_t before = platform::NamedMutexCount();
    for (size_t cut = 0; cut + 1 < full.size(); ++cut) {
        CArchive in(full.data(), cut);
        SongEvent* e = SongEventSerialize(in);
        if (e) {
            DeleteSongEvent(e);
            e = SongEventSerialize(in);
        }
        EXPECT_EQ(e, nullptr) << cut;
        EXPECT_TRUE(in.Failed()) << cut;
    }
    EXPECT_EQ(platform::NamedMutexCount(), before);

    platform::ScopedRecordingMessages messages;
    CArchive storing;
    EXPECT_EQ(SongEventSerialize(storing), nullptr);
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{"SongEventSerialize()"});
}

TEST(DeleteSongEvent, UnknownKindIsKept) {
    platform::ScopedRecordingMessages messages;
    auto* plain = new SongEvent;
    DeleteSongEvent(plain);
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{"Event not deleted!"});
    delete plain;
    DeleteSongEvent(nullptr);
    DeleteSongEvent(new EventBlock);
    EXPECT_EQ(messages.Shown().size(), 1u);
}

TEST(EventWave, DestructionFollowsTheFlags) {
    struct Case {
        uint32_t flags;
        int busy;
        bool destroyed;
    };
    const Case cases[] = {
        {kWavePlaybackCopy | kWaveOwnsSound, 0, true},
        {kWavePlaybackCopy | kWaveOwnsSound, 1, false},
        {kWavePlaybackCopy | kWaveOwnsSound | kWaveReference, 0, false},
        {kWaveOwnsSound, 0, false},
        {kWavePlaybackCopy, 0, false},
    };
    for (const Case& c : cases) {
        auto* sound = new MemorySound;
        auto* w = new EventWave;
        w->SetName("destroy.wav");
        w->sound = sound;
        w->flags = c.flags;
        w->info.busy = c.busy;
        MemorySound::destroyed = 0;
        DeleteSongEvent(w);
        EXPECT_EQ(MemorySound::destroyed, c.destroyed ? 1 : 0) << c.flags << " " << c.busy;
        if (!c.destroyed) {
            EXPECT_FALSE(sound->closed);
            delete sound;
        }
    }
    // The busy case kept its use of the mutex; give it back so other tests see a clean registry.
    platform::NamedMutex* kept = platform::AcquireNamedMutex("destroy.wav");
    EXPECT_EQ(kept->Users(), 2);
    platform::ReleaseNamedMutex(kept);
    platform::ReleaseNamedMutex(kept);
}

TEST(EventWave, NamedMutexIsSharedByName) {
    const size_t before = platform::NamedMutexCount();
    {
        EventWave a, b;
        EXPECT_EQ(a.mutex->Name(), "QUAVWAVEMUTEX");
        a.SetName("shared.wav");
        b.SetName("shared.wav");
        EXPECT_EQ(a.mutex, b.mutex);
        EXPECT_EQ(a.mutex->Users(), 2);
        b.SetName("other.wav"); // must not free the mutex a still uses
        EXPECT_EQ(a.mutex->Users(), 1);
        ASSERT_TRUE(a.Lock(0));
        EventWave c;
        c.SetName("shared.wav");
        // A timed mutex may not be tried again by the thread that holds it: try from others.
        std::thread([&] {
            EXPECT_EQ(c.Lock(20), 0); // held through a
            EXPECT_FALSE(c.IsLocked());
        }).join();
        std::thread t([&] {
            EXPECT_EQ(c.Lock(5000), 1);
            c.Unlock();
        });
        a.Unlock();
        t.join();
    }
    EXPECT_EQ(platform::NamedMutexCount(), before);
}

TEST(EventWave, CopyFromSharesTheSound) {
    MemorySound sound({0, 1, 2, 3});
    EventWave src;
    src.SetName("copy.wav");
    src.sound = &sound;
    src.startOffset = 12;
    src.time = 99;
    src.flags = kWavePlaybackCopy;
    src.info.volume = 0.5f;
    src.info.format.nChannels = 2;

    EventWave plain;
    plain.CopyFrom(src);
    EXPECT_EQ(plain.sound, &sound);
    EXPECT_EQ(plain.startOffset, 12);
    EXPECT_EQ(plain.time, 99u);
    EXPECT_EQ(plain.info.volume, 0.5f);
    EXPECT_EQ(plain.info.format.nChannels, 2);
    EXPECT_EQ(plain.mutex, src.mutex);
    EXPECT_EQ(plain.flags, 0u); // bit 0 only follows onto a reference

    EventWave ref;
    ref.flags = kWaveReference;
    ref.CopyFrom(src);
    EXPECT_EQ(ref.flags, kWaveReference | kWavePlaybackCopy);
}

TEST(EventWave, SoundOperations) {
    EventWave none;
    EXPECT_EQ(none.Seek(1, 0), 0);
    EXPECT_EQ(none.LengthInSeconds(), 0.0);
    EXPECT_EQ(none.MakeTempCopy(), nullptr);
    EXPECT_EQ(none.WriteFloatSamples(nullptr, 4), 0u);

    EventWave w;
    w.sound = new MemorySound(std::vector<uint8_t>(8000, 0));
    w.flags = kWavePlaybackCopy | kWaveOwnsSound;
    w.info.bytesPerSample = 2;
    w.info.format.nAvgBytesPerSec = 4000;
    w.info.format.nSamplesPerSec = 1000;
    w.info.format.nChannels = 2;
    EXPECT_EQ(w.LengthInSeconds(), 2.0);
    EXPECT_EQ(w.LengthInMilliseconds(), 2000.0);
    EXPECT_EQ(w.Seek(1, 3999), 1);
    EXPECT_EQ(w.sound->TellBytes(), 7998u);
    EXPECT_EQ(w.Seek(1, 4000), 0);
    EXPECT_EQ(w.Seek(0, 1), 0);
    EXPECT_EQ(w.Seek(0, -3999), 1);
    EXPECT_EQ(w.sound->TellBytes(), 0u);
    EXPECT_EQ(w.Seek(0, -1), 0);
    EXPECT_EQ(w.Seek(2, 0), 0);
    EXPECT_EQ(w.SeekMilliseconds(500), 1); // 1000 samples
    EXPECT_EQ(w.sound->TellBytes(), 2000u);

    const float samples[] = {1.0f, -1.0f, 0.5f};
    EXPECT_EQ(w.WriteFloatSamples(samples, 3), 3u);
    const auto& data = static_cast<MemorySound*>(w.sound)->data;
    EXPECT_EQ(data[2000] | (data[2001] << 8), 32767);
    EXPECT_EQ(static_cast<int16_t>(data[2002] | (data[2003] << 8)), -32767);
    EXPECT_EQ(static_cast<int16_t>(data[2004] | (data[2005] << 8)), 16383);

    std::unique_ptr<EventWave> temp(w.MakeTempCopy());
    ASSERT_TRUE(temp);
    EXPECT_EQ(temp->Name(), "Temp");
    EXPECT_NE(temp->sound, w.sound);
    EXPECT_EQ(temp->flags, kWavePlaybackCopy | kWaveOwnsSound);
    EXPECT_EQ(temp->info.format.nChannels, 2);

    platform::ScopedRecordingMessages messages;
    static_cast<MemorySound*>(w.sound)->writable = false;
    EXPECT_FALSE(w.SetSampleRate(22050));
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{"File not open for writing"});
    static_cast<MemorySound*>(w.sound)->writable = true;
    EXPECT_TRUE(w.SetSampleRate(22050));
    EXPECT_EQ(w.info.format.nSamplesPerSec, 22050u);
}

TEST(SampleConversion, EightAndSixteenBit) {
    EXPECT_EQ(FloatToSample8(-1.0f), 0);
    EXPECT_EQ(FloatToSample8(0.0f), 127);
    EXPECT_EQ(FloatToSample8(1.0f), 255);
    EXPECT_EQ(FloatToSample8(3.0f), 255);
    EXPECT_EQ(FloatToSample16(-0.5f), -16383); // truncated toward zero
    EXPECT_EQ(FloatToSample16(-7.0f), -32767);
    EXPECT_EQ(FloatToSample16(std::nanf("")), 0);
}

TEST(Names, NotesDrumsInstruments) {
    const std::pair<uint8_t, const char*> notes[] = {{0, "C -2"},  {127, "G 8"}, {60, "C 3"},
                                                     {68, "G# 3"}, {69, "A 4"},  {72, "C 4"}};
    for (const auto& [key, name] : notes) {
        std::string s;
        EventMidi(0, 0x90, key, 1).GetNoteName(s);
        EXPECT_EQ(s, name);
    }
    std::string drum;
    EventMidi(0, 0x99, 35, 1).GetDrumName(drum);
    EXPECT_EQ(drum, "Acoustic Bass Drum");
    EXPECT_STREQ(DrumName(52), "Chineese Cymbal");
    EXPECT_STREQ(DrumName(81), "Open Triangle");
    EXPECT_EQ(DrumName(34), nullptr);
    EXPECT_EQ(DrumName(82), nullptr);
    for (int p = 0; p < kInstrumentCount; ++p) EXPECT_NE(InstrumentName(p), nullptr) << p;
    EXPECT_STREQ(InstrumentName(6), "Harpsicord");
    EXPECT_STREQ(InstrumentName(87), "Bass+Lead");
    EXPECT_STREQ(InstrumentName(127), "Gunshot");
    EXPECT_EQ(InstrumentName(128), nullptr);
}

} // namespace
