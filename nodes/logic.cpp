#include "nodes/logic.h"

#include "events/event_list.h"
#include "nodes/node_params.h"

using nodes::Passes;
using nodes::SolveBranch;

template <class T> void Comparison<T>::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList copy(list);
    SolveBranch(this->childOne, list);
    SolveBranch(this->childTwo, copy);
    nodes::LowerNext(list, copy.next);
    const SongEvent* r = copy.head;
    for (SongEvent* l = list.head; l && r; l = l->next, r = r->next) {
        const float lv = static_cast<float>(l->GetValue());
        l->SetValue(T::Holds(lv, r->GetValue()) ? 1.0 : 0.0);
    }
}

template <class T> void Conjunction<T>::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    CNoteEventList condition;
    condition.now = 0;
    condition.next = 0;
    condition.offset = 0;
    SolveBranch(this->childOne, condition);
    for (const SongEvent* e = condition.head; e; e = e->next) {
        const bool truth = e->GetValue() != 0.0;
        if (truth == T::kWhenTrue) SolveBranch(this->childTwo, list);
    }
}

void Not::Solve(CNoteEventList& list) {
    if (!Passes(*this, list)) return;
    SolveBranch(childOne, list);
    for (SongEvent* e = list.head; e; e = e->next) e->SetValue(e->GetValue() == 0.0 ? 1.0 : 0.0);
}

template class Comparison<EqualTo>;
template class Comparison<GreaterThan>;
template class Comparison<LessThan>;
template class Conjunction<LogicalAnd>;
template class Conjunction<LogicalOr>;

constinit const NodeTypeInfo EqualTo::kInfo = {
    .typeName = "EqualTo",
    .displayName = "EqualTo",
    .typeId = 305,
    .bitmapId = 2008,
    .branches = 2,
    .family = "Numerical",
    .menuOrder = 60,
    .info =
        "If the numerical result of the left branch is equal to the second, this function returns "
        "TRUE (1); Otherwise, it returns FALSE (0).  "};

constinit const NodeTypeInfo GreaterThan::kInfo = {
    .typeName = "GreaterThan",
    .displayName = "Greater Than",
    .typeId = 307,
    .bitmapId = 2011,
    .branches = 2,
    .family = "Numerical",
    .menuOrder = 80,
    .info = "If the numerical result of the left branch is Greater than that of the right, this "
            "function "
            "returns TRUE; Otherwise, it returns FALSE"};

constinit const NodeTypeInfo LessThan::kInfo = {
    .typeName = "LessThan",
    .displayName = "Less Than",
    .typeId = 308,
    .bitmapId = 2013,
    .branches = 2,
    .family = "Numerical",
    .menuOrder = 90,
    .info =
        "If the numerical result of the left branch is less than that of the right branch, this "
        "function returns TRUE; Otherwise, it returns FALSE"};

constinit const NodeTypeInfo LogicalAnd::kInfo = {
    .typeName = "LogicalAnd",
    .displayName = "LogicalAnd",
    .typeId = 311,
    .bitmapId = 322,
    .branches = 2,
    .family = "Numerical",
    .menuOrder = 120,
    .info = "This function returns TRUE if and only if both of its branches return TRUE.  "
            "Otherwise, it "
            "returns FALSE."};

constinit const NodeTypeInfo LogicalOr::kInfo = {
    .typeName = "LogicalOr",
    .displayName = "LogicalOr",
    .typeId = 312,
    .bitmapId = 2019,
    .branches = 2,
    .family = "Numerical",
    .menuOrder = 130,
    .info = "If either branch is TRUE, this function returns TRUE.   Otherwise, it returns FALSE."};

constinit const NodeTypeInfo Not::kInfo = {
    .typeName = "Not",
    .displayName = "Not",
    .typeId = 317,
    .bitmapId = 302,
    .branches = 1,
    .family = "Numerical",
    .menuOrder = 180,
    .info = "This node returns the Boolean opposite of its argument, i.e. TRUE will be turned into "
            "FALSE, and FALSE into TRUE."};

namespace {
const NodeFactoryEntry kLogicTypes[] = {
    {&EqualTo::kInfo, &CreateTyped<EqualTo>},     {&GreaterThan::kInfo, &CreateTyped<GreaterThan>},
    {&LessThan::kInfo, &CreateTyped<LessThan>},   {&LogicalAnd::kInfo, &CreateTyped<LogicalAnd>},
    {&LogicalOr::kInfo, &CreateTyped<LogicalOr>}, {&Not::kInfo, &CreateTyped<Not>},
};
} // namespace

std::span<const NodeFactoryEntry> LogicNodeTypes() {
    return kLogicTypes;
}
