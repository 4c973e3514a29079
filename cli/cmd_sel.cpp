// Event lists on the command line: `dump` of a .sel file, and `graph` of a tree's node.
#include "cli/commands.h"
#include "cli/doc_json.h"
#include "cli/event_json.h"
#include "cli/json.h"

#include "documents/event_list_document.h"
#include "documents/node_graph.h"
#include "documents/tree_document.h"
#include "tree/random.h"

#include <cstdio>

namespace cli {

namespace {

int MatchEventList(const std::string& extension, const std::vector<uint8_t>&) {
    return extension == ".sel" ? 1 : 0;
}

int DumpEventList(const std::string& path) {
    CSELDoc doc;
    if (!doc.OnOpenDocument(path)) return kExitInput;
    JsonWriter json;
    WriteEventListDocument(json, doc);
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

int RunGraph(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"graph", "FILE.dra PATH [--step MS] [--seed N]",
     "print the graph of one node of a tree as JSON",
     "Loads the tree in FILE.dra and prints the graph of the node at PATH as {\"events\":[...]}.\n"
     "PATH is the way from the Root, one letter per level: L for the left branch, R for the\n"
     "right one (an empty PATH is the Root). Without --step the graph is the one \"Graph Node\"\n"
     "shows: the event graph, or for counting and numeric nodes one sample every 250 ms.\n\n"
     "  --step MS   sample the node every MS milliseconds (0: the event graph)\n"
     "  --seed N    set the random generator to N before solving (repeatable output)\n",
     RunGraph},
};

const Dumper kDumpers[] = {
    {"eventlist (.sel)", MatchEventList, DumpEventList},
};

int RunGraph(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::vector<std::string> positional;
    bool haveStep = false, seeded = false;
    uint32_t step = 0, seed = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--step" || a == "--seed") {
            if (i + 1 >= args.size()) return UsageError(self, a + " needs a number");
            uint32_t& out = a == "--step" ? step : seed;
            if (!ParseU32(args[++i], out)) return UsageError(self, a + " takes 0 to 4294967295");
            (a == "--step" ? haveStep : seeded) = true;
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) return UsageError(self, "expects FILE.dra and PATH");
    const std::string& path = positional[0];
    const std::string& nodePath = positional[1];
    for (char c : nodePath) {
        if (c != 'L' && c != 'R') return UsageError(self, "PATH is made of L and R only");
    }
    if (!CheckReadable(path)) return kExitInput;
    CDendraDoc doc;
    if (!doc.OnOpenDocument(path)) return kExitInput;
    ProtoType* node = doc.GetRoot().FollowPath(nodePath);
    if (!node) return InputError(path, "no node at path '" + nodePath + "'");
    if (seeded) SeedRandom(seed);
    std::unique_ptr<CSELDoc> graph = haveStep ? GraphNode(*node, step) : GraphFromDisplay(*node);
    if (!graph) return InputError(path, "the node at path '" + nodePath + "' has no graph");
    JsonWriter json;
    json.BeginObject().Key("events");
    WriteEvents(json, graph->GetEvents());
    json.EndObject();
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

} // namespace

void WriteEventListDocument(JsonWriter& json, CSELDoc& doc) {
    json.BeginObject();
    json.Key("kind").String("eventlist");
    json.Key("unitsPerBeat").UInt(doc.UnitsPerBeat());
    json.Key("events");
    WriteEvents(json, doc.GetEvents());
    json.EndObject();
}

extern const CommandGroup kSelCommands = {"eventlist", kCommands, kDumpers};

} // namespace cli
