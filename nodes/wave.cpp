#include "nodes/wave.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "events/wave_sound.h"
#include "nodes/float_sound.h"
#include "nodes/node_params.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"
#include "tree/node_host.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using nodes::Passes;

// ---- effects ----------------------------------------------------------------------------------

template <class T> void WaveEffect<T>::Solve(CNoteEventList& list) {
    list.RemoveAll();
}

namespace {
constexpr const char* kSourceLabel = "The Source Wave";
constexpr const char* kNoneLabel = "NONE";
} // namespace

#define WAVE_EFFECT(Name, plain, id, order, text, second)                                          \
    constinit const NodeTypeInfo Name::kInfo = {.typeName = #Name,                                 \
                                                .displayName = plain,                              \
                                                .typeId = id,                                      \
                                                .branches = Name##Branches,                        \
                                                .family = "Wave",                                  \
                                                .menuOrder = order,                                \
                                                .info = text};                                     \
    const char* const Name::kBranchLabels[2] = {kSourceLabel, second};                             \
    template class WaveEffect<Name>;

namespace {
constexpr int FxBandPassBranches = 1;
constexpr int FxChangeLengthBranches = 0;
constexpr int FxChangePitchBranches = 0;
constexpr int FxChorusBranches = 0;
constexpr int FxDistortionBranches = 0;
constexpr int FxFlangeBranches = 0;
constexpr int FxHighPassBranches = 0;
constexpr int FxLowPassBranches = 0;
constexpr int FxNoiseBranches = 0;
constexpr int FxRetrogradeBranches = 0;
constexpr int FxReverbBranches = 0;
} // namespace

WAVE_EFFECT(FxBandPass, "BandPass", 700, 100,
            "FxBandPass alters the Source wave by only letting sound of certain frequencies get "
            "through. It is equivalent to removing the information that a high-pass and a "
            "low-pass filter would select. ",
            kNoneLabel)
WAVE_EFFECT(FxChangeLength, "ChangeLength", 701, 110, "FxChangeLength. ", kNoneLabel)
WAVE_EFFECT(FxChangePitch, "ChangePitch", 702, 120, "FxChangePitch. ", kNoneLabel)
WAVE_EFFECT(FxChorus, "Chorus", 703, 130, "FxChorus. ", kNoneLabel)
WAVE_EFFECT(FxDistortion, "Distortion", 704, 140, "FxDistortion. ", kNoneLabel)
WAVE_EFFECT(FxFlange, "Flange", 706, 150, "FxFlange. ", kNoneLabel)
WAVE_EFFECT(FxHighPass, "HighPass", 707, 160, "FxHighPass. ", kNoneLabel)
WAVE_EFFECT(FxLowPass, "LowPass", 708, 170, "FxLowPass. ", nullptr)
WAVE_EFFECT(FxNoise, "Noise", 709, 180, "FxNoise. ", kNoneLabel)
WAVE_EFFECT(FxRetrograde, "Retrograde", 710, 190, "FxRetrograde. ", kNoneLabel)
WAVE_EFFECT(FxReverb, "Reverb", 711, 200, "FxReverb. ", nullptr)
#undef WAVE_EFFECT

// ---- FxEnvelope -------------------------------------------------------------------------------

namespace {
constexpr ParamChoice kEnvelopeTypes[] = {{"Linear", 1}};
const std::vector<EnvelopePoint> kDefaultPoints = {{0.5f, 0.0f}, {0.5f, 1.0f}};
} // namespace

const ParamField FxEnvelope::kFields[] = {
    Param<&FxEnvelope::envelopeType>({.key = "envelopeType",
                                      .label = "Envelope Type:",
                                      .store = ParamStore::U16,
                                      .control = ParamControl::List,
                                      .min = 0,
                                      .max = 65535,
                                      .def = 1,
                                      .choices = kEnvelopeTypes}),
    Param<&FxEnvelope::pointCount>({.key = "pointCount",
                                    .label = "Number of points:",
                                    .store = ParamStore::U16,
                                    .control = ParamControl::Number,
                                    .min = 0,
                                    .max = 12,
                                    .def = 2}),
};

const char* const FxEnvelope::kBranchLabels[2] = {kSourceLabel, nullptr};

constinit const NodeTypeInfo FxEnvelope::kInfo = {
    .typeName = "FxEnvelope",
    .displayName = "Envelope",
    .typeId = 705,
    .branches = 1,
    .family = "Wave",
    .menuOrder = 10,
    .info = "The Envelope node is used in the compilation of Waves, and must be found underneath "
            "the WaveCompiler function.  The envelope takes time-varying values from 0-1, which "
            "are used to modulate the amplitude of a wave, i.e. specifying an attack, sustain, "
            "delay, etc.  To add points to the envelope, double click with the left mouse "
            "button.  To move existing points, drag with the left mouse button.  To remove "
            "points, select the number of points desired in the appropriate edit box.  Note "
            "that at least two point are required for an envelope.  The length of the envelope "
            "will be automatically scaled to the length of the wave that it modifies.  ",
    .dialogTitle = "Envelope",
    .params = FxEnvelope::kFields};

void FxEnvelope::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (source.TypeName() != TypeName()) return;
    points = static_cast<const FxEnvelope&>(source).points;
    pointCount = static_cast<int32_t>(points.size());
}

void FxEnvelope::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        // The count is stored in 16 bits: points beyond kMaxPoints cannot be stored.
        if (points.size() > static_cast<size_t>(kMaxPoints)) points.resize(kMaxPoints);
        pointCount = static_cast<int32_t>(points.size());
        ProtoType::Serialize(ar);
        for (const EnvelopePoint& p : points) {
            ar.WriteFloat(p.level);
            ar.WriteFloat(p.position);
        }
        return;
    }
    ProtoType::Serialize(ar);
    if (ar.Failed()) return;
    const size_t count = static_cast<size_t>(std::clamp(pointCount, 0, kMaxPoints));
    // Nothing is allocated for points the archive cannot hold.
    if (count * 8 > ar.Remaining()) {
        ar.Fail();
        return;
    }
    std::vector<EnvelopePoint> read(count);
    for (EnvelopePoint& p : read) {
        p.level = ar.ReadFloat();
        p.position = ar.ReadFloat();
    }
    if (ar.Failed()) return;
    points = std::move(read);
    pointCount = static_cast<int32_t>(points.size());
    if (points.size() < 2) {
        platform::Messages().Note("The envelope \"" + name + "\" has " +
                                  std::to_string(points.size()) +
                                  (points.size() == 1 ? " point" : " points") +
                                  ": it leaves the wave as it is until it has two.\n");
    }
}

void FxEnvelope::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    const auto count = static_cast<int32_t>(points.size());
    if (toDialog) {
        pointCount = count;
        ProtoType::ExchangeParams(toDialog, dialog);
        return;
    }
    // The field offers 0 .. 12: an envelope of more points drawn in the area keeps them all
    // unless the count was changed.
    constexpr size_t at = 1; // pointCount's place in kFields
    const bool untouched = at < dialog.fields.size() && dialog.fields[at].number == count;
    ProtoType::ExchangeParams(toDialog, dialog);
    if (untouched)
        pointCount = count;
    else
        SetPointCount(pointCount);
}

void FxEnvelope::SetPointCount(int n) {
    if (points.size() < 2) points = kDefaultPoints;
    const size_t keep = std::clamp<size_t>(static_cast<size_t>(std::max(n, 2)), 2, points.size());
    points.resize(keep);
    points.front().position = 0.0f;
    points.back().position = 1.0f;
    pointCount = static_cast<int32_t>(points.size());
}

void FxEnvelope::SetPoints(std::vector<EnvelopePoint> p) {
    points = std::move(p);
    pointCount = static_cast<int32_t>(points.size());
}

void FxEnvelope::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    list.RemoveAll();
}

namespace {

// Where a segment ending at `position` ends, in frames from the sound's start: L × position
// truncated, held to [0, L] (a position that is not a number gives L).
uint64_t SegmentEnd(uint64_t length, float position) {
    const double at = std::trunc(static_cast<double>(length) * static_cast<double>(position));
    if (!(at >= 0.0)) return std::isnan(at) ? length : 0;
    return at >= static_cast<double>(length) ? length : static_cast<uint64_t>(at);
}

} // namespace

void FxEnvelope::Evaluate(EventWave& block) {
    if (childOne) childOne->Evaluate(block);
    BlockView v;
    if (!ViewOf(block, v)) return;
    const FloatSound* sound = FloatSound::Of(block);
    const uint64_t length = sound->totalLength;
    if (length == 0 || points.size() < 2) return;
    const size_t perFrame = std::max<size_t>(1, v.channels);
    const uint64_t frames = v.n / perFrame;
    const double x = static_cast<double>(v.start) / static_cast<double>(length);

    // P1: the last point, walking from the first, whose position is not beyond x.
    if (!(points[0].position <= x)) return;
    size_t p1 = 0;
    while (p1 + 1 < points.size() && points[p1 + 1].position <= x) ++p1;
    size_t p2 = p1 + 1;
    if (p2 >= points.size()) return;
    const double width = static_cast<double>(points[p2].position) - points[p1].position;
    double f = width > 0.0 ? (x - points[p1].position) / width : 0.0;

    uint64_t e = 0;
    while (e < frames && p2 < points.size()) {
        const EnvelopePoint& a = points[p1];
        const EnvelopePoint& b = points[p2];
        const auto g = static_cast<float>(a.level + f * (static_cast<double>(b.level) - a.level));
        const uint64_t endAbs = SegmentEnd(length, b.position);
        if (endAbs > v.start + e) {
            uint64_t end = endAbs - v.start;
            const auto h = static_cast<float>((static_cast<double>(b.level) - g) /
                                              static_cast<double>(end - e));
            if (end > frames) end = frames;
            for (uint64_t j = e; j < end; ++j) {
                const float gain = g + h * static_cast<float>(j - e);
                float* s = v.s + j * perFrame;
                for (size_t c = 0; c < perFrame; ++c) s[c] *= gain;
            }
            e = end;
        }
        p1 = p2;
        ++p2;
        f = 0.0;
    }
}

// ---- FxWaveFile, FxWaveTable ------------------------------------------------------------------

template <class T> WaveSource<T>::WaveSource() = default;

template <class T> WaveSource<T>::~WaveSource() {
    if (NodeHost* host = GetNodeHost()) host->ForgetWave(*this);
    sound_.Detach(wave);
}

template <class T> bool WaveSource<T>::Open(std::string* error) {
    sound_.Detach(wave);
    wave.SetName(fileName);
    WaveAccess* access = GetWaveAccess();
    if (!access) {
        if (error) *error = "sound files cannot be read here";
        return false;
    }
    WaveInfo info;
    WaveSound* sound = access->OpenForReading(info, fileName, error);
    if (!sound) return false;
    wave.info.format = info.format;
    wave.info.bytesPerSample = info.bytesPerSample;
    sound_.Adopt(wave, sound, fileName);
    const uint32_t rate = std::max<uint32_t>(1, wave.info.format.nAvgBytesPerSec);
    wave.duration = static_cast<uint32_t>(static_cast<uint64_t>(sound->DataLength()) * 1000 / rate);
    return true;
}

template <class T> void WaveSource<T>::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (source.TypeName() == this->TypeName()) Open();
}

template <class T> void WaveSource<T>::Serialize(CArchive& ar) {
    ProtoType::Serialize(ar);
    if (ar.IsLoading() && !ar.Failed()) Open();
}

template <class T> void WaveSource<T>::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    const std::string before = fileName;
    ProtoType::ExchangeParams(toDialog, dialog);
    if (toDialog || (fileName == before && sound_.Get())) return;
    if (!Open()) platform::MessageBox(kCouldNotOpenMessage);
}

template <class T> void WaveSource<T>::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    list.RemoveAll();
    if (playWave != 0) list.Add(MakeWaveReference(wave, list.now));
}

template <class T> void WaveSource<T>::Evaluate(EventWave& block) {
    BlockView v;
    if (!ViewOf(block, v)) return;
    const size_t out = std::max<size_t>(1, v.channels);
    const size_t frames = v.n / out;
    WaveSound* sound = sound_.Get();
    const WAVEFORMATEX& f = wave.info.format;
    const bool readable = sound && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
                          (f.nChannels == 1 || f.nChannels == 2);
    size_t got = 0; // frames read
    if (readable) {
        const size_t in = f.nChannels;
        const size_t bytes = f.wBitsPerSample / 8;
        const size_t align = in * bytes;
        raw_.resize(frames * align);
        const uint64_t at = static_cast<uint64_t>(v.start) * align;
        uint32_t read = 0;
        if (at < sound->DataLength()) {
            platform::NamedLock hold(wave.mutex, 0);
            if (sound->SeekBytes(wave.info, static_cast<uint32_t>(at)))
                read = sound->Read(wave.info, raw_.data(), static_cast<uint32_t>(raw_.size()));
        }
        got = read / align;
        auto sample = [&](size_t frame, size_t channel) -> float {
            const uint8_t* p = raw_.data() + frame * align + channel * bytes;
            if (bytes == 1) return (static_cast<float>(p[0]) - 128.0f) / 128.0f;
            const auto s = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
            return static_cast<float>(s) / 32768.0f;
        };
        for (size_t j = 0; j < got; ++j) {
            float* s = v.s + j * out;
            if (in == 2 && out == 1) { // two into one
                s[0] = 0.5f * (sample(j, 0) + sample(j, 1));
            } else if (in == 1) { // one into each
                const float x = sample(j, 0);
                for (size_t c = 0; c < out; ++c) s[c] = x;
            } else { // sample for sample
                for (size_t c = 0; c < out; ++c) s[c] = c < in ? sample(j, c) : 0.0f;
            }
        }
    }
    std::fill(v.s + got * out, v.s + v.n, 0.0f);
}

template <class T> void WaveSource<T>::Display() {
    if (NodeHost* host = GetNodeHost()) host->ShowWave(*this, wave, this->name);
}

namespace {
constexpr ParamSpec kFileNameSpec = {.key = "fileName",
                                     .label = "FileName",
                                     .store = ParamStore::Text,
                                     .control = ParamControl::Text,
                                     .max = 4096,
                                     .defText = ""};
constexpr ParamSpec kPlayWaveSpec = {.key = "playWave",
                                     .label = "PlayWave",
                                     .store = ParamStore::U16,
                                     .control = ParamControl::Check,
                                     .min = 0,
                                     .max = 1,
                                     .def = 0};
constexpr const char* kFileInfo = "This function plays wave information from a file (*.wav). ";
constexpr const char* kTableInfo =
    "This function uses a wave file (*.wav), and samples it at a rate specified by its left "
    "branch (which must be numerical). Typically, a short 'table' of values will be a particular "
    "timbre, such as sine, square, or saw.  ";
} // namespace

// Stored in this order: 16 playWave, then the file name.
const ParamField FxWaveFile::kFields[] = {Param<&FxWaveFile::playWave>(kPlayWaveSpec),
                                          Param<&FxWaveFile::fileName>(kFileNameSpec)};
const ParamField FxWaveTable::kFields[] = {Param<&FxWaveTable::playWave>(kPlayWaveSpec),
                                           Param<&FxWaveTable::fileName>(kFileNameSpec)};
const char* const FxWaveFile::kBranchLabels[2] = {kNoneLabel, nullptr};
const char* const FxWaveTable::kBranchLabels[2] = {kNoneLabel, nullptr};

constinit const NodeTypeInfo FxWaveFile::kInfo = {.typeName = "FxWaveFile",
                                                  .displayName = "Wave File",
                                                  .typeId = 713,
                                                  .branches = 0,
                                                  .family = "Wave",
                                                  .menuOrder = 20,
                                                  .info = kFileInfo,
                                                  .dialogTitle = "wave properties",
                                                  .params = FxWaveFile::kFields};
constinit const NodeTypeInfo FxWaveTable::kInfo = {.typeName = "FxWaveTable",
                                                   .displayName = "Wave Table",
                                                   .typeId = 714,
                                                   .branches = 1,
                                                   .family = "Wave",
                                                   .menuOrder = 40,
                                                   .info = kTableInfo,
                                                   .dialogTitle = "wave properties",
                                                   .params = FxWaveTable::kFields};

template class WaveSource<FxWaveFile>;
template class WaveSource<FxWaveTable>;

// ---- factory ----------------------------------------------------------------------------------

namespace {
ProtoType* CreateCompiler(bool loading) {
    return new FxWaveCompiler(loading);
}

const NodeFactoryEntry kWaveTypes[] = {
    {&FxBandPass::kInfo, &CreateTyped<FxBandPass>},
    {&FxChangeLength::kInfo, &CreateTyped<FxChangeLength>},
    {&FxChangePitch::kInfo, &CreateTyped<FxChangePitch>},
    {&FxChorus::kInfo, &CreateTyped<FxChorus>},
    {&FxDistortion::kInfo, &CreateTyped<FxDistortion>},
    {&FxEnvelope::kInfo, &CreateTyped<FxEnvelope>},
    {&FxFlange::kInfo, &CreateTyped<FxFlange>},
    {&FxHighPass::kInfo, &CreateTyped<FxHighPass>},
    {&FxLowPass::kInfo, &CreateTyped<FxLowPass>},
    {&FxNoise::kInfo, &CreateTyped<FxNoise>},
    {&FxRetrograde::kInfo, &CreateTyped<FxRetrograde>},
    {&FxReverb::kInfo, &CreateTyped<FxReverb>},
    {&FxWaveCompiler::kInfo, &CreateCompiler},
    {&FxWaveFile::kInfo, &CreateTyped<FxWaveFile>},
    {&FxWaveTable::kInfo, &CreateTyped<FxWaveTable>},
};
} // namespace

std::span<const NodeFactoryEntry> WaveNodeTypes() {
    return kWaveTypes;
}
