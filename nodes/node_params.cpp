#include "nodes/node_params.h"

#include "events/event_list.h"
#include "events/names.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"

#include <array>
#include <cmath>
#include <limits>

namespace nodes {

int32_t ToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v); // truncates toward zero
}

uint32_t ToUInt(double v) {
    if (!(v > 0.0)) return 0; // NaN and negative values
    if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(v);
}

void SolveBranch(ProtoType* branch, CNoteEventList& list) {
    if (branch)
        branch->Solve(list);
    else
        list.RemoveAll();
}

void LowerNext(CNoteEventList& list, uint32_t t) {
    if (t < list.next) list.next = t;
}

// ---- choice lists -----------------------------------------------------------------------------

namespace {

constexpr Choice kChords[] = {
    {"Major", 0},       {"Minor", 1},   {"Augmented", 2},     {"Diminished", 3},    {"Sixth", 4},
    {"Minor Sixth", 5}, {"Seventh", 6}, {"Minor Seventh", 7}, {"Major Seventh", 8}, {"Octave", 9},
};

constexpr Choice kFits[] = {{"Cut", 0}, {"Push Up", 1}, {"Push Down", 2}, {"Seamless", 3}};

constexpr Choice kKeys[] = {{"A", 0},  {"A#", 1}, {"B", 2}, {"C", 3},  {"C#", 4}, {"D", 5},
                            {"D#", 6}, {"E", 7},  {"F", 8}, {"F#", 9}, {"G", 10}, {"G#", 11}};

constexpr Choice kControllers[] = {
    {"Modulation", 1}, {"Breath Controller", 2},      {"Foot Controller", 4}, {"Volume", 7},
    {"Pan", 10},       {"Reset All Controllers", 121}};

constexpr Choice kChannels[] = {
    {"0", 0}, {"1", 1}, {"2", 2},   {"3", 3},   {"4", 4},   {"5", 5},   {"6", 6},   {"7", 7},
    {"8", 8}, {"9", 9}, {"10", 10}, {"11", 11}, {"12", 12}, {"13", 13}, {"14", 14}, {"15", 15}};

constexpr Choice kDrumChannels[] = {
    {"0", 0},   {"1", 1},   {"2", 2},   {"3", 3},   {"4", 4},
    {"5", 5},   {"6", 6},   {"7", 7},   {"8", 8},   {"9 -> GM Drum Setting", 9},
    {"10", 10}, {"11", 11}, {"12", 12}, {"13", 13}, {"14", 14},
    {"15", 15}};

constexpr Choice kControllerChannels[] = {
    {"1", 0}, {"2", 1},  {"3", 2},   {"4", 3},   {"5", 4},   {"6", 5},   {"7", 6},   {"8", 7},
    {"9", 8}, {"10", 9}, {"11", 10}, {"12", 11}, {"13", 12}, {"14", 13}, {"15", 14}, {"16", 15}};

constexpr Choice kInputParameters[] = {
    {"send note", kInputNote},         {"Pitch", kInputPitch},
    {"Velocity", kInputVelocity},      {"Duration", kInputDuration},
    {"Channel/Status", kInputChannel}, {"Time since start", kInputTime}};

constexpr Choice kLogBases[] = {{"Base 2", 1}, {"Base 10", 4}, {"Base E", 2}};

struct ChordDef {
    const char* name;
    int size;
    int intervals[3];
};
constexpr ChordDef kChordTable[] = {
    {"Fifth", 2, {5, 0, 0}},          {"Octave", 2, {12, 0, 0}},
    {"Major", 3, {4, 7, 0}},          {"Minor", 3, {3, 7, 0}},
    {"Augmented", 3, {4, 8, 0}},      {"Diminished", 4, {3, 6, 7}},
    {"Sixth", 4, {4, 7, 9}},          {"Minor Sixth", 4, {3, 7, 9}},
    {"Seventh", 4, {4, 7, 10}},       {"Minor Seventh", 4, {3, 7, 10}},
    {"Major Seventh", 4, {4, 7, 11}},
};

struct ScaleDef {
    const char* name;
    int degrees[7];
    int steps;
};
constexpr ScaleDef kScaleTable[] = {
    {"Aeolian", {0, 2, 3, 5, 7, 8, 10}, 7},    {"Blues", {0, 3, 4, 5, 6, 7, 10}, 7},
    {"Dorian", {0, 2, 3, 5, 7, 9, 10}, 7},     {"Harmonic Minor", {0, 2, 3, 5, 7, 8, 11}, 7},
    {"Locrian", {0, 1, 3, 5, 6, 8, 10}, 7},    {"Lydian", {0, 2, 4, 6, 7, 9, 11}, 7},
    {"Major", {0, 2, 4, 5, 7, 9, 11}, 7},      {"Melodic Minor", {0, 2, 3, 5, 7, 9, 11}, 7},
    {"Mixolydian", {0, 2, 4, 5, 7, 9, 10}, 7}, {"Pentatonic", {0, 2, 5, 7, 9, 12, 14}, 5},
    {"Phrygian", {0, 1, 3, 5, 7, 8, 10}, 7},   {"Whole-Tone", {0, 2, 4, 6, 8, 10, 12}, 6},
};

const std::array<Choice, 12>& ScaleChoiceList() {
    static const std::array<Choice, 12> list = [] {
        std::array<Choice, 12> a{};
        for (size_t i = 0; i < a.size(); ++i) a[i] = {kScaleTable[i].name, static_cast<int>(i)};
        return a;
    }();
    return list;
}

const std::array<Choice, kLastDrumKey - kFirstDrumKey + 1>& DrumChoiceList() {
    static const std::array<Choice, kLastDrumKey - kFirstDrumKey + 1> list = [] {
        std::array<Choice, kLastDrumKey - kFirstDrumKey + 1> a{};
        for (int k = kFirstDrumKey; k <= kLastDrumKey; ++k) {
            a[static_cast<size_t>(k - kFirstDrumKey)] = {DrumName(static_cast<uint8_t>(k)), k};
        }
        return a;
    }();
    return list;
}

} // namespace

std::span<const Choice> ChordChoices() {
    return kChords;
}
std::span<const Choice> ScaleChoices() {
    return ScaleChoiceList();
}
std::span<const Choice> FitChoices() {
    return kFits;
}
std::span<const Choice> KeyChoices() {
    return kKeys;
}
std::span<const Choice> ControllerChoices() {
    return kControllers;
}
std::span<const Choice> DrumChoices() {
    return DrumChoiceList();
}
std::span<const Choice> ChannelChoices() {
    return kChannels;
}
std::span<const Choice> DrumChannelChoices() {
    return kDrumChannels;
}
std::span<const Choice> ControllerChannelChoices() {
    return kControllerChannels;
}

std::span<const Choice> FindChoices(const std::string& typeName, const std::string& key) {
    struct Entry {
        const char* type;
        const char* key;
        std::span<const Choice> (*list)();
    };
    static const Entry kEntries[] = {
        {"ChordBuilder", "chordType", &ChordChoices},
        {"Scale", "scaleName", &ScaleChoices},
        {"Scale", "fitName", &FitChoices},
        {"Scale", "key", &KeyChoices},
        {"MidiController", "controllerNumber", &ControllerChoices},
        {"MidiController", "channel", &ControllerChannelChoices},
        {"MidiDrumNote", "pitch", &DrumChoices},
        {"MidiDrumNote", "channel", &DrumChannelChoices},
        {"MidiNote", "channel", &ChannelChoices},
        {"PitchBend", "channel", &ChannelChoices},
        {"MidiInput", "inputParameter", [] { return std::span<const Choice>(kInputParameters); }},
        {"Log", "logBase", [] { return std::span<const Choice>(kLogBases); }},
    };
    for (const Entry& e : kEntries) {
        if (typeName == e.type && key == e.key) return e.list();
    }
    return {};
}

// ---- parameter logic --------------------------------------------------------------------------

void ApplyChord(ChordBuilder& node, const std::string& chordName) {
    node.chordType = chordName;
    for (const ChordDef& c : kChordTable) {
        if (chordName != c.name) continue;
        node.chordSize = c.size;
        for (int i = 0; i + 1 < c.size; ++i) node.intervals[i] = c.intervals[i];
        return;
    }
    node.chordSize = 0;
}

void ApplyScale(Scale& node, const std::string& scaleName, const std::string& fitName) {
    node.scaleName = scaleName.substr(0, 48);
    node.fitName = fitName.substr(0, 24);
    const ScaleDef* scale = nullptr;
    for (const ScaleDef& s : kScaleTable) {
        if (node.scaleName == s.name) scale = &s;
    }
    if (node.fitName == "Seamless") {
        node.tableMode = 0;
        if (!scale) return;
        for (int i = 0; i < 7; ++i) node.scaleTable[i] = scale->degrees[i];
        node.scaleTable[12] = scale->steps;
        return;
    }
    node.tableMode = 1;
    for (int32_t& entry : node.scaleTable) entry = 0;
    if (!scale) return;
    int fit = 0;
    if (node.fitName == "Cut")
        fit = kScaleCut;
    else if (node.fitName == "Push Up")
        fit = 1;
    else if (node.fitName == "Push Down")
        fit = -1;
    for (int d = 0; d < 12; ++d) {
        bool degree = false;
        for (int i = 0; i < scale->steps; ++i) degree = degree || scale->degrees[i] == d;
        if (!degree) node.scaleTable[d] = fit;
    }
}

void ApplyUseHz(TemporalPhase& node) {
    if (node.useHz) node.loopLength = ToInt(1000.0 / static_cast<double>(node.frequency));
    if (node.loopLength <= 0) node.loopLength = 1;
}

} // namespace nodes
