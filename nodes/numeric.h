// The numeric family: nodes that compute numbers.
//
// Solve works on value events (EventValue) like every node; Evaluate fills or transforms a
// sample block (nodes/float_sound.h) so that a numeric subtree can be compiled into a sound.
// Results are computed in double precision from the float operands and stored back as floats;
// IEEE rules apply throughout (a division by zero gives an infinity or NaN, which flows on).
//
// Two-branch operators solve the left branch into the list and the right into a second list
// with the same solve state, pair their events first with first and so on, and leave the left
// events beyond the pairs unchanged. The second list's pending time is passed on, so an event
// walk still visits what the right branch waits for.
//
// Choices made where the behaviour was open:
// - RoundTo truncates the quotient in floating point, so large quotients stay exact and
//   infinities or NaN flow on instead of saturating.
// - Evaluate over more than two channels takes i ÷ channels as the frame of sample i (one and
//   two channels follow the usual i and i ÷ 2).
// - Read from a file, TemporalPhase's loopLength is held to at least 1 ms.
//
// Evaluate allocates only the one working block per two-branch node and call.
#pragma once

#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>

std::span<const NodeFactoryEntry> NumericNodeTypes();

// What every numeric node shares: Supports, the sampled graph.
template <class T> class NumericNode : public TypedNode<T> {
public:
    // Capability 8 (evaluation over sample blocks): when every present branch has it.
    int Supports(int capability) const override {
        if (capability != 8) return 1;
        if (this->childOne && !this->childOne->Supports(8)) return 0;
        if (this->childTwo && !this->childTwo->Supports(8)) return 0;
        return 1;
    }
    void Display() override { this->ShowGraph(true); }
};

// ---- leaves -----------------------------------------------------------------------------------

class Constant : public NumericNode<Constant> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Yields one value, at time 0.
    void Solve(CNoteEventList& list) override;
    void Evaluate(EventWave& block) override;

    float value = 1.0f;
};

class Random : public NumericNode<Random> {
public:
    static const NodeTypeInfo kInfo;
    // Solve yields 0.0 .. 1.0 at now; Evaluate -1.0 .. +1.0, a fresh draw per sample.
    void Solve(CNoteEventList& list) override;
    void Evaluate(EventWave& block) override;
};

class Temporal : public NumericNode<Temporal> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Solve yields now; Evaluate the frame index of each sample.
    void Solve(CNoteEventList& list) override;
    void Evaluate(EventWave& block) override;

    int32_t temporalUnits = 1920; // carried, enters no computation
};

class TemporalPhase : public NumericNode<TemporalPhase> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // On OK "Use Hz" sets loopLength (nodes::ApplyUseHz).
    void ExchangeParams(bool toDialog, ParamDialog& dialog) override;
    // (phaseOffset + now) mod loopLength, ÷ loopLength, at now.
    void Solve(CNoteEventList& list) override;
    // (frame mod P) ÷ P with P = rate ÷ frequency (useHz) or rate × loopLength × 0.001.
    void Evaluate(EventWave& block) override;

    int32_t loopLength = 4000;
    int32_t phaseOffset = 0;
    float frequency = 440.0f;
    int32_t useHz = 0;
};

// ---- one-branch functions ---------------------------------------------------------------------

template <class T> class UnaryNumeric : public NumericNode<T> {
public:
    void Solve(CNoteEventList& list) override;
    void Evaluate(EventWave& block) override;
};

class AbsVal : public UnaryNumeric<AbsVal> {
public:
    static const NodeTypeInfo kInfo;
    double Apply(double v) const;
};

class Limit : public UnaryNumeric<Limit> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // The upper bound is tested first; NaN becomes lowerBound.
    double Apply(double v) const;
    double ApplySample(double v) const;

    float upperBound = 1.0f;
    float lowerBound = 0.0f;
};

// logBase codes.
constexpr int32_t kLogBase2 = 1;
constexpr int32_t kLogBaseE = 2;
constexpr int32_t kLogBase10 = 4;

class Log : public UnaryNumeric<Log> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    double Apply(double v) const;

    int32_t logBase = kLogBase2;
};

// ---- two-branch operators ---------------------------------------------------------------------

template <class T> class BinaryNumeric : public NumericNode<T> {
public:
    void Solve(CNoteEventList& list) override;
    void Evaluate(EventWave& block) override;
};

#define DENDRA_BINARY_NODE(Name)                                                                   \
    class Name : public BinaryNumeric<Name> {                                                      \
    public:                                                                                        \
        static const NodeTypeInfo kInfo;                                                           \
        static double Op(double a, double b);                                                      \
    };

DENDRA_BINARY_NODE(Add)
DENDRA_BINARY_NODE(Subtract)
DENDRA_BINARY_NODE(Multiply)
DENDRA_BINARY_NODE(Divide)
DENDRA_BINARY_NODE(Modulus)
DENDRA_BINARY_NODE(RoundTo)
DENDRA_BINARY_NODE(Exponential)
DENDRA_BINARY_NODE(Max)
DENDRA_BINARY_NODE(Min)
DENDRA_BINARY_NODE(Sine)
DENDRA_BINARY_NODE(Cosine)
DENDRA_BINARY_NODE(Tangent)
#undef DENDRA_BINARY_NODE

// The operator templates are instantiated once, in numeric.cpp.
extern template class UnaryNumeric<AbsVal>;
extern template class UnaryNumeric<Limit>;
extern template class UnaryNumeric<Log>;
extern template class BinaryNumeric<Add>;
extern template class BinaryNumeric<Subtract>;
extern template class BinaryNumeric<Multiply>;
extern template class BinaryNumeric<Divide>;
extern template class BinaryNumeric<Modulus>;
extern template class BinaryNumeric<RoundTo>;
extern template class BinaryNumeric<Exponential>;
extern template class BinaryNumeric<Max>;
extern template class BinaryNumeric<Min>;
extern template class BinaryNumeric<Sine>;
extern template class BinaryNumeric<Cosine>;
extern template class BinaryNumeric<Tangent>;
