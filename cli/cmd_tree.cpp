// Tree documents on the command line: `dump` of a tree (a .dra file or its text form), and
// `solve`.
#include "cli/commands.h"
#include "cli/json.h"

#include "documents/tree_document.h"
#include "documents/tree_text.h"
#include "tree/random.h"
#include "tree/solve.h"

#include <cstdio>

namespace cli {

namespace {

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
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    if (textform::Sniff(text, false) == textform::TextKind::Tree) return 2;
    return extension == ".dra" ? 1 : 0;
}

int DumpTree(const std::string& path) {
    CDendraDoc doc;
    if (!OpenTree(path, doc)) return kExitInput;
    PrintJson(TreeJson(doc));
    return kExitOk;
}

int RunSolve(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"solve", "FILE.dra [--seed N] [--step MS] [--lexicon DIR]",
     "solve a tree and print its events as JSON",
     "Loads the tree in FILE.dra (or its text form), empties its solution, resets the Root's\n"
     "counters and solves the whole tree, then prints {\"events\":[...]} in time order.\n\n"
     "  --seed N    set the random generator to N just before the solve (repeatable output)\n"
     "  --step MS   solve in fixed steps of MS milliseconds (default 0: from event to event)\n"
     "  --lexicon DIR  the folder the set nodes find their words in (default: the setting)\n",
     RunSolve},
};

const Dumper kDumpers[] = {
    {"tree (.dra, or its text form)", MatchTree, DumpTree},
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

    TextJson out = TextJson::object();
    out["events"] = textform::EventsJson(solution);
    PrintJson(out);
    return kExitOk;
}

} // namespace

extern const CommandGroup kTreeCommands = {"tree", kCommands, kDumpers};

} // namespace cli
