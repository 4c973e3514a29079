// Event lists on the command line: `dump` of a .sel file, and `graph` of a tree's node.
#include "cli/commands.h"
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
    PrintJson(textform::EventListJson(doc));
    return kExitOk;
}

int RunGraph(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"graph", "FILE.dra PATH [--step MS] [--seed N]",
     "print the graph of one node of a tree as JSON",
     "Loads the tree in FILE.dra (or its text form) and prints the graph of the node at PATH as\n"
     "{\"events\":[...]}. PATH is the way from the Root, one letter per level: L for the left\n"
     "branch, R for the right one (an empty PATH is the Root). Without --step the graph is the\n"
     "one \"Graph Node\" shows: the event graph, or for counting and numeric nodes one sample\n"
     "every 250 ms.\n\n"
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
    TextJson out = TextJson::object();
    out["events"] = textform::EventsJson(graph->GetEvents());
    PrintJson(out);
    return kExitOk;
}

} // namespace

extern const CommandGroup kSelCommands = {"eventlist", kCommands, kDumpers};

} // namespace cli
