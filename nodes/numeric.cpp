#include "nodes/numeric.h"

#include "events/event_list.h"

const ParamField Constant::kFields[] = {
    Param<&Constant::value>("value", "Constant", ParamStore::F32, ParamControl::Number, -10000,
                            10000, 1),
};

constinit const NodeTypeInfo Constant::kInfo = {
    "Constant",
    "Constant",
    302,
    0,
    0,
    "This function enables numerical (floating-point) input.  It will not play a note on its "
    "own, but it can be used to modify a notes' parameters.  It can also be used in the "
    "generation of waves.  ",
    "FX_CONSTANT",
    Constant::kFields};

void Constant::Solve(CNoteEventList& list) {
    if (list.next != kFixedStep && !IsActive(list)) return;
    list.RemoveAll();
    list.Add(new EventValue(value, 0));
}

int Constant::Supports(int) const {
    return 1;
}

namespace {
const NodeFactoryEntry kNumericTypes[] = {
    {&Constant::kInfo, &CreateTyped<Constant>},
};
} // namespace

std::span<const NodeFactoryEntry> NumericNodeTypes() {
    return kNumericTypes;
}
