// Helpers of the node family tests: a leaf that yields fixed events, one-step solves and a
// flat description of a list.
#pragma once

#include "tests/tree/tree_helpers.h"

#include <memory>
#include <string>
#include <vector>

namespace famtest {

// Yields a fixed list of events (copies, in the order given) at each solve.
class Fixed : public TypedNode<Fixed> {
public:
    static inline const NodeTypeInfo kInfo = {
        .typeName = "Fixed", .displayName = "Fixed", .typeId = 9998, .info = "fixed"};
    void Solve(CNoteEventList& list) override {
        ++solves;
        list.RemoveAll();
        SongEvent** tail = &list.head;
        for (auto& e : events) {
            *tail = e->Clone();
            tail = &(*tail)->next;
        }
    }
    Fixed& Value(float v, uint32_t t = 0) {
        events.emplace_back(new EventValue(v, t));
        return *this;
    }
    Fixed& Note(uint8_t pitch, uint8_t velocity = 100, uint32_t t = 0, uint32_t d = 50,
                uint8_t status = 0x90) {
        events.emplace_back(new EventMidi(t, status, pitch, velocity, d));
        return *this;
    }
    std::vector<std::unique_ptr<SongEvent>> events;
    int solves = 0;
};

inline Fixed* SetFixed(ProtoType& parent, int which) {
    auto* f = new Fixed;
    f->parent = &parent;
    ProtoType*& slot = which == 1 ? parent.childOne : parent.childTwo;
    delete slot;
    slot = f;
    return f;
}

// One fixed-step solve at now.
inline void SolveAt(ProtoType& node, CNoteEventList& list, uint32_t now) {
    list.now = now;
    list.next = kFixedStep;
    node.Solve(list);
}

inline std::vector<std::string> Flat(CNoteEventList& list) {
    std::vector<std::string> out;
    for (SongEvent* e = list.head; e; e = e->next) out.push_back(Describe(*e, e->time));
    return out;
}

} // namespace famtest
