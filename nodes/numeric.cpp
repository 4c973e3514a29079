#include "nodes/numeric.h"

#include "events/event_list.h"
#include "nodes/float_sound.h"
#include "nodes/node_params.h"
#include "tree/random.h"

#include <algorithm>
#include <cmath>
#include <limits>

using nodes::Passes;
using nodes::SolveBranch;

namespace {

// Empties the list and yields one value.
void Yield(CNoteEventList& list, float value, uint32_t time) {
    list.RemoveAll();
    list.Add(new EventValue(value, time));
}

constexpr ParamChoice kLogBaseChoices[] = {
    {"Base 2", kLogBase2}, {"Base 10", kLogBase10}, {"Base E", kLogBaseE}};

} // namespace

// ---- templates --------------------------------------------------------------------------------

template <class T> void UnaryNumeric<T>::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(this->childOne, list);
    const T& self = static_cast<const T&>(*this);
    for (SongEvent* e = list.head; e; e = e->next) e->SetValue(self.Apply(e->GetValue()));
}

template <class T> void UnaryNumeric<T>::Evaluate(EventWave& block) {
    if (this->childOne) this->childOne->Evaluate(block);
    BlockView v;
    if (!ViewOf(block, v)) return;
    const T& self = static_cast<const T&>(*this);
    for (size_t i = 0; i < v.n; ++i) {
        if constexpr (requires { self.ApplySample(0.0); })
            v.s[i] = static_cast<float>(self.ApplySample(v.s[i]));
        else
            v.s[i] = static_cast<float>(self.Apply(v.s[i]));
    }
}

template <class T> void BinaryNumeric<T>::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList second;
    second.now = list.now;
    second.next = list.next;
    second.offset = list.offset;
    SolveBranch(this->childOne, list);
    SolveBranch(this->childTwo, second);
    nodes::LowerNext(list, second.next);
    const SongEvent* b = second.head;
    for (SongEvent* a = list.head; a && b; a = a->next, b = b->next) {
        a->SetValue(T::Op(static_cast<float>(a->GetValue()), static_cast<float>(b->GetValue())));
    }
}

template <class T> void BinaryNumeric<T>::Evaluate(EventWave& block) {
    if (!FloatSound::Of(block)) return;
    if (this->childOne) this->childOne->Evaluate(block);
    std::unique_ptr<EventWave> copy = MakeBlockCopy(block);
    if (!copy) return;
    if (this->childTwo) this->childTwo->Evaluate(*copy);
    BlockView a;
    BlockView b;
    if (!ViewOf(block, a) || !ViewOf(*copy, b)) return;
    const size_t n = std::min(a.n, b.n);
    float* __restrict s = a.s;
    const float* __restrict t = b.s;
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<float>(T::Op(s[i], t[i]));
}

// ---- Constant ---------------------------------------------------------------------------------

const ParamField Constant::kFields[] = {
    Param<&Constant::value>({.key = "value",
                             .label = "Constant",
                             .store = ParamStore::F32,
                             .control = ParamControl::Number,
                             .min = -10000,
                             .max = 10000,
                             .def = 1}),
};

constinit const NodeTypeInfo Constant::kInfo = {
    .typeName = "Constant",
    .displayName = "Constant",
    .typeId = 302,
    .bitmapId = 0,
    .branches = 0,
    .family = "Numerical",
    .menuOrder = 30,
    .info =
        "This function enables numerical (floating-point) input.  It will not play a note on its "
        "own, but it can be used to modify a notes' parameters.  It can also be used in the "
        "generation of waves.  ",
    .dialogTitle = "FX_CONSTANT",
    .params = Constant::kFields};

void Constant::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    Yield(list, value, 0);
}

void Constant::Evaluate(EventWave& block) {
    BlockView v;
    if (!ViewOf(block, v)) return;
    std::fill(v.s, v.s + v.n, value);
}

// ---- Random -----------------------------------------------------------------------------------

constinit const NodeTypeInfo Random::kInfo = {
    .typeName = "Random",
    .displayName = "Random",
    .typeId = 318,
    .bitmapId = 0,
    .branches = 0,
    .family = "Numerical",
    .menuOrder = 190,
    .info = "This function returns a (pseudo-)random number in the range {-1.0, 1.0}. "};

void Random::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    const float r = static_cast<float>(NextRandom());
    Yield(list, r * (1.0f / 32767.0f), list.now);
}

void Random::Evaluate(EventWave& block) {
    BlockView v;
    if (!ViewOf(block, v)) return;
    for (size_t i = 0; i < v.n; ++i) {
        v.s[i] = static_cast<float>(2.0 * NextRandom() / 32767.0 - 1.0);
    }
}

// ---- Temporal ---------------------------------------------------------------------------------

const ParamField Temporal::kFields[] = {
    Param<&Temporal::temporalUnits>({.key = "temporalUnits",
                                     .store = ParamStore::U32,
                                     .control = ParamControl::Hidden,
                                     .min = -2147483648.0,
                                     .max = 2147483647.0,
                                     .def = 1920}),
};

constinit const NodeTypeInfo Temporal::kInfo = {.typeName = "Temporal",
                                                .displayName = "Temporal",
                                                .typeId = 323,
                                                .bitmapId = 0,
                                                .branches = 0,
                                                .family = "Numerical",
                                                .menuOrder = 240,
                                                .info =
                                                    "Temporal returns the current solution time. ",
                                                .params = Temporal::kFields};

void Temporal::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    Yield(list, static_cast<float>(list.now), list.now);
}

void Temporal::Evaluate(EventWave& block) {
    BlockView v;
    if (!ViewOf(block, v)) return;
    for (size_t i = 0; i < v.n; ++i) v.s[i] = static_cast<float>(v.Frame(i));
}

// ---- TemporalPhase ----------------------------------------------------------------------------

const ParamField TemporalPhase::kFields[] = {
    Param<&TemporalPhase::loopLength>({.key = "loopLength",
                                       .label = "Loop Length (in ms)",
                                       .store = ParamStore::U32,
                                       .control = ParamControl::Number,
                                       .min = 1,
                                       .max = 2147483647.0,
                                       .def = 4000,
                                       .holdOnRead = true}),
    Param<&TemporalPhase::phaseOffset>({.key = "phaseOffset",
                                        .label = "Offset (in ms)",
                                        .store = ParamStore::U32,
                                        .control = ParamControl::Number,
                                        .min = 0,
                                        .max = 32000,
                                        .def = 0}),
    Param<&TemporalPhase::frequency>({.key = "frequency",
                                      .label = "frequency (hz)",
                                      .store = ParamStore::F32,
                                      .control = ParamControl::Number,
                                      .min = -3.4e38,
                                      .max = 3.4e38,
                                      .def = 440}),
    Param<&TemporalPhase::useHz>({.key = "useHz",
                                  .label = "Use Hz",
                                  .store = ParamStore::U16,
                                  .control = ParamControl::Check,
                                  .min = 0,
                                  .max = 1,
                                  .def = 0}),
};

constinit const NodeTypeInfo TemporalPhase::kInfo = {
    .typeName = "TemporalPhase",
    .displayName = "Temporal Phase",
    .typeId = 324,
    .bitmapId = 0,
    .branches = 0,
    .family = "Numerical",
    .menuOrder = 250,
    .info =
        "This function returns a value from (0.0-1.0).  It is useful to establish a trigonometric "
        "oscillation, when multiplied by 2 pi.  It can be specified in MS per oscillation, or in "
        "Hertz (oscillations per second).  On its own, it will appear like a saw-tooth waveform, "
        "with a range of 0-1.  ",
    .dialogTitle = "Temporal Phase definition",
    .params = TemporalPhase::kFields};

void TemporalPhase::ExchangeParams(bool toDialog, ParamDialog& dialog) {
    ProtoType::ExchangeParams(toDialog, dialog);
    if (!toDialog) nodes::ApplyUseHz(*this);
}

void TemporalPhase::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    const int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(phaseOffset) + list.now);
    const double length = static_cast<uint32_t>(loopLength);
    Yield(list, static_cast<float>(std::fmod(static_cast<double>(sum), length) / length), list.now);
}

void TemporalPhase::Evaluate(EventWave& block) {
    BlockView v;
    if (!ViewOf(block, v)) return;
    const double period = useHz ? v.rate / static_cast<double>(frequency)
                                : v.rate * static_cast<double>(loopLength) * 0.001;
    const double p = static_cast<float>(period);
    const size_t perFrame = v.channels <= 1 ? 1 : v.channels;
    const size_t frames = v.n / perFrame;
    if (!(p >= 1.0) || !std::isfinite(p)) {
        for (size_t i = 0; i < v.n; ++i) {
            v.s[i] = static_cast<float>(std::fmod(v.Frame(i), p) / p);
        }
        return;
    }
    // The remainder steps by one frame and wraps, which gives exactly what the remainder of
    // each frame index gives while the values stay exact; it is taken afresh every 4096 frames.
    for (size_t f0 = 0; f0 < frames; f0 += 4096) {
        const size_t f1 = std::min(frames, f0 + 4096);
        double r = std::fmod(static_cast<double>(v.start) + static_cast<double>(f0), p);
        for (size_t f = f0; f < f1; ++f) {
            const float value = static_cast<float>(r / p);
            for (size_t c = 0; c < perFrame; ++c) v.s[f * perFrame + c] = value;
            r += 1.0;
            if (r >= p) r -= p;
        }
    }
    for (size_t i = frames * perFrame; i < v.n; ++i) {
        v.s[i] = static_cast<float>(std::fmod(v.Frame(i), p) / p);
    }
}

// ---- one-branch functions ---------------------------------------------------------------------

constinit const NodeTypeInfo AbsVal::kInfo = {
    .typeName = "AbsVal",
    .displayName = "Abs Val",
    .typeId = 300,
    .bitmapId = 0,
    .branches = 1,
    .family = "Numerical",
    .menuOrder = 10,
    .info =
        "The absolute value function will return the absolute value of the number returned by the "
        "left branch.  If the number is positive, this function has no effect.  "};

double AbsVal::Apply(double v) const {
    return std::fabs(v);
}

const ParamField Limit::kFields[] = {
    Param<&Limit::upperBound>({.key = "upperBound",
                               .label = "Upper Bound:",
                               .store = ParamStore::F32,
                               .control = ParamControl::Number,
                               .min = -3.4e38,
                               .max = 3.4e38,
                               .def = 1}),
    Param<&Limit::lowerBound>({.key = "lowerBound",
                               .label = "Lower Bound:",
                               .store = ParamStore::F32,
                               .control = ParamControl::Number,
                               .min = -3.4e38,
                               .max = 3.4e38,
                               .def = 0}),
};

constinit const NodeTypeInfo Limit::kInfo = {
    .typeName = "Limit",
    .displayName = "Limit",
    .typeId = 309,
    .bitmapId = 0,
    .branches = 1,
    .family = "Numerical",
    .menuOrder = 100,
    .info = "This function puts boundaries on the answer supplied by its left branch.  It is "
            "useful for "
            "insuring that wave generation, for example, does not exceed it's specified -1 to +1 "
            "domain.  ",
    .dialogTitle = "Limit",
    .params = Limit::kFields};

double Limit::Apply(double v) const {
    if (v > upperBound) return upperBound;
    if (v < lowerBound) return lowerBound;
    return v;
}

double Limit::ApplySample(double v) const {
    if (std::isnan(v)) return lowerBound;
    return Apply(v);
}

const ParamField Log::kFields[] = {
    Param<&Log::logBase>({.key = "logBase",
                          .label = "Base",
                          .store = ParamStore::U16,
                          .control = ParamControl::List,
                          .min = 0,
                          .max = 65535,
                          .def = 1,
                          .choices = kLogBaseChoices}),
};

constinit const NodeTypeInfo Log::kInfo = {.typeName = "Log",
                                           .displayName = "Log",
                                           .typeId = 310,
                                           .bitmapId = 0,
                                           .branches = 1,
                                           .family = "Numerical",
                                           .menuOrder = 110,
                                           .info =
                                               "This function returns the logarithm of its left "
                                               "branch.  The base is alterable, and can be "
                                               "either e, 2, or 10",
                                           .dialogTitle = "Logarithm",
                                           .params = Log::kFields};

double Log::Apply(double v) const {
    switch (logBase) {
    case kLogBase2:
        return std::log2(v);
    case kLogBaseE:
        return std::log(v);
    case kLogBase10:
        return std::log10(v);
    default:
        return v;
    }
}

// ---- two-branch operators ---------------------------------------------------------------------

#define BINARY_INFO(Name, display, id, order, text)                                                \
    constinit const NodeTypeInfo Name::kInfo = {.typeName = #Name,                                 \
                                                .displayName = display,                            \
                                                .typeId = id,                                      \
                                                .branches = 2,                                     \
                                                .family = "Numerical",                             \
                                                .menuOrder = order,                                \
                                                .info = text};

BINARY_INFO(Add, "Add", 301, 20, "This function adds the numerical result of both branches. ")
BINARY_INFO(Subtract, "Subtract", 321, 220,
            "Subtract returns the numerical result of the left branch minus the result of the "
            "right branch.  ")
BINARY_INFO(Multiply, "Multiply", 316, 170,
            "This function returns the numerical result of the left branch multiplied by the "
            "right branch. ")
BINARY_INFO(Divide, "Divide", 304, 50,
            "This function divides the numerical result of the left branch by that of the right.")
BINARY_INFO(Modulus, "Modulus", 315, 160,
            "This function returns the numerical result of the left branch which is left over "
            "after division by the result of the right (i.e., MOD(4,3) = 1, MOD(3,3) = 0), "
            "MOD(2,3) = 2).")
BINARY_INFO(RoundTo, "RoundTo", 319, 200,
            "The rounding function returns the largest amount of the numerical answer of the left "
            "branch which is evenly divisible by that of the second.  ")
BINARY_INFO(Exponential, "Exponential", 306, 70,
            "This function returns the value of the left branch raised to the power of the "
            "numerical result of the right branch.  ")
BINARY_INFO(Max, "Max", 313, 140, "This function returns the greater of its two arguments.  ")
BINARY_INFO(Min, "Min", 314, 150,
            "This function returns the lesser of its two arguments.  It has a common use in wave "
            "file generation, where it can insure that a divisor is not equal to zero.  ")
BINARY_INFO(Sine, "Sine", 320, 210,
            "Sine returns the sine of (the numerical answer of the left branch multiplied by the "
            "answer of the right branch).  The input must domain is from 0 to 2*Pi.")
BINARY_INFO(Cosine, "Cosine", 303, 40,
            "This function multiplies the parameters of both children, and takes the cosine of "
            "the result.  The input should be in radians (0-2 pi), which can be generated by the "
            "temporal phase function as one branch (0-1), and a Constant  of 2 Pi in the other "
            "(the Constant function).  ")
BINARY_INFO(Tangent, "Tangent", 322, 230,
            "Tangent returns the tangent of (the numerical answer of the left branch multiplied "
            "by the answer of the right branch.  ")
#undef BINARY_INFO

double Add::Op(double a, double b) {
    return a + b;
}
double Subtract::Op(double a, double b) {
    return a - b;
}
double Multiply::Op(double a, double b) {
    return a * b;
}
double Divide::Op(double a, double b) {
    return a / b;
}
double Modulus::Op(double a, double b) {
    return std::fmod(a, b);
}
double RoundTo::Op(double a, double b) {
    return b * std::trunc(a / b);
}
double Exponential::Op(double a, double b) {
    return std::pow(a, b);
}
double Max::Op(double a, double b) {
    return a > b ? a : b;
}
double Min::Op(double a, double b) {
    return a < b ? a : b;
}
double Sine::Op(double a, double b) {
    return std::sin(a * b);
}
double Cosine::Op(double a, double b) {
    return std::cos(a * b);
}
double Tangent::Op(double a, double b) {
    return std::tan(a * b);
}

template class UnaryNumeric<AbsVal>;
template class UnaryNumeric<Limit>;
template class UnaryNumeric<Log>;
template class BinaryNumeric<Add>;
template class BinaryNumeric<Subtract>;
template class BinaryNumeric<Multiply>;
template class BinaryNumeric<Divide>;
template class BinaryNumeric<Modulus>;
template class BinaryNumeric<RoundTo>;
template class BinaryNumeric<Exponential>;
template class BinaryNumeric<Max>;
template class BinaryNumeric<Min>;
template class BinaryNumeric<Sine>;
template class BinaryNumeric<Cosine>;
template class BinaryNumeric<Tangent>;

// ---- factory ----------------------------------------------------------------------------------

namespace {
const NodeFactoryEntry kNumericTypes[] = {
    {&AbsVal::kInfo, &CreateTyped<AbsVal>},
    {&Add::kInfo, &CreateTyped<Add>},
    {&Constant::kInfo, &CreateTyped<Constant>},
    {&Cosine::kInfo, &CreateTyped<Cosine>},
    {&Divide::kInfo, &CreateTyped<Divide>},
    {&Exponential::kInfo, &CreateTyped<Exponential>},
    {&Limit::kInfo, &CreateTyped<Limit>},
    {&Log::kInfo, &CreateTyped<Log>},
    {&Max::kInfo, &CreateTyped<Max>},
    {&Min::kInfo, &CreateTyped<Min>},
    {&Modulus::kInfo, &CreateTyped<Modulus>},
    {&Multiply::kInfo, &CreateTyped<Multiply>},
    {&Random::kInfo, &CreateTyped<Random>},
    {&RoundTo::kInfo, &CreateTyped<RoundTo>},
    {&Sine::kInfo, &CreateTyped<Sine>},
    {&Subtract::kInfo, &CreateTyped<Subtract>},
    {&Tangent::kInfo, &CreateTyped<Tangent>},
    {&Temporal::kInfo, &CreateTyped<Temporal>},
    {&TemporalPhase::kInfo, &CreateTyped<TemporalPhase>},
};
} // namespace

std::span<const NodeFactoryEntry> NumericNodeTypes() {
    return kNumericTypes;
}
