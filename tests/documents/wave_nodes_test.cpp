// The wave family over real sound files: compiled samples against hand-worked values, blocks,
// envelopes, the file readers' channel modes, storing and reading back, and bad records.
#include "documents/node_wave_access.h"
#include "documents/tree_document.h"
#include "events/archive.h"
#include "events/event_list.h"
#include "events/wave_sound.h"
#include "nodes/builtin_nodes.h"
#include "nodes/envelope_editor.h"
#include "nodes/float_sound.h"
#include "nodes/wave.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"
#include "tests/documents/tree_bytes.h"
#include "tests/tree/tree_helpers.h"
#include "tree/node_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>

namespace {

class WaveNodes : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterBuiltinNodeTypes();
        InstallNodeWaveAccess();
        Registry().BuildBuiltins(true);
        doc.OnNewDocument();
        doc.SetSolveOnRead(false);
    }
    void TearDown() override {
        SetCompileProgress(nullptr);
        platform::DeleteTempFiles();
    }

    FxWaveCompiler* Compiler(const WAVEFORMATEX& f, uint64_t frames) {
        auto* c = Put<FxWaveCompiler>(doc.GetRoot().childOne, "WaveCompiler");
        c->SetFormat(f);
        c->SetFrames(frames);
        return c;
    }

    platform::ScopedRecordingMessages messages;
    CDendraDoc doc;
};

// The compiled sound's bytes.
std::vector<uint8_t> Bytes(FxWaveCompiler& c) {
    WaveSound* s = c.Sound();
    if (!s) return {};
    std::vector<uint8_t> b(s->DataLength());
    if (b.empty()) return b;
    EXPECT_TRUE(s->SeekBytes(c.wave.info, 0));
    b.resize(s->Read(c.wave.info, b.data(), static_cast<uint32_t>(b.size())));
    return b;
}

int16_t S16(const std::vector<uint8_t>& b, size_t i) {
    return static_cast<int16_t>(static_cast<uint16_t>(b[2 * i] | b[2 * i + 1] << 8));
}

// Sine(TemporalPhase at hz, 2π).
void PutSine(ProtoType* at, float hz) {
    auto* sine = Put<Sine>(at, "Sine");
    auto* phase = Put<TemporalPhase>(sine->childOne, "TemporalPhase");
    phase->useHz = 1;
    phase->frequency = hz;
    PutConstant(sine->childTwo, static_cast<float>(2 * std::numbers::pi));
}

TEST_F(WaveNodes, ConstantsConvertToHandWorkedSamplesAndWrapOutsideTheRange) {
    struct Case {
        float value;
        uint16_t bits;
        int expected;
    } cases[] = {{0.5f, 8, 191},
                 {0.5f, 16, 16383},
                 {1.2f, 16, -26216},
                 {-1.0f, 8, 0},
                 {1.0f, 8, 255},
                 {-0.5f, 16, -16383},
                 {1.5f, 8, (int)(2.5 * 127.5) & 0xFF}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.value) + " at " + std::to_string(k.bits) + " bits");
        FxWaveCompiler* c = Compiler(PcmFormat(11025, 1, k.bits), 300);
        PutConstant(c->childOne, k.value);
        ASSERT_TRUE(c->Compile());
        std::vector<uint8_t> b = Bytes(*c);
        ASSERT_EQ(b.size(), 300u * k.bits / 8);
        for (size_t i = 0; i < 300; ++i)
            ASSERT_EQ(k.bits == 8 ? b[i] : S16(b, i), k.expected) << "sample " << i;
        doc.OnNewDocument();
    }
    // Values that are no numbers give what 0 gives.
    EXPECT_EQ(CompileSample8(std::nanf("")), 127);
    EXPECT_EQ(CompileSample16(-INFINITY), 0);
    EXPECT_TRUE(messages.Shown().empty());
}

TEST_F(WaveNodes, LongWavesCompileInBlocksThatAdvanceTheStartIndex) {
    // Temporal ÷ 100000: each sample is its own frame index scaled into the range.
    FxWaveCompiler* c = Compiler(PcmFormat(44100, 1, 16), 100000);
    auto* mul = Put<Multiply>(c->childOne, "Multiply");
    Put<Temporal>(mul->childOne, "Temporal");
    PutConstant(mul->childTwo, 1.0f / 100000.0f);
    std::vector<uint64_t> done;
    SetCompileProgress([&](const ProtoType&, uint64_t d, uint64_t total) {
        EXPECT_EQ(total, 100000u);
        done.push_back(d);
    });
    ASSERT_TRUE(c->Compile());
    EXPECT_EQ(done, (std::vector<uint64_t>{65536, 100000}));
    std::vector<uint8_t> b = Bytes(*c);
    ASSERT_EQ(b.size(), 200000u);
    for (size_t i : {0u, 1u, 65535u, 65536u, 70000u, 99999u}) {
        const float v = static_cast<float>(i) * (1.0f / 100000.0f);
        EXPECT_EQ(S16(b, i), CompileSample16(v)) << "sample " << i;
    }

    // Stereo: both channels of a frame carry the frame's index; blocks hold 32768 frames.
    doc.OnNewDocument();
    c = Compiler(PcmFormat(22050, 2, 16), 40000);
    mul = Put<Multiply>(c->childOne, "Multiply");
    Put<Temporal>(mul->childOne, "Temporal");
    PutConstant(mul->childTwo, 1.0f / 40000.0f);
    done.clear();
    SetCompileProgress([&](const ProtoType&, uint64_t d, uint64_t) { done.push_back(d); });
    ASSERT_TRUE(c->Compile());
    EXPECT_EQ(done, (std::vector<uint64_t>{32768, 40000}));
    b = Bytes(*c);
    ASSERT_EQ(b.size(), 160000u);
    for (size_t frame : {0u, 32767u, 32768u, 39999u}) {
        const int16_t want = CompileSample16(static_cast<float>(frame) * (1.0f / 40000.0f));
        EXPECT_EQ(S16(b, 2 * frame), want) << "frame " << frame;
        EXPECT_EQ(S16(b, 2 * frame + 1), want) << "frame " << frame;
    }
}

TEST_F(WaveNodes, EnvelopesScaleTheBranchByTheirGain) {
    // The default envelope halves every sample.
    FxWaveCompiler* c = Compiler(PcmFormat(11025, 1, 16), 1000);
    auto* env = Put<FxEnvelope>(c->childOne, "Envelope");
    PutConstant(env->childOne, 1.0f);
    ASSERT_TRUE(c->Compile());
    std::vector<uint8_t> b = Bytes(*c);
    for (size_t i : {0u, 500u, 999u}) EXPECT_EQ(S16(b, i), 16383) << i;

    // A ramp from 0 to 1 over 1000 samples: sample 500 is multiplied by 0.5.
    env->SetPoints({{0.0f, 0.0f}, {1.0f, 1.0f}});
    ASSERT_TRUE(c->Compile());
    b = Bytes(*c);
    EXPECT_EQ(S16(b, 0), 0);
    EXPECT_EQ(S16(b, 500), 16383);
    EXPECT_EQ(S16(b, 250), 8191);

    // Over two blocks the second block starts at its place on the ramp (0.65536), and a middle
    // point bends it: up to 1.0 at 0.5, down to 0.0 at 1.0.
    doc.OnNewDocument();
    c = Compiler(PcmFormat(44100, 1, 16), 100000);
    env = Put<FxEnvelope>(c->childOne, "Envelope");
    PutConstant(env->childOne, 1.0f);
    env->SetPoints({{0.0f, 0.0f}, {1.0f, 1.0f}});
    ASSERT_TRUE(c->Compile());
    b = Bytes(*c);
    EXPECT_NEAR(S16(b, 70000), 0.7 * 32767, 2.0);
    EXPECT_NEAR(S16(b, 65536), 0.65536 * 32767, 2.0);
    env->SetPoints({{0.0f, 0.0f}, {1.0f, 0.5f}, {0.0f, 1.0f}});
    ASSERT_TRUE(c->Compile());
    b = Bytes(*c);
    EXPECT_NEAR(S16(b, 25000), 0.5 * 32767, 2.0);
    EXPECT_NEAR(S16(b, 50000), 32767, 2.0);
    EXPECT_NEAR(S16(b, 75000), 0.5 * 32767, 2.0);
    EXPECT_NEAR(S16(b, 99999), 0.0, 2.0);
}

TEST_F(WaveNodes, WhatCannotBeCompiledIsRefusedWithAMessage) {
    FxWaveCompiler* c = Compiler(PcmFormat(11025, 1, 8), 100);
    Put(c->childOne, "MidiNote");
    EXPECT_FALSE(c->Compile());
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{kImproperTreeMessage});
    EXPECT_EQ(c->Sound(), nullptr);

    // Widths the conversion does not know: nothing is written.
    for (uint16_t bits : {24, 32}) {
        messages.Clear();
        doc.OnNewDocument();
        c = Compiler(PcmFormat(11025, 1, 8), 100);
        PutConstant(c->childOne, 0.5f);
        c->SetFormat(PcmFormat(11025, 1, bits));
        EXPECT_FALSE(c->Compile());
        EXPECT_EQ(messages.Shown(), std::vector<std::string>{kWaveFormatRefusedMessage});
        EXPECT_EQ(c->Sound(), nullptr);
    }

    // A wave of no length compiles to nothing, quietly.
    messages.Clear();
    c->SetFormat(PcmFormat(11025, 1, 8));
    c->SetFrames(0);
    EXPECT_TRUE(c->Compile());
    EXPECT_EQ(c->Sound(), nullptr);
    EXPECT_TRUE(messages.Shown().empty());

    // 2^31 frames: only the first hour is compiled.
    c->SetFrames(uint64_t{1} << 31);
    EXPECT_EQ(c->CompiledFrames(), 11025u * 3600u);
}

TEST_F(WaveNodes, SolvingYieldsOneWaveEventAtNowOnlyIntoAnEmptyList) {
    FxWaveCompiler* c = Compiler(PcmFormat(11025, 1, 8), 1102);
    PutConstant(c->childOne, 0.25f);
    c->compileEverySolve = 1;
    CNoteEventList list;
    list.now = 1234;
    list.next = kFixedStep;
    c->Solve(list);
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(list.head->next, nullptr);
    ASSERT_TRUE(list.head->IsWave());
    EXPECT_EQ(list.head->time, 1234u);
    auto* w = static_cast<EventWave*>(list.head);
    EXPECT_EQ(w->sound, c->Sound()) << "the event refers to the compiled sound";
    EXPECT_EQ(w->GetDuration(), 99u);
    // The list holds events: the compiler empties it and yields nothing.
    c->Solve(list);
    EXPECT_EQ(list.head, nullptr);
    // Without playWave: nothing.
    c->playWave = 0;
    c->Solve(list);
    EXPECT_EQ(list.head, nullptr);

    // Effects without processing yield nothing and leave blocks alone.
    auto block = MakeSampleBlock(4, 1, 11025);
    FloatSound::Of(*block)->samples = {0.1f, 0.2f, 0.3f, 0.4f};
    for (const char* type : {"BandPass", "Chorus", "Reverb"}) {
        doc.OnNewDocument();
        ProtoType* fx = Put(doc.GetRoot().childOne, type);
        ASSERT_NE(fx, nullptr) << type;
        // Evaluable over samples when the branch is (a Null is not).
        if (fx->childOne) {
            EXPECT_EQ(fx->Supports(8), 0) << type;
            PutConstant(fx->childOne, 0.0f);
        }
        list.Add(new EventValue(1.0f, 0));
        fx->Solve(list);
        EXPECT_EQ(list.head, nullptr) << type;
        fx->Evaluate(*block);
        EXPECT_EQ(FloatSound::Of(*block)->samples, (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f}));
        EXPECT_EQ(fx->Supports(8), 1) << type;
    }
}

TEST_F(WaveNodes, CompiledSineHasItsFrequencyByZeroCrossings) {
    FxWaveCompiler* c = Compiler(PcmFormat(44100, 1, 16), 44100);
    PutSine(c->childOne, 440.0f);
    ASSERT_TRUE(c->Compile());
    std::vector<uint8_t> b = Bytes(*c);
    int crossings = 0;
    for (size_t i = 1; i < 44100; ++i)
        if ((S16(b, i - 1) < 0) != (S16(b, i) < 0)) ++crossings;
    EXPECT_NEAR(crossings / 2.0, 440.0, 2.2);
}

TEST_F(WaveNodes, WaveFilesReadIntoBlocksInTheirChannelModes) {
    // A stereo 16-bit sound: left is the frame index ÷ 1000, right its negative.
    FxWaveCompiler* c = Compiler(PcmFormat(11025, 2, 16), 1000);
    auto* mul = Put<Multiply>(c->childOne, "Multiply");
    Put<Temporal>(mul->childOne, "Temporal");
    PutConstant(mul->childTwo, 0.001f);
    ASSERT_TRUE(c->Compile());
    const std::string stereo = platform::GetTempName(false);
    std::string error;
    ASSERT_TRUE(GetWaveAccess()->SaveAsWave(*c->Sound(), c->wave.info, stereo, &error)) << error;

    doc.OnNewDocument();
    auto* file = Put<FxWaveFile>(doc.GetRoot().childOne, "WaveFile");
    file->fileName = stereo;
    ASSERT_TRUE(file->Open(&error)) << error;
    EXPECT_EQ(file->wave.info.format.nChannels, 2);
    // Two into one: the frame's two samples averaged (both equal here).
    auto block = MakeSampleBlock(8, 1, 11025, 500, 1000);
    file->Evaluate(*block);
    const std::vector<float>& s = FloatSound::Of(*block)->samples;
    for (size_t i = 0; i < 8; ++i) {
        const float want = static_cast<float>(CompileSample16((500 + i) * 0.001f)) / 32768.0f;
        EXPECT_FLOAT_EQ(s[i], want) << i;
    }
    // Past the end: silence.
    block = MakeSampleBlock(8, 2, 11025, 996, 1000);
    file->Evaluate(*block);
    EXPECT_FLOAT_EQ(FloatSound::Of(*block)->samples[6], CompileSample16(0.999f) / 32768.0f);
    EXPECT_EQ(FloatSound::Of(*block)->samples[8], 0.0f);

    // One into two: an 8-bit mono sound read by a table into a stereo block.
    doc.OnNewDocument();
    c = Compiler(PcmFormat(11025, 1, 8), 100);
    PutConstant(c->childOne, 0.5f);
    ASSERT_TRUE(c->Compile());
    const std::string mono = platform::GetTempName(false);
    ASSERT_TRUE(GetWaveAccess()->SaveAsWave(*c->Sound(), c->wave.info, mono, &error)) << error;
    doc.OnNewDocument();
    auto* table = Put<FxWaveTable>(doc.GetRoot().childOne, "WaveTable");
    table->fileName = mono;
    ASSERT_TRUE(table->Open());
    block = MakeSampleBlock(4, 2, 11025, 0, 100);
    table->Evaluate(*block);
    for (float v : FloatSound::Of(*block)->samples) EXPECT_FLOAT_EQ(v, (191 - 128) / 128.0f);

    // playWave: the file's wave event at now.
    table->playWave = 1;
    CNoteEventList list;
    list.now = 40;
    list.next = kFixedStep;
    table->Solve(list);
    ASSERT_NE(list.head, nullptr);
    EXPECT_TRUE(list.head->IsWave());
    EXPECT_EQ(list.head->time, 40u);

    // A name that opens nothing: the dialog says so and keeps the name; a block stays silent.
    ParamDialog dialog;
    table->ExchangeParams(true, dialog);
    ASSERT_EQ(dialog.fields.size(), 2u); // playWave, fileName
    dialog.fields[1].text = "/no/such/file.wav";
    messages.Clear();
    table->ExchangeParams(false, dialog);
    EXPECT_EQ(messages.Shown(), std::vector<std::string>{kCouldNotOpenMessage});
    EXPECT_EQ(table->fileName, "/no/such/file.wav");
    table->Evaluate(*block);
    for (float v : FloatSound::Of(*block)->samples) EXPECT_EQ(v, 0.0f);
    std::filesystem::remove(stereo);
    std::filesystem::remove(mono);
}

// ---- storing ----------------------------------------------------------------------------------

std::vector<uint8_t> Stored(CDendraDoc& d) {
    CArchive ar;
    d.WriteDocument(ar);
    return ar.Buffer();
}

TEST_F(WaveNodes, EveryWaveTypeCopiesStoresAndReadsBackByteForByte) {
    const char* types[] = {"BandPass",   "ChangeLength", "ChangePitch",  "Chorus",   "Distortion",
                           "Envelope",   "Flange",       "HighPass",     "LowPass",  "Noise",
                           "Retrograde", "Reverb",       "WaveCompiler", "WaveFile", "WaveTable"};
    for (const char* type : types) {
        SCOPED_TRACE(type);
        doc.OnNewDocument();
        ProtoType* n = Put(doc.GetRoot().childOne, type);
        ASSERT_NE(n, nullptr);
        n->name = std::string("my ") + type;
        n->start = 10;
        n->duration = 900;
        if (auto* e = As<FxEnvelope>(n)) e->SetPoints({{0.1f, 0.0f}, {0.9f, 0.3f}, {0.2f, 1.0f}});
        if (auto* c = As<FxWaveCompiler>(n)) {
            c->SetFormat(PcmFormat(22050, 2, 16));
            c->compileEverySolve = 1;
            c->playWave = 0;
            PutConstant(c->childOne, 0.25f);
        }
        if (auto* f = As<FxWaveFile>(n)) f->fileName = "/tmp/nothing-here.wav";
        const std::vector<uint8_t> first = Stored(doc);
        CDendraDoc again;
        again.SetSolveOnRead(false);
        ASSERT_TRUE(again.LoadFromMemory(first.data(), first.size()));
        EXPECT_EQ(Stored(again), first);
        ProtoType* read = again.GetRoot().childOne;
        EXPECT_EQ(read->GetTypeId(), n->GetTypeId());
        std::string name;
        read->GetFxTypeName(name);
        EXPECT_EQ(name, std::string("Fx") + type);

        // Copy into a fresh node of the type stores the same record.
        CDendraDoc other;
        other.OnNewDocument();
        ProtoType* copy = Put(other.GetRoot().childOne, type);
        if (n->childOne) Put(copy->childOne, "Constant");
        copy->Copy(*n);
        if (n->childOne) copy->childOne->Copy(*n->childOne);
        CArchive a;
        CArchive b;
        WriteTypedNode(a, *n);
        WriteTypedNode(b, *copy);
        EXPECT_EQ(a.Buffer(), b.Buffer());
    }
}

TEST_F(WaveNodes, KeptSamplesTravelWithTheTreeAndOthersAreCompiledOnReading) {
    FxWaveCompiler* c = Compiler(PcmFormat(11025, 1, 16), 0);
    c->duration = 100; // 1102 frames
    c->LengthFromDuration();
    PutConstant(c->childOne, 0.5f);
    ASSERT_TRUE(c->Compile());
    c->keepSamples = 1;
    // Change the branch: the kept samples, not a new compile, come back.
    const std::vector<uint8_t> first = Stored(doc);
    static_cast<Constant*>(c->childOne)->value = -0.5f;
    CDendraDoc again;
    again.SetSolveOnRead(false);
    ASSERT_TRUE(again.LoadFromMemory(first.data(), first.size()));
    auto* read = As<FxWaveCompiler>(again.GetRoot().childOne);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->keepSamples, 1);
    std::vector<uint8_t> b = Bytes(*read);
    ASSERT_EQ(b.size(), 2204u);
    EXPECT_EQ(S16(b, 0), 16383);
    EXPECT_EQ(Stored(again), first);

    // Not kept: the reader compiles, from the stored duration.
    c->keepSamples = 0;
    const std::vector<uint8_t> second = Stored(doc);
    EXPECT_LT(second.size(), first.size());
    CDendraDoc third;
    third.SetSolveOnRead(false);
    ASSERT_TRUE(third.LoadFromMemory(second.data(), second.size()));
    read = As<FxWaveCompiler>(third.GetRoot().childOne);
    ASSERT_TRUE(read && read->IsCompiled());
    b = Bytes(*read);
    ASSERT_EQ(b.size(), 2204u);
    EXPECT_EQ(S16(b, 1000), -16383);
    EXPECT_EQ(Stored(third), second);
}

// A tree file of a Root over one compiler of `format` with `duration` ms and a Constant branch.
std::vector<uint8_t> CompilerFile(uint32_t duration, uint16_t hasData, uint32_t dataLength,
                                  uint16_t rate = 1000) {
    using treebytes::Bytes;
    Bytes b = treebytes::Header(5);
    b.Base("Root", 0, 10000).Str("FxWaveCompiler").Base("Wave Compiler", 0, duration);
    b.Str("Constant").Base("C", 0, duration).F32(0.5f);
    b.U16(1).Str("").U16(0);                  // playWave, file name, compileEverySolve
    b.U8(1).Str("").U32(0).U16(1).U16(1);     // kind, name, time, bytes per sample, marker
    b.U16(0).U16(0).U32(kWaveDefaultOptions); // flags, loop, options
    b.U16(hasData);
    b.U16(1).U16(1).U32(rate).U32(rate).U16(1).U16(8).U16(0).U16(1).U32(dataLength);
    b.U16(0).Str("No Comments."); // no solution, comments
    return b.b;
}

TEST_F(WaveNodes, ReadingBoundsTheCompileAndRefusesRecordsThatRunPastTheEnd) {
    // A duration of 2^32 - 1 ms at 1000 Hz: one hour is compiled, and progress is noted.
    std::vector<uint8_t> file = CompilerFile(0xFFFFFFFFu, 2, 0);
    ASSERT_TRUE(doc.LoadFromMemory(file.data(), file.size()));
    auto* c = As<FxWaveCompiler>(doc.GetRoot().childOne);
    ASSERT_TRUE(c && c->IsCompiled());
    EXPECT_EQ(c->Sound()->DataLength(), 3600u * 1000u);
    const std::vector<std::string> noted = messages.Noted();
    ASSERT_FALSE(noted.empty());
    EXPECT_NE(noted.back().find("100%"), std::string::npos);
    ASSERT_FALSE(messages.Shown().empty());
    EXPECT_NE(messages.Shown()[0].find("longer than one hour"), std::string::npos);
    EXPECT_EQ(Stored(doc), file) << "the record saves back as read";

    // Kept samples whose length runs past the end of the file: the load fails, nothing changes.
    messages.Clear();
    CDendraDoc fresh;
    fresh.OnNewDocument();
    const std::vector<uint8_t> before = Stored(fresh);
    file = CompilerFile(100, 1, 0x7FFFFFFF);
    EXPECT_FALSE(fresh.LoadFromMemory(file.data(), file.size()));
    EXPECT_FALSE(messages.Shown().empty());
    EXPECT_EQ(Stored(fresh), before);
}

TEST_F(WaveNodes, EnvelopeRecordsOfFewOrManyPoints) {
    using treebytes::Bytes;
    auto file = [](uint16_t count, size_t pointsWritten) {
        Bytes b = treebytes::Header(5);
        b.Base("Root", 0, 10000).Str("FxEnvelope").Base("Envelope", 0, 10000);
        b.NullBranch(10000).U16(1).U16(count);
        for (size_t i = 0; i < pointsWritten; ++i) b.F32(0.5f).F32(i ? 1.0f : 0.0f);
        b.U16(0).Str("No Comments.");
        return b.b;
    };
    // 65535 points announced, two present: refused.
    std::vector<uint8_t> bytes = file(65535, 2);
    EXPECT_FALSE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    EXPECT_FALSE(messages.Shown().empty());
    // 65535 points present: read and stored back.
    bytes = file(65535, 65535);
    ASSERT_TRUE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    auto* many = As<FxEnvelope>(doc.GetRoot().childOne);
    EXPECT_EQ(many->points.size(), 65535u);
    EXPECT_EQ(Stored(doc), bytes);
    // OK in the dialog (whose count offers 0 .. 12) keeps them; a changed count cuts.
    ParamDialog dialog;
    many->ExchangeParams(true, dialog);
    many->ExchangeParams(false, dialog);
    EXPECT_EQ(many->points.size(), 65535u);
    dialog.fields[1].number = 3;
    many->ExchangeParams(false, dialog);
    ASSERT_EQ(many->points.size(), 3u);
    EXPECT_EQ(many->points[2].position, 1.0f);
    // No points: kept as read (noted), the envelope leaves blocks alone, stored back the same.
    messages.Clear();
    bytes = file(0, 0);
    ASSERT_TRUE(doc.LoadFromMemory(bytes.data(), bytes.size()));
    auto* env = As<FxEnvelope>(doc.GetRoot().childOne);
    EXPECT_TRUE(env->points.empty());
    EXPECT_EQ(messages.Noted().size(), 1u);
    auto block = MakeSampleBlock(2, 1, 11025, 0, 2);
    FloatSound::Of(*block)->samples = {0.3f, 0.4f};
    env->Evaluate(*block);
    EXPECT_EQ(FloatSound::Of(*block)->samples, (std::vector<float>{0.3f, 0.4f}));
    EXPECT_EQ(Stored(doc), bytes);
}

TEST(EnvelopeEditor, PressDragDoubleClickAndCountFollowTheRules) {
    FxEnvelope node;
    EnvelopeEditor ed(node);
    int changes = 0;
    ed.onChanged = [&] { ++changes; };
    // A press near the first point selects it; far from both, none.
    EXPECT_TRUE(ed.Press(0.04, 0.46));
    EXPECT_EQ(ed.Selected(), 0);
    EXPECT_FALSE(ed.Press(0.5, 0.9));
    EXPECT_EQ(ed.Selected(), -1);
    // A double click off the points inserts one in position order.
    EXPECT_TRUE(ed.DoubleClick(0.5, 0.9));
    ASSERT_EQ(ed.PointCount(), 3);
    EXPECT_EQ(ed.Points()[1], (EnvelopePoint{0.9f, 0.5f}));
    EXPECT_FALSE(ed.DoubleClick(0.52, 0.88)) << "hits the new point";
    EXPECT_TRUE(ed.DoubleClick(0.25, 0.1));
    ASSERT_EQ(ed.PointCount(), 4);
    EXPECT_EQ(ed.Points()[1].position, 0.25f);
    // Dragging the point at 0.5 before the one at 0.25 re-orders them.
    ASSERT_TRUE(ed.Press(0.5, 0.9));
    ed.Drag(0.1, 0.7);
    ed.Release();
    EXPECT_EQ(ed.Points()[1], (EnvelopePoint{0.7f, 0.1f}));
    EXPECT_EQ(ed.Points()[2].position, 0.25f);
    // Dragging the last point inwards leaves it at 1.0; the first stays at 0.0.
    ASSERT_TRUE(ed.Press(1.0, 0.5));
    ed.Drag(0.6, 2.0);
    EXPECT_EQ(ed.Points().back().position, 1.0f);
    EXPECT_EQ(ed.Points().back().level, 1.0f) << "held to the area";
    EXPECT_EQ(ed.Points().front().position, 0.0f);
    // Fewer than two points keep two; the last of them moves to 1.0.
    ed.SetPointCount(0);
    ASSERT_EQ(ed.PointCount(), 2);
    EXPECT_EQ(ed.Points()[1].position, 1.0f);
    EXPECT_GT(changes, 5);
    // Nothing reaches the node before ApplyTo.
    EXPECT_EQ(node.points.size(), 2u);
    EXPECT_EQ(node.points[1].level, 0.5f);
    ed.ApplyTo(node);
    EXPECT_EQ(node.points, ed.Points());
    EXPECT_EQ(node.pointCount, 2);
    // Pixels: level 1.0 is at the top.
    EXPECT_EQ(EnvelopeEditor::YOf(1.0, 100), 0);
    EXPECT_EQ(EnvelopeEditor::XOf(1.0, 200), 199);
    EXPECT_DOUBLE_EQ(EnvelopeEditor::LevelAt(EnvelopeEditor::YOf(0.25, 101), 101), 0.25);
}

} // namespace

namespace {

// The fuzz seeds that hold wave and Library records read and store back byte for byte.
TEST_F(WaveNodes, FuzzSeedsWithWaveAndLibraryRecordsReadBackByteForByte) {
    const std::filesystem::path folder =
        std::filesystem::path(DENDRA_SOURCE_DIR) / "fuzz/corpus/fuzz_tree_file";
    int seeds = 0;
    for (const char* name : {"wave_library_v5", "wave_kept_effects_v5"}) {
        SCOPED_TRACE(name);
        std::ifstream in(folder / name, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
        ASSERT_FALSE(bytes.empty());
        CDendraDoc d;
        d.SetSolveOnRead(false);
        ASSERT_TRUE(d.LoadFromMemory(bytes.data(), bytes.size()));
        EXPECT_EQ(Stored(d), bytes);
        ++seeds;
    }
    EXPECT_EQ(seeds, 2);
}

} // namespace
