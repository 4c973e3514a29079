// The logic family: comparisons and truth values. Truth travels as a number in a value event:
// 1.0 for TRUE, 0.0 for FALSE; any value other than 0 counts as TRUE. The family is offered
// under "Numerical", keeps no state and no parameters, shows no graph, and is never a purely
// numeric subtree for the wave compiler (Supports(8) is false).
//
// Comparisons pair the left branch's events with the right branch's (first with first, and so
// on) and write the truth of each pair into the left event; left events beyond the pairs keep
// their values. LogicalAnd and LogicalOr evaluate their left branch as at time 0 in fixed-step
// mode and solve their right branch into the list once per qualifying left value.
#pragma once

#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>

std::span<const NodeFactoryEntry> LogicNodeTypes();

template <class T> class LogicNode : public TypedNode<T> {
public:
    int Supports(int capability) const override { return capability == 8 ? 0 : 1; }
    void Display() override {}
};

template <class T> class Comparison : public LogicNode<T> {
public:
    void Solve(CNoteEventList& list) override;
};

class EqualTo : public Comparison<EqualTo> {
public:
    static const NodeTypeInfo kInfo;
    static bool Holds(float l, double r) { return r == l; }
};

class GreaterThan : public Comparison<GreaterThan> {
public:
    static const NodeTypeInfo kInfo;
    static bool Holds(float l, double r) { return l > r; }
};

class LessThan : public Comparison<LessThan> {
public:
    static const NodeTypeInfo kInfo;
    static bool Holds(float l, double r) { return l < r; }
};

// Solves the right branch once per left value that is TRUE (LogicalAnd) or FALSE (LogicalOr).
template <class T> class Conjunction : public LogicNode<T> {
public:
    void Solve(CNoteEventList& list) override;
};

class LogicalAnd : public Conjunction<LogicalAnd> {
public:
    static const NodeTypeInfo kInfo;
    static constexpr bool kWhenTrue = true;
};

class LogicalOr : public Conjunction<LogicalOr> {
public:
    static const NodeTypeInfo kInfo;
    static constexpr bool kWhenTrue = false;
};

class Not : public LogicNode<Not> {
public:
    static const NodeTypeInfo kInfo;
    void Solve(CNoteEventList& list) override;
};

extern template class Comparison<EqualTo>;
extern template class Comparison<GreaterThan>;
extern template class Comparison<LessThan>;
extern template class Conjunction<LogicalAnd>;
extern template class Conjunction<LogicalOr>;
