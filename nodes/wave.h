// The wave family: nodes that make sound samples rather than MIDI events.
//
// FxWaveCompiler evaluates its branch (numeric and wave nodes) over blocks of samples and writes
// the result into a sound of its own, which it hands out as a wave event when solved.
// FxWaveFile and FxWaveTable bring the samples of a sound file into such a subtree and can play
// the file; FxEnvelope shapes the amplitude of what its branch yields. Eleven further effect
// types (FxBandPass ... FxReverb) carry names, ids and texts but no processing: they leave blocks
// untouched and yield nothing.
//
// The family's types report names beginning with "Fx" (GetFxTypeName, what tree files store);
// the factory finds them by the name without it ("WaveCompiler"), as it does every "Fx" name.
//
// Frames and samples. A block's start index and total length count frames (one sample per
// channel), so Temporal, TemporalPhase, FxEnvelope and the file readers agree on positions in
// two-channel sounds as in one-channel ones; a block holds at most 65536 samples (32768 frames
// in stereo).
//
// Choices made where the behaviour was open:
// - FxWaveFile and FxWaveTable read 8-bit samples as (u - 128) / 128 and 16-bit ones as
//   s / 32768; two channels into one are averaged; frames past the end of the file are silence.
//   FxWaveTable's branch does not enter the result (it is evaluated like FxWaveFile).
// - FxEnvelope ignores a segment whose end lies before the block (it only moves on to the next
//   point), and a segment of zero width starts at the next point's level.
// - Effect types that the registry names get their type name (without "Fx") as display name.
//
// Everything here runs on the user-interface thread.
#pragma once

#include "events/song_event.h"
#include "nodes/wave_access.h"
#include "tree/proto_type.h"
#include "tree/registry.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

std::span<const NodeFactoryEntry> WaveNodeTypes();

// The system's texts.
inline constexpr const char* kImproperTreeMessage = "Improper tree structure: cannot compile wave.";
inline constexpr const char* kCouldNotOpenMessage = "Could not open the file.";
inline constexpr const char* kWaveFormatRefusedMessage =
    "Only 8-bit and 16-bit PCM waves of one or two channels at 1000 to 192000 Hz can be compiled.";

// What every wave node shares: Supports as the numeric family answers it, the branch labels.
template <class T> class WaveNode : public TypedNode<T> {
public:
    // Capability 8 (evaluation over sample blocks): when every present branch has it.
    int Supports(int capability) const override {
        if (capability != 8) return 1;
        if (this->childOne && !this->childOne->Supports(8)) return 0;
        if (this->childTwo && !this->childTwo->Supports(8)) return 0;
        return 1;
    }
    // What a branch should hold ("" for none).
    void GetBranchLabel(int which, std::string& label) const override {
        const char* l = which == 1 ? T::kBranchLabels[0] : which == 2 ? T::kBranchLabels[1] : "";
        label = l ? l : "";
    }
};

// ---- effects without processing ---------------------------------------------------------------

template <class T> class WaveEffect : public WaveNode<T> {
public:
    // Empties the list: an effect yields nothing.
    void Solve(CNoteEventList& list) override;
};

#define DENDRA_WAVE_EFFECT(Name)                                                                   \
    class Name : public WaveEffect<Name> {                                                         \
    public:                                                                                        \
        static const NodeTypeInfo kInfo;                                                           \
        static const char* const kBranchLabels[2];                                                 \
    };

DENDRA_WAVE_EFFECT(FxBandPass)
DENDRA_WAVE_EFFECT(FxChangeLength)
DENDRA_WAVE_EFFECT(FxChangePitch)
DENDRA_WAVE_EFFECT(FxChorus)
DENDRA_WAVE_EFFECT(FxDistortion)
DENDRA_WAVE_EFFECT(FxFlange)
DENDRA_WAVE_EFFECT(FxHighPass)
DENDRA_WAVE_EFFECT(FxLowPass)
DENDRA_WAVE_EFFECT(FxNoise)
DENDRA_WAVE_EFFECT(FxRetrograde)
DENDRA_WAVE_EFFECT(FxReverb)
#undef DENDRA_WAVE_EFFECT

// ---- FxEnvelope -------------------------------------------------------------------------------

struct EnvelopePoint {
    float level = 0.5f;    // the gain, 0.0 .. 1.0
    float position = 0.0f; // the fraction of the sound's length, 0.0 .. 1.0
    bool operator==(const EnvelopePoint&) const = default;
};

class FxEnvelope : public WaveNode<FxEnvelope> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    static const char* const kBranchLabels[2];
    // Points stored from a file beyond this many fail the read (the file cannot hold them).
    static constexpr int kMaxPoints = 65535;

    // envelopeType, pointCount (from the table) and the points.
    void Copy(const ProtoType& source) override;
    // After the base record and the two fields: per point 32 float level, 32 float position.
    // Reading takes exactly pointCount points; fewer than two are kept as read (the envelope
    // then leaves the wave as it is) and noted.
    void Serialize(CArchive& ar) override;
    // On OK "Number of points:" keeps the first points (at least 2; see SetPointCount).
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    // Empties the list when active.
    void Solve(CNoteEventList& list) override;
    // The left branch's samples times the envelope's gain at each frame.
    void Evaluate(EventWave& block) override;

    // Keeps the first max(n, 2) points (never more than there are, raising a list of fewer
    // than two with the default points), then puts the first at 0.0 and the last at 1.0.
    void SetPointCount(int n);
    // Replaces the points (ordered by position as given) and sets pointCount.
    void SetPoints(std::vector<EnvelopePoint> points);

    int32_t envelopeType = 1; // the only type, "Linear"
    int32_t pointCount = 2;
    std::vector<EnvelopePoint> points = {{0.5f, 0.0f}, {0.5f, 1.0f}};
};

// ---- FxWaveCompiler ---------------------------------------------------------------------------

// Progress of a compile: called after each block with the frames written and the total. When
// no handler is installed, compiles of more than kProgressNoteFrames frames write a note at
// every quarter ("Compiling wave "NAME": 25%").
using CompileProgress =
    std::function<void(const ProtoType& node, uint64_t framesDone, uint64_t framesTotal)>;
void SetCompileProgress(CompileProgress progress);
constexpr uint64_t kProgressNoteFrames = 1u << 20;

class FxWaveCompiler : public WaveNode<FxWaveCompiler> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    static const char* const kBranchLabels[2];
    // Samples per block at most (frames × channels).
    static constexpr uint32_t kBlockSamples = 65536;
    // A compile covers at most one hour of the wave.
    static constexpr uint32_t kMaxSeconds = 3600;

    // `loading`: made while a tree file is read (the factory's loading flag); nothing differs
    // but that the file's own record then sets everything.
    explicit FxWaveCompiler(bool loading = false);
    ~FxWaveCompiler() override;

    // The flags and the format; the wave's length from the copy's duration (no samples).
    void Copy(const ProtoType& source) override;
    // After the base record: 16 playWave; the wave's file name (string); 16 compileEverySolve;
    // the wave event (kind byte, name, time, bytes per sample, marker, flags, loop, options,
    // has-data), with the compiled sound's data when keepSamples is set (format record, bytes
    // per sample, data length, the bytes). A format other than the default travels as has-data 2
    // with the format and no bytes. Reading takes the wave's length from the duration (or from
    // the kept bytes) and compiles at once unless the samples were kept.
    void Serialize(CArchive& ar) override;
    // "WaveDur (in MS)" shows the wave's length; a changed value sets it.
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    void Solve(CNoteEventList& list) override;
    void GetSpecialName(int which, std::string& label) const override;
    // 1: "Compile Wave".
    void Special(int which) override;
    // Opens a wave window on the compiled sound.
    void Display() override;

    // Compiles the branch into the wave. False, with the message shown, when the branch cannot
    // be evaluated over samples, the format cannot be compiled, or the sound cannot be made or
    // written; a wave of length 0 compiles to nothing (true).
    bool Compile();

    // The wave's format: the standard format of `format`, or the one read from a file when that
    // is none of them.
    WAVEFORMATEX Format() const;
    void SetFormat(const WAVEFORMATEX& format);
    // The wave's length in frames as set (from the duration, WaveDur or kept samples), and
    // what a compile covers (held to kMaxSeconds of the wave's rate).
    uint64_t Frames() const { return frames_; }
    uint64_t CompiledFrames() const;
    void SetFrames(uint64_t frames) { frames_ = frames; }
    // Length in ms as WaveDur shows it; setting it takes ms × 0.001 × rate frames.
    uint32_t LengthMs() const;
    void SetLengthMs(double ms);
    // The length from the node's duration.
    void LengthFromDuration() { SetLengthMs(duration); }
    // The sound behind `wave` (null until the first compile or kept samples).
    WaveSound* Sound() const { return sound_.Get(); }
    bool IsCompiled() const { return compiled_; }

    EventWave wave;
    int32_t playWave = 1;
    int32_t keepSamples = 0;
    int32_t compileEverySolve = 0;
    uint32_t waveDur = 0; // the dialog's field (ms), filled when the dialog opens
    int32_t format = 1;   // a standard format flag, 0 for the format read from a file

private:
    bool MakeSound(const WAVEFORMATEX& f, std::string* error);
    void ReadRecord(CArchive& ar);
    void WriteRecord(CArchive& ar);

    OwnedSound sound_;
    uint64_t frames_ = 0;
    bool compiled_ = false;
    WAVEFORMATEX readFormat_; // what a file held when `format` is 0
    // Kept as read, so that a tree saves back as it was read.
    std::string fileName_;
    std::string eventName_;
    uint32_t eventTime_ = 0;
    uint16_t eventFlags_ = 0;
    // Kept samples that found no sound to go into (no access, or a format no sound holds).
    std::vector<uint8_t> pending_;
    bool hasPending_ = false;
};

// ---- FxWaveFile, FxWaveTable ------------------------------------------------------------------

template <class T> class WaveSource : public WaveNode<T> {
public:
    WaveSource();
    ~WaveSource() override;
    // playWave and the file name (from the table), then opens the file.
    void Copy(const ProtoType& source) override;
    // 16 playWave; the file name. Reading opens the named file; a failure is silent.
    void Serialize(CArchive& ar) override;
    // A changed file name opens the file ("Could not open the file." when it cannot; the new
    // name stays).
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    // When active: empties the list and, with playWave set, adds the file's wave at now.
    void Solve(CNoteEventList& list) override;
    // The file's samples from the block's start frame, converted to floats (two channels into
    // one, one into two, or sample for sample).
    void Evaluate(EventWave& block) override;
    void Display() override;

    // Opens `fileName`; false (the node without a sound) when it cannot, with *error set.
    bool Open(std::string* error = nullptr);
    WaveSound* Sound() const { return sound_.Get(); }

    EventWave wave;
    std::string fileName;
    int32_t playWave = 0;

private:
    OwnedSound sound_;
    std::vector<uint8_t> raw_; // the bytes of one block, kept between blocks
};

class FxWaveFile : public WaveSource<FxWaveFile> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    static const char* const kBranchLabels[2];
};

class FxWaveTable : public WaveSource<FxWaveTable> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    static const char* const kBranchLabels[2];
};

extern template class WaveSource<FxWaveFile>;
extern template class WaveSource<FxWaveTable>;

// ---- sample conversion ------------------------------------------------------------------------

// The compiler's conversions: 8 bits (v + 1) × 127.5 and 16 bits v × 32767, both truncated and
// kept to their low 8 or 16 bits, so values outside -1 .. +1 wrap around; NaN and infinities
// give what 0.0 gives.
uint8_t CompileSample8(float v);
int16_t CompileSample16(float v);
