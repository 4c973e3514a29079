// FxWaveCompiler: compiling a branch into a sound, storing and reading the node.
#include "events/archive.h"
#include "events/event_list.h"
#include "events/wave_sound.h"
#include "nodes/float_sound.h"
#include "nodes/node_params.h"
#include "nodes/wave.h"
#include "platform/named_mutex.h"
#include "platform/user_messages.h"
#include "tree/node_host.h"
#include "tree/node_io.h"

#include <algorithm>
#include <cmath>

using nodes::Passes;

namespace {

CompileProgress& Progress() {
    static CompileProgress progress;
    return progress;
}

constexpr ParamChoice kFormatChoices[] = {
    {"11.025 kHz, Mono,   8-bit", 1},     {"11.025 kHz, Stereo, 8-bit", 2},
    {"11.025 kHz, Mono,   16-bit", 4},    {"11.025 kHz, Stereo, 16-bit", 8},
    {"22.05  kHz, Mono,   8-bit", 16},    {"22.05  kHz, Stereo, 8-bit", 32},
    {"22.05  kHz, Mono,   16-bit", 64},   {"22.05  kHz, Stereo, 16-bit", 128},
    {"44.1   kHz, Mono,   8-bit", 256},   {"44.1   kHz, Stereo, 8-bit", 512},
    {"44.1   kHz, Mono,   16-bit", 1024}, {"44.1   kHz, Stereo, 16-bit", 2048},
};

const WAVEFORMATEX kDefaultFormat = PcmFormat(11025, 1, 8);

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels &&
           a.nSamplesPerSec == b.nSamplesPerSec && a.nAvgBytesPerSec == b.nAvgBytesPerSec &&
           a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample;
}

// The truncated value kept to its low 16 bits (two's complement), for any finite double.
int64_t Wrapped(double v) {
    const double t = std::trunc(v);
    if (t > -2147483648.0 && t < 2147483648.0) return static_cast<int64_t>(t);
    if (!std::isfinite(t)) return 0;
    return static_cast<int64_t>(std::fmod(t, 65536.0));
}

void ReportProgress(const ProtoType& node, uint64_t done, uint64_t total, int& quarter) {
    if (const CompileProgress& p = Progress()) {
        p(node, done, total);
        return;
    }
    if (total <= kProgressNoteFrames) return;
    const int now = static_cast<int>(done * 4 / total);
    if (now <= quarter) return;
    quarter = now;
    platform::Messages().Note("Compiling wave \"" + node.name + "\": " + std::to_string(now * 25) +
                              "%\n");
}

} // namespace

void SetCompileProgress(CompileProgress progress) {
    Progress() = std::move(progress);
}

uint8_t CompileSample8(float v) {
    if (!std::isfinite(v)) v = 0.0f;
    return static_cast<uint8_t>(Wrapped((static_cast<double>(v) + 1.0) * 127.5) & 0xFF);
}

int16_t CompileSample16(float v) {
    if (!std::isfinite(v)) v = 0.0f;
    return static_cast<int16_t>(
        static_cast<uint16_t>(Wrapped(static_cast<double>(v) * 32767.0) & 0xFFFF));
}

const ParamField FxWaveCompiler::kFields[] = {
    Param<&FxWaveCompiler::playWave>({.key = "playWave",
                                      .label = "PlayWave",
                                      .store = ParamStore::U16,
                                      .control = ParamControl::Check,
                                      .min = 0,
                                      .max = 1,
                                      .def = 1}),
    Param<&FxWaveCompiler::compileEverySolve>({.key = "compileEverySolve",
                                               .label = "Compile wave every solution.",
                                               .store = ParamStore::U16,
                                               .control = ParamControl::Check,
                                               .min = 0,
                                               .max = 1,
                                               .def = 0}),
    // Stored as the wave event's has-data field.
    Param<&FxWaveCompiler::keepSamples>({.key = "keepSamples",
                                         .store = ParamStore::U16,
                                         .control = ParamControl::Hidden,
                                         .min = 0,
                                         .max = 1,
                                         .def = 0}),
    Param<&FxWaveCompiler::waveDur>({.key = "waveDur",
                                     .label = "WaveDur (in MS)",
                                     .store = ParamStore::None,
                                     .control = ParamControl::Number,
                                     .min = 0,
                                     .max = 4294967295.0,
                                     .def = 0}),
    // Stored in the wave event's format record.
    Param<&FxWaveCompiler::format>({.key = "format",
                                    .label = "Wave Format:",
                                    .store = ParamStore::None,
                                    .control = ParamControl::List,
                                    .min = 0,
                                    .max = 2048,
                                    .def = 1,
                                    .choices = kFormatChoices}),
};

const char* const FxWaveCompiler::kBranchLabels[2] = {nullptr, nullptr};

constinit const NodeTypeInfo FxWaveCompiler::kInfo = {
    .typeName = "FxWaveCompiler",
    .displayName = "Wave Compiler",
    .typeId = 712,
    .branches = 1,
    .family = "Wave",
    .menuOrder = 30,
    .info = "This function compiles wave information into a disk file. Mathematical functions can "
            "be used underneath it to specify the wave (e.g. Sine).  Other Wave functions can "
            "also be used (e.g. WaveSource).  All data must be in the range of -1.0 to +1.0, or "
            "else it will end up folding over (to prevent this response, use the Limit "
            "function)",
    .dialogTitle = "Wave Compiler",
    .params = FxWaveCompiler::kFields};

FxWaveCompiler::FxWaveCompiler(bool) : readFormat_(kDefaultFormat) {
    start = 0;
    duration = 0;
    wave.info.format = kDefaultFormat;
    wave.info.bytesPerSample = 1;
}

FxWaveCompiler::~FxWaveCompiler() {
    if (NodeHost* host = GetNodeHost()) host->ForgetWave(*this);
    sound_.Detach(wave);
}

WAVEFORMATEX FxWaveCompiler::Format() const {
    if (format == 0) return readFormat_;
    if (WaveFormatFlag(WaveFormatOfFlag(format)) == format) return WaveFormatOfFlag(format);
    WAVEFORMATEX none;
    none.wFormatTag = 0; // no format: the flag names none of the standard ones
    return none;
}

void FxWaveCompiler::SetFormat(const WAVEFORMATEX& f) {
    format = WaveFormatFlag(f);
    readFormat_ = format ? kDefaultFormat : f;
}

uint64_t FxWaveCompiler::CompiledFrames() const {
    const uint64_t rate = std::max<uint32_t>(1, Format().nSamplesPerSec);
    return std::min<uint64_t>(frames_, rate * kMaxSeconds);
}

uint32_t FxWaveCompiler::LengthMs() const {
    const uint64_t rate = std::max<uint32_t>(1, Format().nSamplesPerSec);
    return static_cast<uint32_t>(std::min<uint64_t>(frames_ * 1000 / rate, 0xFFFFFFFFu));
}

void FxWaveCompiler::SetLengthMs(double ms) {
    const double frames = std::trunc(ms * 0.001 * Format().nSamplesPerSec);
    frames_ = frames > 0.0 ? static_cast<uint64_t>(std::min(frames, 1.8e19)) : 0;
}

bool FxWaveCompiler::MakeSound(const WAVEFORMATEX& f, std::string* error) {
    WaveAccess* access = GetWaveAccess();
    if (!access) {
        if (error) *error = "no sound files can be made here";
        return false;
    }
    WaveInfo info;
    std::string path;
    WaveSound* sound = access->CreateTemporary(info, f, path, error);
    if (!sound) return false;
    wave.info.format = info.format;
    wave.info.bytesPerSample = info.bytesPerSample;
    sound_.Adopt(wave, sound, path);
    return true;
}

bool FxWaveCompiler::Compile() {
    if (frames_ == 0) return true;
    if (!childOne || !childOne->Supports(8)) {
        platform::MessageBox(kImproperTreeMessage);
        return false;
    }
    const WAVEFORMATEX f = Format();
    if (!IsWaveNodeFormat(f)) {
        platform::MessageBox(kWaveFormatRefusedMessage);
        return false;
    }
    const uint64_t total = CompiledFrames();
    if (total < frames_) {
        platform::MessageBox("The wave of \"" + name +
                             "\" is longer than one hour: only its first hour is compiled.");
    }
    auto fail = [&](const std::string& why) {
        platform::MessageBox("The wave of \"" + name + "\" cannot be compiled: " + why + ".");
        return false;
    };
    std::string error;
    if ((!sound_.Get() || !SameFormat(wave.info.format, f)) && !MakeSound(f, &error))
        return fail(error);
    WaveAccess* access = GetWaveAccess();
    WaveSound* sound = sound_.Get();
    if (!access || !sound) return fail("no sound files can be made here");
    pending_.clear();
    hasPending_ = false;

    const uint32_t align = f.nBlockAlign;
    const uint32_t channels = f.nChannels;
    const uint64_t bytes = total * align;
    {
        platform::NamedLock hold(wave.mutex, 0);
        if (!access->SetLength(*sound, wave.info, static_cast<uint32_t>(bytes)))
            return fail("its file cannot be written");
    }
    // One block and one output buffer for the whole run.
    const auto frameBlock =
        static_cast<uint32_t>(std::min<uint64_t>(total, kBlockSamples / channels));
    std::unique_ptr<EventWave> block =
        MakeSampleBlock(frameBlock, static_cast<uint16_t>(channels), f.nSamplesPerSec, 0,
                        static_cast<uint32_t>(total));
    FloatSound* floats = FloatSound::Of(*block);
    std::vector<uint8_t> out(size_t{frameBlock} * align);
    int quarter = 0;
    for (uint64_t sum = 0; sum < total;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(frameBlock, total - sum));
        childOne->Evaluate(*block);
        const size_t samples = std::min<size_t>(size_t{n} * channels, floats->samples.size());
        const float* s = floats->samples.data();
        if (f.wBitsPerSample == 8) {
            for (size_t i = 0; i < samples; ++i) out[i] = CompileSample8(s[i]);
        } else {
            for (size_t i = 0; i < samples; ++i) {
                const auto v = static_cast<uint16_t>(CompileSample16(s[i]));
                out[2 * i] = static_cast<uint8_t>(v);
                out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
        // Samples the subtree left out (it shrank the block) are silence.
        std::fill(out.begin() + static_cast<ptrdiff_t>(samples * (f.wBitsPerSample / 8)),
                  out.begin() + static_cast<ptrdiff_t>(size_t{n} * align),
                  f.wBitsPerSample == 8 ? uint8_t{0x80} : uint8_t{0});
        const uint32_t want = n * align;
        uint32_t written = 0;
        {
            platform::NamedLock hold(wave.mutex, 0);
            if (sound->SeekBytes(wave.info, static_cast<uint32_t>(sum * align)))
                written = sound->Write(wave.info, out.data(), want);
        }
        if (written != want) return fail("its file cannot be written");
        floats->startIndex += n;
        sum += n;
        ReportProgress(*this, sum, total, quarter);
    }
    wave.duration = static_cast<uint32_t>(total * 1000 / f.nSamplesPerSec);
    compiled_ = true;
    return true;
}

void FxWaveCompiler::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (source.TypeName() != TypeName()) return;
    readFormat_ = static_cast<const FxWaveCompiler&>(source).readFormat_;
    LengthFromDuration();
}

void FxWaveCompiler::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    if (toDialog) waveDur = LengthMs();
    const uint32_t before = waveDur;
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog && waveDur != before) SetLengthMs(waveDur);
}

void FxWaveCompiler::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    if (!list.IsEmpty()) {
        list.RemoveAll();
        return;
    }
    if (playWave != 1) return;
    if (compileEverySolve == 1) Compile();
    list.Add(MakeWaveReference(wave, list.now));
}

void FxWaveCompiler::GetSpecialName(int which, std::string& label) const {
    label = which == 1 ? "Compile Wave" : "";
}

void FxWaveCompiler::Special(int which) {
    if (which == 1) Compile();
}

void FxWaveCompiler::Display() {
    if (NodeHost* host = GetNodeHost()) host->ShowWave(*this, wave, name);
}

// ---- storing ----------------------------------------------------------------------------------

void FxWaveCompiler::Serialize(CArchive& ar) {
    if (ar.IsStoring())
        WriteRecord(ar);
    else
        ReadRecord(ar);
}

void FxWaveCompiler::WriteRecord(CArchive& ar) {
    ar.WriteString(name);
    ar.WriteU32(start);
    ar.WriteU32(duration);
    if (childOne) WriteTypedNode(ar, *childOne);
    ar.WriteU16(static_cast<uint16_t>(playWave));
    ar.WriteString(fileName_);
    ar.WriteU16(static_cast<uint16_t>(compileEverySolve));

    const WAVEFORMATEX f = Format();
    ar.WriteU8(1); // the wave event's kind
    ar.WriteString(eventName_);
    ar.WriteU32(eventTime_);
    ar.WriteU16(static_cast<uint16_t>(f.wBitsPerSample / 8));
    ar.WriteU16(1); // marker: flags, loop and options follow
    ar.WriteU16(eventFlags_);
    ar.WriteU16(static_cast<uint16_t>(wave.info.loop));
    ar.WriteU32(wave.info.options);
    const uint16_t hasData = keepSamples != 0 ? 1 : SameFormat(f, kDefaultFormat) ? 0 : 2;
    ar.WriteU16(hasData);
    if (hasData == 0) return;
    ar.WriteU16(f.wFormatTag);
    ar.WriteU16(f.nChannels);
    ar.WriteU32(f.nSamplesPerSec);
    ar.WriteU32(f.nAvgBytesPerSec);
    ar.WriteU16(f.nBlockAlign);
    ar.WriteU16(f.wBitsPerSample);
    ar.WriteU16(0);
    ar.WriteU16(static_cast<uint16_t>(f.wBitsPerSample / 8));
    if (hasData == 2) {
        ar.WriteU32(0);
        return;
    }
    if (hasPending_) {
        ar.WriteU32(static_cast<uint32_t>(pending_.size()));
        ar.WriteBytes(pending_.data(), pending_.size());
        return;
    }
    WaveSound* sound = sound_.Get();
    const uint32_t length = sound ? sound->DataLength() : 0;
    ar.WriteU32(length);
    std::vector<uint8_t> chunk(std::min<uint32_t>(length, 1u << 16));
    platform::NamedLock hold(wave.mutex, 0);
    for (uint32_t at = 0; at < length;) {
        const uint32_t k = std::min<uint32_t>(length - at, static_cast<uint32_t>(chunk.size()));
        uint32_t got = 0;
        if (sound->SeekBytes(wave.info, at)) got = sound->Read(wave.info, chunk.data(), k);
        std::fill(chunk.begin() + got, chunk.begin() + k, f.wBitsPerSample == 8 ? 0x80 : 0);
        ar.WriteBytes(chunk.data(), k);
        at += k;
    }
}

void FxWaveCompiler::ReadRecord(CArchive& ar) {
    name = ar.ReadString();
    start = ar.ReadU32();
    duration = ar.ReadU32();
    if (ar.Failed()) return;
    if (GetChildCount() >= 1 && !ReadBranch(ar, *this, 1)) return;
    const uint16_t play = ar.ReadU16();
    std::string file = ar.ReadString();
    const uint16_t every = ar.ReadU16();
    ar.ReadU8(); // the event's kind: the event exists already
    std::string event = ar.ReadString();
    const uint32_t time = ar.ReadU32();
    ar.ReadU16(); // bytes per sample: follows from the format
    uint16_t flags = 0;
    uint16_t loop = 0;
    uint32_t options = kWaveDefaultOptions;
    if (ar.ReadU16() != 0) {
        flags = ar.ReadU16();
        loop = ar.ReadU16();
        options = ar.ReadU32();
    }
    const uint16_t hasData = ar.ReadU16();
    if (ar.Failed()) return;
    WAVEFORMATEX f = kDefaultFormat;
    std::vector<uint8_t> data;
    if (hasData != 0) {
        f.wFormatTag = ar.ReadU16();
        f.nChannels = ar.ReadU16();
        f.nSamplesPerSec = ar.ReadU32();
        f.nAvgBytesPerSec = ar.ReadU32();
        f.nBlockAlign = ar.ReadU16();
        f.wBitsPerSample = ar.ReadU16();
        const uint16_t extra = ar.ReadU16();
        ar.ReadU16(); // bytes per sample
        const uint32_t length = ar.ReadU32();
        f.cbSize = 0;
        if (ar.Failed() || extra != 0 || length > ar.Remaining()) {
            ar.Fail();
            return;
        }
        data.resize(length);
        if (!ar.ReadBytes(data.data(), length)) return;
    }

    playWave = play;
    compileEverySolve = every;
    fileName_ = std::move(file);
    eventName_ = std::move(event);
    eventTime_ = time;
    eventFlags_ = flags;
    wave.info.loop = loop;
    wave.info.options = options;
    keepSamples = hasData != 0 && hasData != 2 ? 1 : 0;
    SetFormat(f);
    if (!keepSamples) {
        LengthFromDuration();
        Compile();
        return;
    }
    // The kept samples are the wave.
    frames_ = f.nBlockAlign ? data.size() / f.nBlockAlign : 0;
    std::string error;
    WaveAccess* access = GetWaveAccess();
    const auto bytes = static_cast<uint32_t>(data.size());
    if (access && IsWaveNodeFormat(f) && MakeSound(f, &error) &&
        access->SetLength(*sound_.Get(), wave.info, bytes) &&
        (bytes == 0 || (sound_.Get()->SeekBytes(wave.info, 0) &&
                        sound_.Get()->Write(wave.info, data.data(), bytes) == bytes))) {
        wave.duration = static_cast<uint32_t>(frames_ * 1000 / f.nSamplesPerSec);
        compiled_ = true;
        return;
    }
    // No sound to hold them: they stay as read and are saved again unchanged.
    sound_.Detach(wave);
    pending_ = std::move(data);
    hasPending_ = true;
}
