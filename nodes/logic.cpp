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
    "EqualTo",
    "EqualTo",
    305,
    2008,
    2,
    "If the numerical result of the left branch is equal to the second, this function returns "
    "TRUE (1); Otherwise, it returns FALSE (0).  ",
    "",
    {}};

constinit const NodeTypeInfo GreaterThan::kInfo = {
    "GreaterThan",
    "Greater Than",
    307,
    2011,
    2,
    "If the numerical result of the left branch is Greater than that of the right, this function "
    "returns TRUE; Otherwise, it returns FALSE",
    "",
    {}};

constinit const NodeTypeInfo LessThan::kInfo = {
    "LessThan",
    "Less Than",
    308,
    2013,
    2,
    "If the numerical result of the left branch is less than that of the right branch, this "
    "function returns TRUE; Otherwise, it returns FALSE",
    "",
    {}};

constinit const NodeTypeInfo LogicalAnd::kInfo = {
    "LogicalAnd",
    "LogicalAnd",
    311,
    322,
    2,
    "This function returns TRUE if and only if both of its branches return TRUE.  Otherwise, it "
    "returns FALSE.",
    "",
    {}};

constinit const NodeTypeInfo LogicalOr::kInfo = {
    "LogicalOr",
    "LogicalOr",
    312,
    2019,
    2,
    "If either branch is TRUE, this function returns TRUE.   Otherwise, it returns FALSE.",
    "",
    {}};

constinit const NodeTypeInfo Not::kInfo = {
    "Not",
    "Not",
    317,
    302,
    1,
    "This node returns the Boolean opposite of its argument, i.e. TRUE will be turned into "
    "FALSE, and FALSE into TRUE.",
    "",
    {}};

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
