// Writes the demo documents into a folder: a tree that arpeggiates minor chords over a hi-hat
// pulse, a bass line as a MIDI file, a short sound file, and a song that plays the three.
// Everything is made by Dendra's own document code.
//   dendra-make-examples FOLDER
#include "documents/midi_document.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "formats/sample_format.h"
#include "formats/wave_data.h"
#include "formats/wave_file.h"
#include "nodes/builtin_nodes.h"
#include "nodes/control.h"
#include "nodes/midi.h"
#include "nodes/node_params.h"
#include "nodes/numeric.h"
#include "song/song_document.h"
#include "tree/registry.h"
#include "tree/solve.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

template <class T> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

bool WriteTree(const std::string& path) {
    CDendraDoc doc;
    doc.OnNewDocument();
    Root& root = doc.GetRoot();
    root.duration = 16000;
    root.AlignTimes(0);
    auto* both = Put<ProtoType>(root.childOne, "And");
    if (!both) return false;

    // Left: every half beat, a minor chord on A, fitted to A minor, arpeggiated.
    auto* every = Put<Every>(both->childOne, "Every");
    Put<Constant>(every->childOne, "Constant")->value = 500.0f;
    auto* arp = Put<Arpeggiate>(every->childTwo, "Arpeggiate");
    auto* chord = Put<ChordBuilder>(arp->childOne, "ChordBuilder");
    nodes::ApplyChord(*chord, "Minor");
    // A minor is the Aeolian scale on A (key 0), as the Scale dialog offers them.
    auto* scale = Put<Scale>(chord->childOne, "Scale");
    scale->key = 0;
    nodes::ApplyScale(*scale, "Aeolian", "Push Up");
    auto* note = Put<MidiNote>(scale->childOne, "MidiNote");
    note->pitch = 57.0f;
    note->noteDuration = 400.0f;

    // Right: a closed hi-hat on every quarter of a beat.
    auto* pulse = Put<Every>(both->childTwo, "Every");
    Put<Constant>(pulse->childOne, "Constant")->value = 250.0f;
    auto* hat = Put<MidiDrumNote>(pulse->childTwo, "MidiDrumNote");
    hat->pitch = 42.0f;
    hat->velocity = 70.0f;
    hat->noteDuration = 100.0f;

    doc.SetComments("A minor arpeggio over a hi-hat pulse.");
    doc.Solver().SolveAtOnce();
    return doc.OnSaveDocument(path);
}

bool WriteSound(const std::string& path) {
    // One second of a decaying 440 Hz tone, 16-bit mono at 22050 Hz.
    const int rate = 22050;
    std::vector<int16_t> samples(rate);
    for (int i = 0; i < rate; ++i) {
        double t = static_cast<double>(i) / rate;
        samples[static_cast<size_t>(i)] =
            static_cast<int16_t>(20000.0 * std::exp(-3.0 * t) * std::sin(2.0 * M_PI * 440.0 * t));
    }
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(samples[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xFF);
    }
    sound::CWaveFile out;
    const WAVEFORMATEX format = sound::MakePcmFormat(rate, 1, 16);
    const auto size = static_cast<uint32_t>(bytes.size());
    if (!out.OpenWrite(path, format, {}, size, sound::CWaveFile::kWrite)) return false;
    bool wrote = out.Write(bytes.data(), size) == size;
    return out.Close() && wrote;
}

// A bass line as a Standard MIDI File: one note a beat, 480 ticks a beat.
bool WriteMidi(const std::string& path) {
    CMidiDoc doc;
    if (!doc.OnNewDocument()) return false;
    doc.SetChannelCount(1, false);
    doc.SetTicksPerBeat(kUnitsPerBeat, 480);
    CEventTree* bass = doc.GetChannelEvents(1);
    const uint8_t line[] = {45, 45, 48, 43};
    bass->Add(new EventMidi(0, 0xC1, 33, 0)); // electric bass on channel 2
    for (uint32_t beat = 0; beat < 16; ++beat)
        bass->Add(new EventMidi(beat * 480, 0x91, line[beat / 4 % 4], 96, 420));
    return doc.OnSaveDocument(path);
}

// A song of the three: the tree, the bass line, and the tone at the start of the second bar.
bool WriteSong(const std::string& dir) {
    auto tree = std::make_shared<CDendraDoc>();
    auto midi = std::make_shared<CMidiDoc>();
    auto tone = std::make_shared<CWaveDoc>();
    if (!tree->OnOpenDocument(dir + "/demo.dra") || !midi->OnOpenDocument(dir + "/bass.mid") ||
        !tone->OnOpenDocument(dir + "/tone.wav"))
        return false;
    CSongDoc song;
    if (!song.OnNewDocument()) return false;
    if (song.IncludeDocument(tree) < 1 || song.IncludeDocument(midi) < 1 ||
        song.IncludeDocument(tone) < 1)
        return false;
    song.Entry(song.EntryCount() - 1).settings.startOffset = 4000;
    return song.OnSaveDocument(dir + "/demo.sng");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dendra-make-examples FOLDER\n");
        return 1;
    }
    std::string dir = argv[1];
    RegisterBuiltinNodeTypes();
    sound::InstallWaveSoundFactory();
    bool ok = WriteTree(dir + "/demo.dra") && WriteSound(dir + "/tone.wav") &&
              WriteMidi(dir + "/bass.mid") && WriteSong(dir);
    if (!ok) {
        std::fprintf(stderr, "dendra-make-examples: could not write the examples in %s\n",
                     dir.c_str());
        return 2;
    }
    std::printf("%s/demo.sng\n", dir.c_str());
    return 0;
}
