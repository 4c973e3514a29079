// Shared helpers for the tree and node tests: building trees by type name, a probe node that
// records the times it is solved at, and flattening solutions for comparison.
#pragma once

#include "events/event_list.h"
#include "events/event_tree.h"
#include "nodes/control.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"
#include "tests/common/node_types.h"
#include "tree/registry.h"

#include <cstdio>
#include <string>
#include <vector>

// Puts a node of `type` in place of `at` (usually a Null branch) as the tree editor's Define
// node does (its branches take its window) and returns it as T.
template <class T = ProtoType> T* Put(ProtoType* at, const char* type) {
    ProtoType* q = ReplaceWith(at, type);
    if (q) q->AlignTimes(0);
    return static_cast<T*>(q);
}

// The node as T when it is of T's type (by type id), else null.
template <class T> T* As(ProtoType* n) {
    return n && n->GetTypeId() == T::kInfo.typeId ? static_cast<T*>(n) : nullptr;
}

inline Constant* PutConstant(ProtoType* at, float v) {
    Constant* c = Put<Constant>(at, "Constant");
    c->value = v;
    return c;
}

// Records every now it is solved at; yields a value 1 at now when `yield` is set.
class Probe : public TypedNode<Probe> {
public:
    static inline const NodeTypeInfo kInfo = {
        .typeName = "Probe", .displayName = "Probe", .typeId = 9999, .info = "probe"};
    void Solve(CNoteEventList& list) override {
        if (list.next != kFixedStep && !IsActive(list)) return;
        nows.push_back(list.now);
        offsets.push_back(list.offset);
        list.RemoveAll();
        if (yield) list.Add(new EventValue(1.0f, list.now));
    }
    std::vector<uint32_t> nows;
    std::vector<int32_t> offsets;
    bool yield = false;
};

// Links a probe in place of `at`, keeping at's duration.
inline Probe* PutProbe(ProtoType* at) {
    auto* p = new Probe;
    p->parent = at->parent;
    p->duration = at->duration;
    if (at->parent->childOne == at)
        at->parent->childOne = p;
    else
        at->parent->childTwo = p;
    delete at;
    return p;
}

inline std::string Describe(SongEvent& e, uint32_t t) {
    char buf[96];
    if (e.IsMidi()) {
        std::snprintf(buf, sizeof buf, "%u:m%02x,%u,%u,%u/%u", t, e.GetMessageBytes()[0],
                      e.GetData1(), e.GetData2(), e.GetData3(), e.GetDuration());
    } else {
        std::snprintf(buf, sizeof buf, "%u:v%g", t, e.GetValue());
    }
    return buf;
}

inline std::vector<std::string> Flatten(CEventTree& tree) {
    std::vector<std::string> out;
    for (SongEvent* e = tree.First(); e; e = tree.Next()) {
        out.push_back(Describe(*e, tree.CurrentTime()));
    }
    return out;
}

inline std::vector<std::string> Flatten(CNoteEventList& list) {
    std::vector<std::string> out;
    for (SongEvent* e = list.head; e; e = e->next) out.push_back(Describe(*e, e->time));
    return out;
}
