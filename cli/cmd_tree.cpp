// Tree documents on the command line: `dump` of a .dra file, and `solve`.
#include "cli/commands.h"
#include "cli/doc_json.h"
#include "cli/event_json.h"
#include "cli/json.h"

#include "documents/tree_document.h"
#include "tree/params.h"
#include "tree/random.h"
#include "tree/solve.h"

#include <cstdio>

namespace cli {

namespace {

void WriteParams(JsonWriter& json, const ProtoType& node) {
    json.BeginObject();
    for (const ParamField& field : node.GetParamTable()) {
        if (field.store == ParamStore::None) continue;
        json.Key(field.key);
        switch (field.type) {
        case ParamType::Bool:
            json.Bool(GetParamNumber(field, node) != 0.0);
            break;
        case ParamType::Int32:
            json.Int(static_cast<int64_t>(GetParamNumber(field, node)));
            break;
        case ParamType::UInt32:
            json.UInt(static_cast<uint64_t>(GetParamNumber(field, node)));
            break;
        case ParamType::Float:
            json.Float(static_cast<float>(GetParamNumber(field, node)));
            break;
        case ParamType::Text:
            json.String(GetParamText(field, node));
            break;
        }
    }
    json.EndObject();
}

// Depth is bounded by the reader's nesting limit.
void WriteNode(JsonWriter& json, const ProtoType& node) {
    std::string type;
    node.GetFxTypeName(type);
    json.BeginObject();
    json.Key("type").String(type);
    json.Key("id").Int(node.GetTypeId());
    json.Key("name").String(node.GetName());
    json.Key("start").UInt(node.start);
    json.Key("duration").UInt(node.duration);
    json.Key("params");
    WriteParams(json, node);
    WriteNodeExtras(json, node);
    json.Key("children").BeginArray();
    if (node.childOne) WriteNode(json, *node.childOne);
    if (node.childTwo) WriteNode(json, *node.childTwo);
    json.EndArray();
    json.EndObject();
}

// Opens a tree document; its messages have gone to standard error when it fails.
bool OpenTree(const std::string& path, CDendraDoc& doc) {
    if (!CheckReadable(path)) return false;
    return doc.OnOpenDocument(path);
}

int MatchTree(const std::string& extension, const std::vector<uint8_t>& head) {
    if (head.size() >= 8) {
        uint32_t version = head[0] | head[1] << 8 | head[2] << 16 | uint32_t(head[3]) << 24;
        uint32_t magic = head[4] | head[5] << 8 | head[6] << 16 | uint32_t(head[7]) << 24;
        if (version > 3 && magic == kDendraMagic) return 2;
    }
    return extension == ".dra" ? 1 : 0;
}

int DumpTree(const std::string& path) {
    CDendraDoc doc;
    if (!OpenTree(path, doc)) return kExitInput;
    JsonWriter json;
    WriteTreeDocument(json, doc);
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

int RunSolve(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"solve", "FILE.dra [--seed N] [--step MS]", "solve a tree and print its events as JSON",
     "Loads the tree in FILE.dra, empties its solution, resets the Root's counters and solves\n"
     "the whole tree, then prints {\"events\":[...]} in time order.\n\n"
     "  --seed N    set the random generator to N just before the solve (repeatable output)\n"
     "  --step MS   solve in fixed steps of MS milliseconds (default 0: from event to event)\n",
     RunSolve},
};

const Dumper kDumpers[] = {
    {"tree (.dra)", MatchTree, DumpTree},
};

int RunSolve(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::string path;
    bool seeded = false;
    uint32_t seed = 0, step = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const std::string& option, std::string& out) {
            if (a == option) {
                if (i + 1 >= args.size()) return false;
                out = args[++i];
                return true;
            }
            out = a.substr(option.size() + 1);
            return true;
        };
        std::string v;
        if (a == "--seed" || a.rfind("--seed=", 0) == 0) {
            if (!value("--seed", v)) return UsageError(self, "--seed needs a number");
            if (!ParseU32(v, seed)) return UsageError(self, "--seed takes 0 to 4294967295");
            seeded = true;
        } else if (a == "--step" || a.rfind("--step=", 0) == 0) {
            if (!value("--step", v)) return UsageError(self, "--step needs a number");
            if (!ParseU32(v, step)) return UsageError(self, "--step takes 0 to 4294967295 ms");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            return UsageError(self, "expects one FILE.dra");
        }
    }
    if (path.empty()) return UsageError(self, "expects one FILE.dra");

    CDendraDoc doc;
    if (!OpenTree(path, doc)) return kExitInput;
    CEventTree& solution = doc.Solution();
    solution.Clear();
    doc.GetRoot().ResetCounters();
    if (seeded) SeedRandom(seed);
    SolveInto(doc.GetRoot(), solution, step);

    JsonWriter json;
    json.BeginObject().Key("events");
    WriteEvents(json, solution);
    json.EndObject();
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

} // namespace

void WriteTreeDocument(JsonWriter& json, CDendraDoc& doc) {
    json.BeginObject();
    json.Key("kind").String("tree");
    json.Key("version").Int(doc.FileVersionRead());
    json.Key("solvable").Bool(doc.Options().solvable);
    json.Key("saveGenerated").Bool(doc.Options().saveGenerated);
    json.Key("comments").String(doc.GetComments());
    json.Key("root");
    WriteNode(json, doc.GetRoot());
    json.Key("solution");
    WriteEvents(json, doc.Solution());
    json.EndObject();
}

extern const CommandGroup kTreeCommands = {"tree", kCommands, kDumpers};

} // namespace cli
