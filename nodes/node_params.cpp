#include "nodes/node_params.h"

#include "events/event_list.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"

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

// ---- parameter logic --------------------------------------------------------------------------

namespace {

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

} // namespace

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
