#include "tree/node_io.h"

#include "events/archive.h"
#include "tree/registry.h"

namespace {

struct ReadState {
    int depth = 0;
    NodeReadError* error = nullptr;
};
thread_local ReadState* t_state = nullptr;

// Installs a read state for the outermost read and removes it again.
class ReadScope {
public:
    explicit ReadScope(NodeReadError* error) : outer_(t_state == nullptr) {
        if (outer_) {
            local_.error = error;
            t_state = &local_;
        } else if (error && !t_state->error) {
            t_state->error = error;
        }
    }
    ~ReadScope() {
        if (outer_) t_state = nullptr;
    }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
    bool outer_;
    ReadState local_;
};

void Report(const std::string& message) {
    if (t_state && t_state->error && t_state->error->message.empty()) {
        t_state->error->message = message;
    }
}

void FinishError(CArchive& ar, NodeReadError* error) {
    if (error && ar.Failed() && error->message.empty()) {
        error->message = "The tree in this file is damaged or incomplete.";
    }
}

// Only references still waiting for their stored path: a Pointer resolved earlier (or one
// without a target) is left as it is, and no name search runs.
void ResolveIn(ProtoType* n) {
    if (!n) return;
    n->ResolveStoredReference();
    ResolveIn(n->childOne);
    ResolveIn(n->childTwo);
}

} // namespace

void WriteNodeRecord(CArchive& ar, ProtoType& node) {
    node.Serialize(ar);
}

void WriteTypedNode(CArchive& ar, ProtoType& node) {
    ar.WriteString(node.TypeName());
    node.Serialize(ar);
}

bool ReadBranch(CArchive& ar, ProtoType& node, int which) {
    ReadScope scope(nullptr);
    std::string type = ar.ReadString();
    if (ar.Failed()) return false;
    if (t_state->depth + 1 > kMaxNodeDepth) {
        if (t_state->error) t_state->error->tooDeep = true;
        Report("The tree in this file is nested too deeply to be read.");
        ar.Fail();
        return false;
    }
    ProtoType*& slot = which == 1 ? node.childOne : node.childTwo;
    ProtoType* made = nullptr;
    if (slot) {
        made = ReplaceWith(slot, type, true);
    } else if ((made = CreateNode(type, true)) != nullptr) {
        made->parent = &node;
        made->duration = node.duration;
        slot = made;
    }
    if (!made) {
        if (t_state->error && t_state->error->unknownType.empty()) {
            t_state->error->unknownType = type;
        }
        Report("This file holds a function of an unknown type: '" + type + "'.");
        ar.Fail();
        return false;
    }
    ++t_state->depth;
    made->Serialize(ar);
    --t_state->depth;
    return !ar.Failed();
}

bool ReadNodeRecord(CArchive& ar, ProtoType& node, NodeReadError* error) {
    {
        ReadScope scope(error);
        node.Serialize(ar);
    }
    if (ar.Failed()) {
        FinishError(ar, error);
        return false;
    }
    ResolveStoredReferences(node);
    return true;
}

ProtoType* ReadTypedNode(CArchive& ar, ProtoType& placeholder, NodeReadError* error) {
    ProtoType* made = nullptr;
    {
        ReadScope scope(error);
        if (ProtoType* p = placeholder.parent; p && p->WhichChild(&placeholder) != 0) {
            const int which = p->WhichChild(&placeholder) == -1 ? 1 : 2;
            if (ReadBranch(ar, *p, which)) made = p->GetChild(which);
        } else {
            std::string type = ar.ReadString();
            if (!ar.Failed()) {
                made = ReplaceWith(&placeholder, type, true);
                if (!made) {
                    if (error) error->unknownType = type;
                    Report("This file holds a function of an unknown type: '" + type + "'.");
                    ar.Fail();
                } else {
                    made->Serialize(ar);
                }
            }
        }
    }
    if (ar.Failed()) {
        FinishError(ar, error);
        return nullptr;
    }
    ResolveStoredReferences(*made);
    return made;
}

void ResolveStoredReferences(ProtoType& top) {
    ResolveIn(&top);
}
