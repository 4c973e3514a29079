#include "documents/node_graph.h"

#include "events/event_list.h"
#include "tree/node_host.h"
#include "tree/proto_type.h"

#include <cmath>

namespace {

uint32_t UnitsFromScale(float scale) {
    if (!(scale >= 1.0f) || scale >= 4294967295.0f) return kDefaultUnitsPerBeat;
    return static_cast<uint32_t>(scale);
}

// A host that keeps the graph it is asked to show and shows no dialog.
class CapturingHost : public NodeHost {
public:
    bool RunParamsDialog(ProtoType&, ParamDialog&) override { return false; }
    void ShowEventGraph(const std::string& title, float timeScale,
                        CNoteEventList& events) override {
        graph = MakeGraphDocument(title, timeScale, events);
    }
    void ToggleDataEditor(ProtoType&) override {}
    void OpenEventEditor(EventEditorLink&, CEventTree&, const std::string&) override {}

    std::unique_ptr<CSELDoc> graph;
};

} // namespace

std::unique_ptr<CSELDoc> MakeGraphDocument(const std::string& title, float timeScale,
                                           CNoteEventList& events) {
    auto doc = std::make_unique<CSELDoc>();
    doc->OnNewDocument();
    doc->SetUnitsPerBeat(UnitsFromScale(timeScale));
    doc->SetTitle(title);
    doc->ReplaceEvents(events);
    doc->SetModifiedFlag(false);
    return doc;
}

std::unique_ptr<CSELDoc> GraphNode(ProtoType& node, uint32_t step) {
    if (step == 0) node.ResetCounters();
    CNoteEventList events;
    node.SolveInto(events, step);
    return MakeGraphDocument(node.GetName(), node.GetTimeScale(), events);
}

std::unique_ptr<CSELDoc> GraphFromDisplay(ProtoType& node) {
    CapturingHost host;
    NodeHost* previous = SetNodeHost(&host);
    node.Display();
    SetNodeHost(previous);
    return std::move(host.graph);
}
