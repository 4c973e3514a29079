// Wave compilers on the command line: `compile`, and the options every command takes for one run
// (--library PATH, --lexicon DIR).
#include "cli/commands.h"
#include "cli/json.h"

#include "documents/node_wave_access.h"
#include "documents/tree_document.h"
#include "nodes/library.h"
#include "nodes/wave.h"
#include "tree/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace cli {

namespace {

int RunCompile(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"compile", "FILE.dra [PATH] -o OUT.wav", "compile a tree's wave compiler into a WAV file",
     "Loads the tree in FILE.dra (which compiles every wave compiler whose samples the file does\n"
     "not keep), takes the wave compiler at PATH (\"L\" and \"R\" steps from the Root, as for\n"
     "graph), or without PATH the first one found depth-first, left before right, and writes its\n"
     "sound to OUT.wav as PCM in the wave's own format. Prints {\"output\":S,\"frames\":N,\n"
     "\"rate\":N,\"channels\":N,\"bits\":N}. Long compiles note their progress on standard "
     "error.\n\n"
     "  -o OUT.wav      the file to write (replaced only when the whole sound was written)\n"
     "  --lexicon DIR   look words up in DIR for this run\n"
     "  --library PATH  load the effect library at PATH for this run (repeatable, at most six)\n",
     RunCompile},
};

// The first wave compiler below and including `node`, depth-first, left before right.
FxWaveCompiler* FirstCompiler(ProtoType* node) {
    if (!node) return nullptr;
    if (node->GetTypeId() == FxWaveCompiler::kInfo.typeId)
        return static_cast<FxWaveCompiler*>(node);
    if (FxWaveCompiler* c = FirstCompiler(node->childOne)) return c;
    return FirstCompiler(node->childTwo);
}

int RunCompile(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::vector<std::string> positional;
    std::string output;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-o" || a == "--output") {
            if (i + 1 >= args.size()) return UsageError(self, a + " needs a file name");
            output = args[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty() || positional.size() > 2)
        return UsageError(self, "expects FILE.dra and at most one PATH");
    if (output.empty()) return UsageError(self, "needs -o OUT.wav");
    const std::string& path = positional[0];
    const bool havePath = positional.size() == 2;
    const std::string nodePath = havePath ? positional[1] : "";
    for (char c : nodePath)
        if (c != 'L' && c != 'R') return UsageError(self, "PATH is made of L and R only");
    if (!CheckReadable(path)) return kExitInput;

    CDendraDoc doc;
    doc.SetSolveOnRead(false);
    if (!doc.OnOpenDocument(path)) return kExitInput;
    ProtoType* node =
        havePath ? doc.GetRoot().FollowPath(nodePath) : FirstCompiler(doc.GetRoot().childOne);
    if (!node) {
        return InputError(path, havePath ? "no node at path '" + nodePath + "'"
                                         : "the tree holds no wave compiler");
    }
    if (node->GetTypeId() != FxWaveCompiler::kInfo.typeId)
        return InputError(path, "the node at path '" + nodePath + "' is not a wave compiler");
    auto& compiler = static_cast<FxWaveCompiler&>(*node);
    if (compiler.Frames() == 0) {
        return InputError(path, "the wave of \"" + compiler.name +
                                    "\" has no length (its duration is 0): nothing to write");
    }
    // Reading compiled it already unless it could not be compiled (and said why).
    if (!compiler.IsCompiled() && !compiler.Compile()) return kExitInput;
    WaveAccess* access = GetWaveAccess();
    std::string error = "no sound";
    if (!access || !compiler.Sound() ||
        !access->SaveAsWave(*compiler.Sound(), compiler.wave.info, output, &error)) {
        std::fprintf(stderr, "dendra-cli compile: cannot write %s: %s\n", output.c_str(),
                     error.c_str());
        return kExitInput;
    }
    const WAVEFORMATEX& f = compiler.wave.info.format;
    TextJson json = TextJson::object();
    json["output"] = textform::String(output);
    json["frames"] = compiler.CompiledFrames();
    json["rate"] = f.nSamplesPerSec;
    json["channels"] = f.nChannels;
    json["bits"] = f.wBitsPerSample;
    PrintJson(json);
    return kExitOk;
}

} // namespace

int ApplyRunOptions(const std::string& command, std::vector<std::string>& args) {
    std::vector<std::string> libraries;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        // The commands that solve trees took --lexicon already (TakeLexiconOption).
        if (a == "--lexicon" || a.rfind("--lexicon=", 0) == 0) {
            std::fprintf(stderr,
                         "dendra-cli %s: --lexicon applies to solve, render, compile and dump\n",
                         command.c_str());
            return kExitUsage;
        }
        if (a != "--library" && a.rfind("--library=", 0) != 0) {
            rest.push_back(a);
            continue;
        }
        std::string value;
        if (a.size() > std::strlen("--library")) {
            value = a.substr(std::strlen("--library") + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        if (value.empty()) {
            std::fprintf(stderr, "dendra-cli %s: --library needs a PATH\n", command.c_str());
            return kExitUsage;
        }
        if (libraries.size() == static_cast<size_t>(kLibrarySlots)) {
            std::fprintf(stderr, "dendra-cli %s: at most six --library options\n", command.c_str());
            return kExitUsage;
        }
        // The path the user typed, made absolute against the folder the command runs in.
        std::error_code ec;
        const std::filesystem::path full = std::filesystem::absolute(value, ec);
        libraries.push_back(ec ? value : full.lexically_normal().string());
    }
    args = std::move(rest);

    InstallNodeWaveAccess();
    Registry().BuildBuiltins(true);
    if (!libraries.empty() &&
        LoadEffectLibraries(Registry(), libraries) != static_cast<int>(libraries.size())) {
        // What went wrong was said on standard error.
        return kExitInput;
    }
    return -1;
}

extern const CommandGroup kCompileCommands = {"compile", kCommands, {}};

} // namespace cli
