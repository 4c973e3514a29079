#include "nodes/soundcard.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "nodes/node_params.h"

#include <array>
#include <cstdint>

using nodes::Passes;
using nodes::SolveBranch;
using nodes::ToInt;

namespace {

// One row of a parameter table: the range and the NRPN numbers for the first and the second
// envelope or LFO (kOnlyFirst: the parameter exists for the first one only).
constexpr int32_t kOnlyFirst = -1;
struct CardParameter {
    const char* label;
    int32_t lower;
    int32_t upper;
    int32_t first;
    int32_t second;
};

constexpr CardParameter kEnvelopeParameters[] = {
    {"Delay", 0, 5900, 4, 10},
    {"Attack", 0, 5940, 5, 11},
    {"Hold", 0, 8191, 6, 12},
    {"Decay", 0, 5940, 7, 13},
    {"Sustain", 0, 127, 8, 14},
    {"Release", 0, 5940, 9, 15},
    {"Env1ToPitch", -127, 127, 19, kOnlyFirst},
    {"Env1ToFilterCutoff", -127, 127, 24, kOnlyFirst},
};

constexpr CardParameter kLfoParameters[] = {
    {"Delay", 0, 5900, 0, 2},
    {"Frequency", 0, 127, 1, 3},
    {"Pitch", -127, 127, 17, 18},
    {"LFO1To Volume", 0, 127, 20, kOnlyFirst},
    {"LFO1To Filter Cutoff", -64, 63, 23, kOnlyFirst},
};

// The choices of a parameter list: entry i has the value i + 1.
template <size_t N>
constexpr std::array<ParamChoice, N> ParameterChoices(const CardParameter (&rows)[N]) {
    std::array<ParamChoice, N> a{};
    for (size_t i = 0; i < N; ++i) a[i] = {rows[i].label, static_cast<int>(i + 1)};
    return a;
}
constexpr auto kEnvelopeChoices = ParameterChoices(kEnvelopeParameters);
constexpr auto kLfoChoices = ParameterChoices(kLfoParameters);

constexpr ParamChoice kEffectChoices[] = {{"Chorus", 1}, {"Reverb", 2}};
constexpr ParamChoice kFilterChoices[] = {{"Initial Filter Cutoff", 0},
                                          {"Initial Filter Resonance Coeff.", 1}};
constexpr ParamChoice kChannelChoices[] = {
    {"1", 0}, {"2", 1},  {"3", 2},   {"4", 3},   {"5", 4},   {"6", 5},   {"7", 6},   {"8", 7},
    {"9", 8}, {"10", 9}, {"11", 10}, {"12", 11}, {"13", 12}, {"14", 13}, {"15", 14}, {"16", 15}};

constexpr ParamSpec Channel(const char* label) {
    return {.key = "channel",
            .label = label,
            .store = ParamStore::U16,
            .control = ParamControl::List,
            .min = 0,
            .max = 15,
            .def = 0,
            .choices = kChannelChoices};
}

constexpr ParamSpec Number(const char* key, const char* label) {
    return {.key = key,
            .label = label,
            .store = ParamStore::U16,
            .control = ParamControl::Number,
            .min = 1,
            .max = 2,
            .def = 1};
}

constexpr ParamSpec Parameter(const char* key, std::span<const ParamChoice> choices) {
    return {.key = key,
            .label = "Parameter:",
            .store = ParamStore::U16,
            .control = ParamControl::List,
            .min = 0,
            .max = static_cast<double>(choices.size()),
            .def = 0,
            .choices = choices};
}

// Row `parameter` (1-based) of a table for envelope or LFO `number`.
template <size_t N>
NrpnTarget TargetFrom(const CardParameter (&rows)[N], int32_t parameter, int32_t number) {
    if (parameter < 1 || parameter > static_cast<int32_t>(N)) return {};
    const CardParameter& row = rows[parameter - 1];
    const bool second = number == 2 && row.second != kOnlyFirst;
    return {row.lower, row.upper, second ? row.second : row.first};
}

template <size_t N> bool OnlyFirst(const CardParameter (&rows)[N], int32_t parameter) {
    return parameter >= 1 && parameter <= static_cast<int32_t>(N) &&
           rows[parameter - 1].second == kOnlyFirst;
}

// The four control changes of one NRPN message for the limited value v, at now.
void AddNrpn(CNoteEventList& list, int32_t channel, int32_t nrpn, int32_t v) {
    const uint32_t data = static_cast<uint32_t>(v + 8192) & 0x3FFFu;
    const uint8_t status = static_cast<uint8_t>(0xB0 | (static_cast<uint32_t>(channel) & 0x0F));
    const uint32_t t = list.now;
    // An event added at the head's time goes before the head: the last message is added first.
    list.Add(new EventMidi(t, status, 38, static_cast<uint8_t>(data % 128), 0));
    list.Add(new EventMidi(t, status, 6, static_cast<uint8_t>(data / 128), 0));
    list.Add(new EventMidi(t, status, 98, static_cast<uint8_t>(nrpn & 0x7F), 0));
    list.Add(new EventMidi(t, status, 99, 127, 0));
}

} // namespace

// ---- what the members share -------------------------------------------------------------------

void SoundCardNode::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog) SettleNumber();
}

void SoundCardNode::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    list.RemoveAll();
    const NrpnTarget target = Target();
    if (target.nrpnNumber == kNoNrpn) return;
    SolveBranch(childOne, list);
    const SongEvent* f = list.head;
    if (!f) return;
    int32_t v = ToInt(f->GetValue());
    if (v > target.upperBound) v = target.upperBound;
    if (v < target.lowerBound) v = target.lowerBound;
    list.RemoveAll();
    AddNrpn(list, channel, target.nrpnNumber, v);
}

// ---- SbEffects --------------------------------------------------------------------------------

const ParamField SbEffects::kFields[] = {
    Param<&SbEffects::effect>({.key = "effect",
                               .label = "Effect:",
                               .store = ParamStore::U16,
                               .control = ParamControl::List,
                               .min = 1,
                               .max = 2,
                               .def = 1,
                               .choices = kEffectChoices}),
    Param<&SbEffects::channel>(Channel("Channel:")),
};

constinit const NodeTypeInfo SbEffects::kInfo = {
    .typeName = "SbEffects",
    .displayName = "SbEffects",
    .typeId = 600,
    .bitmapId = 0,
    .branches = 1,
    .family = "Sound Blaster",
    .menuOrder = 10,
    .info =
        "This function sets the reverb and chorus of a SoundBlaster card with these capabilities. ",
    .dialogTitle = "SoundBlaster Effects Definition",
    .params = SbEffects::kFields};

NrpnTarget SbEffects::Target() const {
    return {0, 255, effect == 2 ? 26 : 25};
}

// ---- SbEnvelope -------------------------------------------------------------------------------

const ParamField SbEnvelope::kFields[] = {
    Param<&SbEnvelope::channel>(Channel("Channel:")),
    Param<&SbEnvelope::envNumber>(Number("envNumber", "Envelope Number:")),
    Param<&SbEnvelope::envParameter>(Parameter("envParameter", kEnvelopeChoices)),
};

constinit const NodeTypeInfo SbEnvelope::kInfo = {
    .typeName = "SbEnvelope",
    .displayName = "SbEnvelope",
    .typeId = 601,
    .bitmapId = 0,
    .branches = 1,
    .family = "Sound Blaster",
    .menuOrder = 20,
    .info =
        "This function sets a SoundBlaster pitch or volume envelope, using 5 times.  In the "
        "following table, each parameter is followed in parentheses by the range of the allowed "
        "value, and the smallest increment of measurement.  DELAY(0:5900, 4ms):: the time "
        " after the note is received that the note actually begins.  ATTACK(0:5940, 1ms):: "
        "the time that the note takes to get to its initial peak.  HOLD(0:8191, 1ms):: the "
        "time till the note reaches a lower plateau.  DECAY(0:5940, 4ms):: the time the note "
        "begins to fade.  SUSTAIN LEVEL(0:127, 0.75db):: the loudness of the sustain.  "
        "RELEASE(0:5940, "
        "4ms):: the duration of the fade to the end of the note.  ENV1 TO PITCH(-127:127, "
        "4ms):: The affect of Envelope1 on pitch. Maximum effect is one octave.  ENV1 TO "
        "FILTER CUTOFF(-127:127, 56.25 cents):: The effect of Envelope one on the Filter "
        "Modulation's phase.  ",
    .dialogTitle = "SoundBlaster Envelope definition",
    .params = SbEnvelope::kFields};

NrpnTarget SbEnvelope::Target() const {
    return TargetFrom(kEnvelopeParameters, envParameter, envNumber);
}

void SbEnvelope::SettleNumber() {
    if (OnlyFirst(kEnvelopeParameters, envParameter)) envNumber = 1;
}

// ---- SbFilter ---------------------------------------------------------------------------------

const ParamField SbFilter::kFields[] = {
    Param<&SbFilter::channel>(Channel("Channel:")),
    Param<&SbFilter::filterParameter>({.key = "filterParameter",
                                       .label = "Parameter:",
                                       .store = ParamStore::U16,
                                       .control = ParamControl::List,
                                       .min = 0,
                                       .max = 1,
                                       .def = 0,
                                       .choices = kFilterChoices}),
};

constinit const NodeTypeInfo SbFilter::kInfo = {
    .typeName = "SbFilter",
    .displayName = "SbFilter",
    .typeId = 602,
    .bitmapId = 0,
    .branches = 1,
    .family = "Sound Blaster",
    .menuOrder = 30,
    .info =
        "This function changes the filter of a  SoundBlaster.  CUTOFF(0:127, 62Hz):: the "
        "filter cutoff from 100-8000 Hz.  RESONANCE(0:127, ---):: Selection of a filter resonance "
        "coefficient.  There are only 16 resonance choices, so multiply coefficient(0-15) "
        "by 8 to get value (range 0-127).  ",
    .dialogTitle = "SoundBlaster Filter Definition",
    .params = SbFilter::kFields};

void SbFilter::Solve(CNoteEventList& list) {
    if (Passes(*this, list)) list.RemoveAll();
}

// ---- SbLFO ------------------------------------------------------------------------------------

const ParamField SbLFO::kFields[] = {
    Param<&SbLFO::channel>(Channel("Channel:")),
    Param<&SbLFO::lfoNumber>(Number("lfoNumber", "LFO Number:")),
    Param<&SbLFO::lfoParameter>(Parameter("lfoParameter", kLfoChoices)),
};

constinit const NodeTypeInfo SbLFO::kInfo = {
    .typeName = "SbLFO",
    .displayName = "SbLFO",
    .typeId = 603,
    .bitmapId = 0,
    .branches = 1,
    .family = "Sound Blaster",
    .menuOrder = 40,
    .info =
        "This function changes one of the Sound Blaster's Low Frequency Oscilators. DELAY(0:5900, "
        "4ms):: the time  after the note is received that the note actually begins.  "
        "FREQUENCY(0:127, "
        "0.084Hz):: the time that the note takes to get to its initial peak.  PITCH(-127:127, "
        "9.375cents):: the time till the note reaches a lower plateau.  LFO1 TO VOLUME(0:127, "
        "0.1875dB):: The affect of Envelope1 on pitch. Maximum effect is one octave.  LFO1 "
        "TO FILTER CUTOFF(-64:63, 56.25cents):: The effect of Envelope one on the Filter "
        "Modulation's phase.  ",
    .dialogTitle = "SoundBlaster Low Frequency Oscillators",
    .params = SbLFO::kFields};

NrpnTarget SbLFO::Target() const {
    return TargetFrom(kLfoParameters, lfoParameter, lfoNumber);
}

void SbLFO::SettleNumber() {
    if (OnlyFirst(kLfoParameters, lfoParameter)) lfoNumber = 1;
}

// ---- SbPitch ----------------------------------------------------------------------------------

const ParamField SbPitch::kFields[] = {
    Param<&SbPitch::channel>(Channel("Channel to pitch-shift")),
};

constinit const NodeTypeInfo SbPitch::kInfo = {
    .typeName = "SbPitch",
    .displayName = "SbPitch",
    .typeId = 604,
    .bitmapId = 0,
    .branches = 1,
    .family = "Sound Blaster",
    .menuOrder = 50,
    .info = "This function, for SoundBlaster cards, alters the pitch of an event in small steps. "
            " It is similar to the MIDI PitchBend command, except that SB Pitch range is far "
            "greater.  ",
    .dialogTitle = "SoundBlaster Pitch Shift",
    .params = SbPitch::kFields};

// ---- factory table ----------------------------------------------------------------------------

namespace {
const NodeFactoryEntry kSoundCardTypes[] = {
    {&SbEffects::kInfo, &CreateTyped<SbEffects>}, {&SbEnvelope::kInfo, &CreateTyped<SbEnvelope>},
    {&SbFilter::kInfo, &CreateTyped<SbFilter>},   {&SbLFO::kInfo, &CreateTyped<SbLFO>},
    {&SbPitch::kInfo, &CreateTyped<SbPitch>},
};
} // namespace

std::span<const NodeFactoryEntry> SoundCardNodeTypes() {
    return kSoundCardTypes;
}
