// Reads events from arbitrary bytes until the archive fails or ends.
//
// The first byte is a switch: bit 0 installs a sound layer, so that wave events with data are
// read too; the rest is the archive. Every event read is stored again and must read back equal,
// then goes into a list, which destroys it.
#include "events/archive.h"
#include "events/event_list.h"
#include "events/song_event.h"
#include "events/wave_sound.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A sound whose data is a counted block of bytes.
class BlobSound : public WaveSound {
public:
    void Close() override {}
    uint32_t Read(WaveInfo&, void*, uint32_t) override { return 0; }
    uint32_t Write(WaveInfo&, const void*, uint32_t) override { return 0; }
    bool SeekBytes(WaveInfo&, uint32_t position) override { return position < data_.size(); }
    uint32_t TellBytes() const override { return 0; }
    uint32_t DataLength() const override { return static_cast<uint32_t>(data_.size()); }
    WaveSound* Copy(WaveInfo&) const override { return new BlobSound(*this); }
    bool SetFormat(WaveInfo&, const WAVEFORMATEX&, bool) override { return false; }
    void Serialize(CArchive& ar, WaveInfo&) override {
        if (ar.IsStoring()) {
            ar.WriteU32(static_cast<uint32_t>(data_.size()));
            ar.WriteBytes(data_.data(), data_.size());
            return;
        }
        const uint32_t n = ar.ReadU32();
        if (ar.Failed() || n > ar.Remaining()) return ar.Fail();
        data_.resize(n);
        ar.ReadBytes(data_.data(), n);
    }

private:
    std::vector<uint8_t> data_;
};

WaveSound* MakeBlob() {
    return new BlobSound;
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// Equal by the event's own rule; a value that is not a number equals nothing, itself included.
bool Same(const SongEvent& a, const SongEvent& b) {
    return a.IsEqual(b) || (a.IsValue() && b.IsValue() && a.GetValue() != a.GetValue() &&
                            b.GetValue() != b.GetValue());
}

void CheckRoundTrip(SongEvent& e) {
    CArchive out;
    if (e.IsWave())
        static_cast<EventWave&>(e).Serialize(out, true);
    else
        e.Serialize(out);
    CArchive in(out.Buffer());
    SongEvent* back = SongEventSerialize(in);
    Check(back != nullptr && in.AtEnd());
    if (e.IsWave()) {
        auto& w = static_cast<EventWave&>(e);
        auto& b = static_cast<EventWave&>(*back);
        Check(back->IsWave() && b.Name() == w.Name() && b.time == w.time &&
              b.info.loop == w.info.loop && b.info.options == w.info.options);
        Check((b.sound != nullptr) == (w.sound != nullptr));
    } else {
        Check(Same(e, *back));
    }
    DeleteSongEvent(back);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    SetWaveSoundFactory((data[0] & 1) ? MakeBlob : nullptr);
    CArchive ar(data + 1, size - 1);
    CNoteEventList list;
    while (!ar.AtEnd()) {
        SongEvent* e = SongEventSerialize(ar);
        if (!e) {
            Check(ar.Failed());
            break;
        }
        std::string text;
        e->GetTypeName(text);
        e->GetNoteName(text);
        e->GetDrumName(text);
        CheckRoundTrip(*e);
        SongEvent* copy = e->Clone();
        Check(Same(*copy, *e));
        DeleteSongEvent(copy);
        list.Add(e);
    }
    SetWaveSoundFactory(nullptr);
    return 0;
}
