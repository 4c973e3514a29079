#include "documents/channel_document.h"

#include <cmath>
#include <limits>

CChanDoc::CChanDoc() = default;

CChanDoc::~CChanDoc() = default;

void CChanDoc::SetPathName(const std::string& path) {
    CAmpDoc::SetPathName(path);
    size_t slash = path.find_last_of('/');
    SetTitle(slash == std::string::npos ? path : path.substr(slash + 1));
    titleFollowsPath_ = false;
}

void CChanDoc::SetModifiedFlag(bool modified) {
    CAmpDoc::SetModifiedFlag(export_ ? false : modified);
}

void CChanDoc::SetExport(bool exportDoc) {
    export_ = exportDoc;
    if (export_) CAmpDoc::SetModifiedFlag(false);
}

uint32_t CChanDoc::GetDocKind() const {
    return 0;
}

bool CChanDoc::ShowInFrame() {
    return false;
}

bool CChanDoc::IsSaveable() const {
    return true;
}

uint32_t CChanDoc::GetLength(int) {
    return 0;
}

SongEvent* CChanDoc::PeekNextEvent(int&, uint32_t&) {
    return nullptr;
}

void CChanDoc::Advance(int) {}

void CChanDoc::RewindAll() {}

uint32_t CChanDoc::SetPosition(double beats) {
    double units = beats * static_cast<double>(unitsPerBeat_);
    if (!(units > 0.0)) return 0;
    if (units >= static_cast<double>(std::numeric_limits<uint32_t>::max()))
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(units);
}

int CChanDoc::GetChannelCount() const {
    return static_cast<int>(channels_.size());
}

uint32_t CChanDoc::GetTicksPerBeat(int which) const {
    return which == kPlayResolution ? playResolution_ : unitsPerBeat_;
}

void CChanDoc::SetTicksPerBeat(int which, uint32_t value) {
    if (value == 0) return; // a resolution of 0 would divide by zero in every conversion
    if (which == kPlayResolution)
        playResolution_ = value;
    else
        unitsPerBeat_ = value;
}

void CChanDoc::ChangeTicksPerBeat(uint32_t newUnitsPerBeat) {
    if (newUnitsPerBeat == 0 || newUnitsPerBeat == unitsPerBeat_) return;
    for (auto& channel : channels_)
        if (channel) channel->Rescale(unitsPerBeat_, newUnitsPerBeat);
    unitsPerBeat_ = newUnitsPerBeat;
    SetModifiedFlag();
}

DocExtent CChanDoc::GetExtent() {
    return DocExtent{};
}

void CChanDoc::SetCurrentChannel(int channel) {
    if (channel >= 1 && channel <= GetChannelCount()) currentChannel_ = channel;
}

int CChanDoc::GetCurrentChannel() const {
    return currentChannel_;
}

int CChanDoc::SetChannelCount(int n, bool keepExtra) {
    if (n < 0) n = 0;
    size_t want = static_cast<size_t>(n);
    if (want > channels_.size()) {
        channels_.resize(want);
    } else if (!keepExtra) {
        channels_.resize(want);
        if (currentChannel_ > n) currentChannel_ = n > 0 ? n : 1;
    }
    return GetChannelCount();
}

CEventTree* CChanDoc::GetChannelEvents(int channel) {
    if (channel < 1 || channel > GetChannelCount()) return nullptr;
    auto& slot = channels_[static_cast<size_t>(channel - 1)];
    if (!slot) slot = std::make_unique<CEventTree>();
    return slot.get();
}

void CChanDoc::FreeChannel(int channel) {
    if (channel < 1 || channel > GetChannelCount()) return;
    channels_[static_cast<size_t>(channel - 1)].reset();
}

void CChanDoc::ReadChannelProperties(int) {}

uint32_t CChanDoc::UnitsToTicks(uint32_t units) const {
    uint64_t ticks = static_cast<uint64_t>(units) * playResolution_ / unitsPerBeat_;
    return ticks > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                        : static_cast<uint32_t>(ticks);
}
