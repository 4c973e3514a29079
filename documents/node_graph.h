// The graph of a node: an event-list document holding what the node yields.
//
// The event graph resets the node's counters and solves it in event mode; the sampled graph
// (counting and numeric nodes, step 250 ms) solves it at fixed steps without a reset. The
// document's units per beat come from the node's time scale (a Root outside any document has
// none, 0, and the document keeps its default 1000) and its title is the node's name.
//
// GraphFromDisplay runs the node's own Display with a capturing host, so it shows exactly what
// "Graph Node" shows: the event or the sampled graph, or nothing for the types without a graph.
#pragma once

#include "documents/event_list_document.h"

#include <cstdint>
#include <memory>
#include <string>

class CNoteEventList;
class ProtoType;

constexpr uint32_t kSampledGraphStep = 250;

// The document of a graph that a node host is asked to show.
std::unique_ptr<CSELDoc> MakeGraphDocument(const std::string& title, float timeScale,
                                           CNoteEventList& events);
// The graph of `node` solved with `step` (0: event graph after ResetCounters; otherwise
// sampled every `step` ms without a reset).
std::unique_ptr<CSELDoc> GraphNode(ProtoType& node, uint32_t step);
// The graph the node's Display shows; null when it shows none.
std::unique_ptr<CSELDoc> GraphFromDisplay(ProtoType& node);
