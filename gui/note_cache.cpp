#include "gui/note_cache.h"

#include <algorithm>

namespace gui {

void NoteCache::Clear() {
    notes_.clear();
    marks_.clear();
    midiChannels_.clear();
    end_ = longest_ = 0;
    low_ = high_ = 60;
}

void NoteCache::Build(CChanDoc& doc) {
    Clear();
    const int channels = doc.GetChannelCount();
    midiChannels_.assign(size_t(std::max(0, channels)), -1);
    bool sorted = true;
    int low = 127, high = 0;
    for (int ch = 1; ch <= channels; ++ch) {
        CEventTree* tree = doc.GetChannelEvents(ch);
        if (!tree) continue;
        const size_t before = notes_.size();
        notes_.reserve(notes_.size() + size_t(std::max(0, tree->GetCount())));
        for (SongEvent* e = tree->First(); e; e = tree->Next()) {
            const uint32_t t = tree->CurrentTime();
            if (e->IsNoteOn()) {
                const uint32_t d = std::max<uint32_t>(e->GetDuration(), 1);
                NoteBar b;
                b.time = t;
                b.end = t > UINT32_MAX - d ? UINT32_MAX : t + d;
                b.event = e;
                b.channel = uint16_t(ch);
                b.key = e->GetData1() & 0x7F;
                b.velocity = e->GetData2() & 0x7F;
                b.midiChannel = uint8_t(e->GetChannel() & 0x0F);
                if (midiChannels_[size_t(ch - 1)] < 0)
                    midiChannels_[size_t(ch - 1)] = b.midiChannel;
                longest_ = std::max(longest_, d);
                end_ = std::max(end_, b.end);
                low = std::min<int>(low, b.key);
                high = std::max<int>(high, b.key);
                notes_.push_back(b);
            } else {
                EventMark m;
                m.time = t;
                m.event = e;
                m.channel = uint16_t(ch);
                m.status = e->IsMidi() ? e->GetMessageBytes()[0] : 0xFF;
                end_ = std::max(end_, t);
                marks_.push_back(m);
            }
        }
        // Each channel is in time order; channels after the first interleave with it.
        if (before > 0 && notes_.size() > before && notes_[before].time < notes_[before - 1].time)
            sorted = false;
    }
    if (!sorted)
        std::stable_sort(notes_.begin(), notes_.end(),
                         [](const NoteBar& a, const NoteBar& b) { return a.time < b.time; });
    if (channels > 1)
        std::stable_sort(marks_.begin(), marks_.end(),
                         [](const EventMark& a, const EventMark& b) { return a.time < b.time; });
    if (!notes_.empty()) {
        low_ = low;
        high_ = high;
    }
}

size_t NoteCache::FirstFrom(uint32_t t) const {
    return size_t(std::lower_bound(notes_.begin(), notes_.end(), t,
                                   [](const NoteBar& b, uint32_t v) { return b.time < v; }) -
                  notes_.begin());
}

size_t NoteCache::FirstSounding(uint32_t t) const {
    return FirstFrom(t > longest_ ? t - longest_ : 0);
}

int NoteCache::MidiChannelOf(int channel) const {
    if (channel < 1 || size_t(channel) > midiChannels_.size()) return 0;
    return std::max(0, midiChannels_[size_t(channel - 1)]);
}

} // namespace gui
