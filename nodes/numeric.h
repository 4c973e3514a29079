// The numeric family: nodes that compute numbers (values travel as EventValue).
//
// So far the family holds its constant leaf; the rest of the family is listed in the registry
// and added to NumericNodeTypes() as it is built. Sample-block evaluation (Evaluate) comes with
// the wave compiler.
#pragma once

#include "tree/proto_type.h"
#include "tree/registry.h"

#include <span>

std::span<const NodeFactoryEntry> NumericNodeTypes();

class Constant : public TypedNode<Constant> {
public:
    static const NodeTypeInfo kInfo;
    static const ParamField kFields[];
    // Yields one value, at time 0.
    void Solve(CNoteEventList& list) override;
    int Supports(int capability) const override;
    void Display() override { ShowGraph(true); }

    float value = 1.0f;
};
