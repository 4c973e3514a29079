// Runs the built dendra-cli's `compile`, `dump` and `--library` on trees with wave compilers and
// effects.
#include "documents/tree_document.h"
#include "nodes/numeric.h"
#include "nodes/wave.h"
#include "tests/common/node_types.h"
#include "tests/common/test_util.h"
#include "tree/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

using testutil::RunCli;

template <class T = ProtoType> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

// An And over a 1 s compiler of `bits` with a Constant 0.5 (left) and a 2 s 16-bit compiler of a
// 440 Hz sine at 44100 Hz (right, path "LR").
bool WriteTree(const std::string& path, uint16_t bits) {
    CDendraDoc doc;
    doc.OnNewDocument();
    auto* both = Put(doc.GetRoot().childOne, "And");
    auto* left = Put<FxWaveCompiler>(both->childOne, "WaveCompiler");
    left->duration = 1000;
    left->SetFormat(PcmFormat(11025, 1, bits));
    Put<Constant>(left->childOne, "Constant")->value = 0.5f;
    auto* right = Put<FxWaveCompiler>(both->childTwo, "WaveCompiler");
    right->duration = 2000;
    right->SetFormat(PcmFormat(44100, 1, 16));
    auto* env = Put<FxEnvelope>(right->childOne, "Envelope");
    env->SetPoints({{1.0f, 0.0f}, {1.0f, 1.0f}});
    auto* sine = Put<Sine>(env->childOne, "Sine");
    auto* phase = Put<TemporalPhase>(sine->childOne, "TemporalPhase");
    phase->useHz = 1;
    phase->frequency = 440.0f;
    Put<Constant>(sine->childTwo, "Constant")->value = static_cast<float>(2 * std::numbers::pi);
    return doc.OnSaveDocument(path);
}

// The bytes of a WAVE file's "data" chunk (empty when there is none).
std::vector<uint8_t> WaveData(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> b{std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>()};
    if (b.size() < 12 || std::string(b.begin(), b.begin() + 4) != "RIFF") return {};
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size =
            b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16 | uint32_t(b[at + 7]) << 24;
        if (std::string(b.begin() + at, b.begin() + at + 4) == "data")
            return {b.begin() + at + 8,
                    b.begin() + at + 8 + std::min<size_t>(size, b.size() - at - 8)};
        at += 8 + size + (size & 1);
    }
    return {};
}

TEST(CompileCommand, WritesTheChosenCompilersSoundAsAWaveFile) {
    testutil::TempDir dir("dendra-compile");
    const std::string tree = dir.File("t.dra");
    ASSERT_TRUE(WriteTree(tree, 8));

    // Without a path: the first compiler depth-first, the 8-bit one of 0.5.
    const std::string first = dir.File("first.wav");
    testutil::CliResult r = RunCli("compile " + tree + " -o " + first);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"frames\":11025,\"rate\":11025,\"channels\":1,\"bits\":8"),
              std::string::npos)
        << r.out;
    std::vector<uint8_t> wav = WaveData(first);
    ASSERT_EQ(wav.size(), 11025u);
    for (size_t i = 0; i < wav.size(); ++i) ASSERT_EQ(wav[i], 191) << i;

    // The sine at "LR": 440 Hz by its zero crossings; sox agrees on the format and length.
    const std::string sine = dir.File("sine.wav");
    r = RunCli("compile " + tree + " LR -o " + sine);
    ASSERT_EQ(r.status, 0) << r.out;
    wav = WaveData(sine);
    ASSERT_EQ(wav.size(), 2u * 88200u);
    int crossings = 0;
    auto at = [&](size_t i) { return static_cast<int16_t>(wav[2 * i] | wav[2 * i + 1] << 8); };
    for (size_t i = 1; i < 88200; ++i)
        if ((at(i - 1) < 0) != (at(i) < 0)) ++crossings;
    EXPECT_NEAR(crossings / 2.0 / 2.0, 440.0, 2.2);
    if (std::system("command -v soxi >/dev/null 2>&1") == 0) {
        FILE* p =
            ::popen(("for o in -r -c -b -s; do soxi $o " + sine + "; done 2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[256] = {};
        std::string out;
        while (size_t n = std::fread(buf, 1, sizeof buf - 1, p)) out.append(buf, n);
        ::pclose(p);
        EXPECT_EQ(out, "44100\n1\n16\n88200\n");
    }

    // Refusals: a path to a node that is no compiler, a path to nothing, a bad path, no -o.
    r = RunCli("compile " + tree + " L -o " + dir.File("x.wav"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("is not a wave compiler"), std::string::npos) << r.out;
    EXPECT_NE(RunCli("compile " + tree + " LLLL -o " + dir.File("x.wav")).status, 0);
    EXPECT_NE(RunCli("compile " + tree + " LX -o " + dir.File("x.wav")).status, 0);
    EXPECT_NE(RunCli("compile " + tree).status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.wav")));

    // `dump` shows the compilers' formats and the envelope's points.
    r = RunCli("dump " + tree);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"wave\":{\"formatTag\":1,\"rate\":11025,\"channels\":1,\"bits\":8,"
                         "\"frames\":11025,\"lengthMs\":1000,\"compiled\":true}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"points\":[{\"level\":1,\"position\":0},{\"level\":1,\"position\":1}]"),
              std::string::npos)
        << r.out;
}

TEST(CompileCommand, LibrariesForOneRunAndTheirEffectsInTypesAndDump) {
    testutil::TempDir dir("dendra-library");
    testutil::CliResult r = RunCli(std::string("types --json --library ") + EXAMPLE_EFFECTS);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("{\"name\":\"Pulse\",\"family\":\"Examples\",\"library\":"
                         "\"ExampleEffects\""),
              std::string::npos)
        << r.out;
    // Something that is not a library: refused with a message.
    const std::string text = dir.File("not.so");
    std::ofstream(text) << "text\n";
    r = RunCli("types --library " + text);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("Could not load the effect library"), std::string::npos) << r.out;
    r = RunCli("types --lexicon " + dir.Path().string());
    EXPECT_NE(r.status, 0) << "--lexicon is for solve, render, compile and dump";
}

} // namespace
