#include "nodes/set.h"

#include "events/archive.h"
#include "events/event_list.h"
#include "nodes/node_params.h"
#include "tree/node_host.h"

#include <algorithm>
#include <cstdint>

using nodes::Passes;

namespace {

const WordSet& SetOf(ProtoType* branch) {
    static const WordSet kEmpty;
    const WordSet* s = branch ? branch->GetWordSet() : nullptr;
    return s ? *s : kEmpty;
}

// The DOM of a word in both sets by domMode; false for an unknown mode.
bool Combine(int32_t domMode, float a, float b, float& out) {
    switch (domMode) {
    case kDomAverage:
        out = (a + b) / 2.0f;
        return true;
    case kDomMaximum:
        out = std::max(a, b);
        return true;
    case kDomMinimum:
        out = std::min(a, b);
        return true;
    default:
        return false;
    }
}

constexpr ParamChoice kDomChoices[] = {
    {"Average", kDomAverage}, {"Maximum", kDomMaximum}, {"Minimum", kDomMinimum}};

constexpr ParamSpec kRechoose = {.key = "rechoose",
                                 .label = "Re-choose at Start.",
                                 .store = ParamStore::U16,
                                 .control = ParamControl::Check,
                                 .min = 0,
                                 .max = 1,
                                 .def = 0};

constexpr ParamSpec DomMode(int32_t def) {
    return {.key = "domMode",
            .label = "DOM to use:",
            .store = ParamStore::U16,
            .control = ParamControl::List,
            .min = kDomAverage,
            .max = kDomMinimum,
            .def = static_cast<double>(def),
            .choices = kDomChoices};
}

constexpr const char* kSetDialog = "Set definition dialog";
constexpr const char* kOperatorDialog = "Set Operators";

} // namespace

// ---- what every set node does -------------------------------------------------------------------

void SetNode::Copy(const ProtoType& source) {
    ProtoType::Copy(source);
    if (&source == this || source.TypeName() != TypeName()) return;
    // Reading the source's events moves only its read cursor.
    auto& s = const_cast<SetNode&>(static_cast<const SetNode&>(source));
    wordSet = s.wordSet;
    picked_ = s.picked_;
    wordEvents.Clear();
    for (SongEvent* e = s.wordEvents.First(); e; e = s.wordEvents.Next()) {
        wordEvents.AddCopyAt(*e, s.wordEvents.CurrentTime());
    }
}

void SetNode::Serialize(CArchive& ar) {
    if (!SerializeRecord(ar)) return;
    wordSet.Serialize(ar);
    SerializeParams(GetParamTable(), *this, ar);
}

void SetNode::EditData() {
    if (NodeHost* host = GetNodeHost()) host->ToggleDataEditor(*this);
}

void SetNode::Display() {
    EditData();
}

// The window test of a Word, over the picked word's events.
bool SetNode::IsActive(CNoteEventList& list) {
    const uint32_t offset = static_cast<uint32_t>(list.offset) + start;
    list.offset = static_cast<int32_t>(offset);
    const uint64_t end = uint64_t{offset} + duration;
    if (list.now < offset) {
        nodes::LowerNext(list, offset);
        return false;
    }
    if (list.now >= end) return false;
    const uint32_t rel = list.now - offset;
    wordEvents.Seek(rel);
    SongEvent* e = wordEvents.Next();
    while (e && wordEvents.CurrentTime() == rel) e = wordEvents.Next();
    if (e) {
        const uint64_t at = uint64_t{offset} + wordEvents.CurrentTime();
        if (at < end) nodes::LowerNext(list, static_cast<uint32_t>(at));
    }
    return true;
}

void SetNode::Solve(CNoteEventList& list) {
    if (rechoose && static_cast<uint32_t>(list.offset) + start == list.now) ResetCounters();
    if (!Passes(*this, list)) return;
    list.RemoveAll();
    const uint32_t rel = list.now - static_cast<uint32_t>(list.offset);
    wordEvents.Seek(rel);
    for (SongEvent* e = wordEvents.Next(); e && wordEvents.CurrentTime() == rel;
         e = wordEvents.Next()) {
        list.AddCopyAt(*e, list.now);
    }
}

void SetNode::ResetCounters() {
    const int i = wordSet.Pick();
    if (i == WordSet::kNoPick) return;
    WordSource* source = GetWordSource();
    if (!source) return;
    const std::string word = wordSet.WordAt(static_cast<size_t>(i));
    switch (source->LoadWord(word, wordEvents)) {
    case WordLoad::Missing:
        break;
    case WordLoad::Loaded:
        picked_ = word;
        break;
    case WordLoad::Unreadable:
        wordEvents.Clear();
        picked_.clear();
        break;
    }
}

void SetNode::GetSpecialName(int which, std::string& label) const {
    label = which == 1 ? "Pick Word" : which == 2 ? "Generate Set" : "";
}

void SetNode::Special(int which) {
    if (which == 1)
        ResetCounters();
    else if (which == 2)
        GenerateSet();
}

void SetNode::GenerateSet() {
    Insertions words;
    if (Operate(SetOf(childOne), SetOf(childTwo), words)) wordSet.Assign(std::move(words));
    if (parent) parent->GenerateSet();
}

bool SetNode::Operate(const WordSet&, const WordSet&, Insertions&) const {
    return false;
}

// ---- Set --------------------------------------------------------------------------------------

const ParamField Set::kFields[] = {Param<&Set::rechoose>(kRechoose)};

constinit const NodeTypeInfo Set::kInfo = {
    .typeName = "Set",
    .displayName = "Set",
    .typeId = 503,
    .bitmapId = 0,
    .branches = 0,
    .family = "Set",
    .menuOrder = 40,
    .info = "The Set function contains a list of Words, and the degree (called Degree Of "
            "Membership, DOM) ( 0.0 - 1.0) to which they each belong to the set.  If you wish "
            "the set to pick new words at its start, select the option 'Choose on Start'.  Note "
            "that all members of the set must be located in the 'Lexicon' directory.  ",
    .dialogTitle = kSetDialog,
    .params = Set::kFields};

// ---- Complement -------------------------------------------------------------------------------

const ParamField Complement::kFields[] = {Param<&Complement::rechoose>(kRechoose)};

constinit const NodeTypeInfo Complement::kInfo = {
    .typeName = "Complement",
    .displayName = "Complement",
    .typeId = 500,
    .bitmapId = 0,
    .branches = 1,
    .family = "Set",
    .menuOrder = 10,
    .info = "This function takes the set complement of the left branch, using the set derived "
            "from the right branch as the domain. ",
    .dialogTitle = kSetDialog,
    .params = Complement::kFields};

bool Complement::Operate(const WordSet& a, const WordSet&, Insertions& out) const {
    for (size_t i = 0; i < a.Count(); ++i) out.emplace_back(a.WordAt(i), 1.0f - a.DomAt(i));
    return true;
}

// ---- ExclusiveUnion ---------------------------------------------------------------------------

const ParamField ExclusiveUnion::kFields[] = {Param<&ExclusiveUnion::rechoose>(kRechoose)};

constinit const NodeTypeInfo ExclusiveUnion::kInfo = {
    .typeName = "ExclusiveUnion",
    .displayName = "ExclusiveUnion",
    .typeId = 501,
    .bitmapId = 0,
    .branches = 2,
    .family = "Set",
    .menuOrder = 20,
    .info = "This function takes the exclusive (symmetric) union of its two children.  A word "
            "that is in one set but not both sets is included (in this set).  ",
    .dialogTitle = kSetDialog,
    .params = ExclusiveUnion::kFields};

bool ExclusiveUnion::Operate(const WordSet& a, const WordSet& b, Insertions& out) const {
    for (size_t i = 0; i < a.Count(); ++i) {
        if (b.GetDom(a.WordAt(i)) == 0.0f) out.emplace_back(a.WordAt(i), a.DomAt(i));
    }
    for (size_t i = 0; i < b.Count(); ++i) {
        if (a.GetDom(b.WordAt(i)) == 0.0f) out.emplace_back(b.WordAt(i), b.DomAt(i));
    }
    return true;
}

// ---- Intersection -----------------------------------------------------------------------------

const ParamField Intersection::kFields[] = {
    Param<&Intersection::rechoose>(kRechoose),
    Param<&Intersection::domMode>(DomMode(kDomMinimum)),
};

constinit const NodeTypeInfo Intersection::kInfo = {
    .typeName = "Intersection",
    .displayName = "Intersection",
    .typeId = 502,
    .bitmapId = 0,
    .branches = 2,
    .family = "Set",
    .menuOrder = 30,
    .info = "This function takes the set intersection of its two children.  This means that "
            "only elements which are members of both sets will be included.  ",
    .dialogTitle = kOperatorDialog,
    .params = Intersection::kFields};

bool Intersection::Operate(const WordSet& a, const WordSet& b, Insertions& out) const {
    float dom = 0.0f;
    if (!Combine(domMode, 0.0f, 0.0f, dom)) return true; // an unknown mode: empty
    for (size_t i = 0; i < a.Count(); ++i) {
        const float domB = b.GetDom(a.WordAt(i));
        if (domB == 0.0f) continue;
        Combine(domMode, a.DomAt(i), domB, dom);
        out.emplace_back(a.WordAt(i), dom);
    }
    return true;
}

// ---- SubtractSet ------------------------------------------------------------------------------

const ParamField SubtractSet::kFields[] = {
    Param<&SubtractSet::rechoose>(kRechoose),
    Param<&SubtractSet::subtractValues>({.key = "subtractValues",
                                         .label = "Remove Completely",
                                         .store = ParamStore::U16,
                                         .control = ParamControl::Check,
                                         .min = 0,
                                         .max = 1,
                                         .def = 0}),
};

constinit const NodeTypeInfo SubtractSet::kInfo = {
    .typeName = "SubtractSet",
    .displayName = "SubtractSet",
    .typeId = 505,
    .bitmapId = 0,
    .branches = 2,
    .family = "Set",
    .menuOrder = 50,
    .info = "This function is defined as the set which whose elements are contained in the "
            "left-branch set, but are not contained in the right-branch set.  ",
    .dialogTitle = "Subtract Set",
    .params = SubtractSet::kFields};

bool SubtractSet::Operate(const WordSet& a, const WordSet& b, Insertions& out) const {
    for (size_t i = 0; i < a.Count(); ++i) {
        const float domB = b.GetDom(a.WordAt(i));
        if (!subtractValues) {
            if (domB == 0.0f) out.emplace_back(a.WordAt(i), a.DomAt(i));
            continue;
        }
        const float left = a.DomAt(i) - domB;
        out.emplace_back(a.WordAt(i), left > 0.0f ? left : 0.0f);
    }
    return true;
}

// ---- Union ------------------------------------------------------------------------------------

const ParamField Union::kFields[] = {
    Param<&Union::rechoose>(kRechoose),
    Param<&Union::domMode>(DomMode(kDomMaximum)),
};

constinit const NodeTypeInfo Union::kInfo = {
    .typeName = "Union",
    .displayName = "Union",
    .typeId = 506,
    .bitmapId = 0,
    .branches = 2,
    .family = "Set",
    .menuOrder = 60,
    .info = "This function takes the set union of its two branches.  This means that it will "
            "consist of the elements from both sets.  ",
    .dialogTitle = kOperatorDialog,
    .params = Union::kFields};

bool Union::Operate(const WordSet& a, const WordSet& b, Insertions& out) const {
    float dom = 0.0f;
    if (!Combine(domMode, 0.0f, 0.0f, dom)) return true; // an unknown mode: empty
    for (const WordSet* s : {&a, &b}) {
        for (size_t i = 0; i < s->Count(); ++i) {
            const std::string& w = s->WordAt(i);
            Combine(domMode, a.GetDom(w), b.GetDom(w), dom);
            out.emplace_back(w, dom);
        }
    }
    return true;
}

// ---- factory table ----------------------------------------------------------------------------

namespace {
const NodeFactoryEntry kSetTypes[] = {
    {&Complement::kInfo, &CreateTyped<Complement>},
    {&ExclusiveUnion::kInfo, &CreateTyped<ExclusiveUnion>},
    {&Intersection::kInfo, &CreateTyped<Intersection>},
    {&Set::kInfo, &CreateTyped<Set>},
    {&SubtractSet::kInfo, &CreateTyped<SubtractSet>},
    {&Union::kInfo, &CreateTyped<Union>},
};
} // namespace

std::span<const NodeFactoryEntry> SetNodeTypes() {
    return kSetTypes;
}
