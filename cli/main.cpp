// dendra-cli: the headless program. A dispatcher over the command groups of commands.h.
#include "cli/commands.h"

#include "documents/text_form.h"
#include "formats/wave_data.h"
#include "nodes/builtin_nodes.h"
#include "platform/atomic_file.h"
#include "platform/temp_names.h"
#include "platform/user_messages.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace cli {

namespace {

// The command groups. Add a group here.
const CommandGroup* const kGroups[] = {
    &kTreeCommands, &kSoundCommands,  &kMidiCommands,  &kSelCommands,     &kSongCommands,
    &kAppCommands,  &kRenderCommands, &kTypesCommands, &kCompileCommands,
};

int RunDump(const std::vector<std::string>& args);

const Command kDump = {
    "dump", "FILE [--samples] [--lexicon DIR]", "print a document as JSON",
    "Prints the document in FILE as one line of JSON. The kind of document follows the file's\n"
    "contents and extension; known kinds: %KINDS%.\n"
    "The JSON of a tree or a song is its text form: every command that takes a tree or a song\n"
    "also takes it, and `convert` turns it back into a .dra or .sng file.\n\n"
    "  --samples   sound files: also print every sample, interleaved\n"
    "  --lexicon DIR  trees: the folder the set nodes find their words in when a tree is\n"
    "              solved on reading (default: the setting)\n",
    RunDump};

// The options `dump` passes on to the dumpers.
const char* const kDumpOptions[] = {"--samples"};
std::vector<std::string> g_dumpOptions;

const Command* FindCommand(const std::string& name) {
    if (name == kDump.name) return &kDump;
    for (const CommandGroup* g : kGroups)
        for (const Command& c : g->commands)
            if (name == c.name) return &c;
    return nullptr;
}

std::string KnownKinds() {
    std::string kinds;
    for (const CommandGroup* g : kGroups) {
        for (const Dumper& d : g->dumpers) {
            if (!kinds.empty()) kinds += ", ";
            kinds += d.kind;
        }
    }
    return kinds;
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to, "usage: dendra-cli COMMAND [ARGS...]\n"
                     "       dendra-cli COMMAND --help\n");
    PrintStartupUsage(to);
    std::fprintf(to,
                 "       (the program's own start-up: see dendra-cli /play --help)\n\ncommands:\n");
    std::vector<const Command*> all{&kDump};
    for (const CommandGroup* g : kGroups)
        for (const Command& c : g->commands) all.push_back(&c);
    for (const Command* c : all) std::fprintf(to, "  %-8s %s\n", c->name, c->summary);
}

std::string LowerExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

int RunDump(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        PrintCommandHelp(kDump);
        return kExitOk;
    }
    std::string path;
    for (const std::string& a : args) {
        if (!a.empty() && a[0] == '-') {
            if (std::find(std::begin(kDumpOptions), std::end(kDumpOptions), a) ==
                std::end(kDumpOptions))
                return UsageError(kDump, "unknown option " + a);
            g_dumpOptions.push_back(a);
        } else if (path.empty()) {
            path = a;
        } else {
            return UsageError(kDump, "expects one FILE");
        }
    }
    if (path.empty()) return UsageError(kDump, "expects one FILE");
    if (!CheckReadable(path)) return kExitInput;
    // Enough of the file for a text form's first fields.
    std::vector<uint8_t> head(64 * 1024);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    if (in.bad()) return InputError(path, std::strerror(errno));
    head.resize(static_cast<size_t>(in.gcount()));
    std::string textError;
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    if (textform::Sniff(text, in.eof(), &textError) == textform::TextKind::Invalid)
        return InputError(path, textError);
    std::string ext = LowerExtension(path);
    const Dumper* best = nullptr;
    int bestScore = 0;
    for (const CommandGroup* g : kGroups) {
        for (const Dumper& d : g->dumpers) {
            int score = d.matches(ext, head);
            if (score > bestScore) {
                best = &d;
                bestScore = score;
            }
        }
    }
    if (!best) return InputError(path, "not a kind of file dendra-cli can read");
    return best->dump(path);
}

} // namespace

bool DumpOption(const std::string& name) {
    return std::find(g_dumpOptions.begin(), g_dumpOptions.end(), name) != g_dumpOptions.end();
}

bool WantsHelp(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a == "--help" || a == "-h"; });
}

void PrintCommandHelp(const Command& command) {
    std::string help = command.help;
    size_t at = help.find("%KINDS%");
    if (at != std::string::npos) help.replace(at, 7, KnownKinds());
    std::printf("usage: dendra-cli %s %s\n\n%s", command.name, command.usage, help.c_str());
}

int UsageError(const Command& command, const std::string& text) {
    std::fprintf(stderr, "dendra-cli %s: %s\nusage: dendra-cli %s %s\n", command.name, text.c_str(),
                 command.name, command.usage);
    return kExitUsage;
}

int InputError(const std::string& path, const std::string& text) {
    std::fprintf(stderr, "dendra-cli: %s: %s\n", path.c_str(), text.c_str());
    return kExitInput;
}

bool ParseU32(const std::string& text, uint32_t& out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool CheckReadable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        InputError(path, std::strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        InputError(path, std::strerror(EISDIR));
        return false;
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        InputError(path, std::strerror(errno ? errno : EACCES));
        return false;
    }
    return true;
}

} // namespace cli

int main(int argc, char** argv) {
    RegisterBuiltinNodeTypes();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        cli::PrintUsage(stderr);
        return cli::kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        if (args[0] == "help" && args.size() > 1) {
            if (const cli::Command* c = cli::FindCommand(args[1])) {
                cli::PrintCommandHelp(*c);
                return cli::kExitOk;
            }
            std::fprintf(stderr, "dendra-cli: unknown command '%s'\n", args[1].c_str());
            return cli::kExitUsage;
        }
        cli::PrintUsage(stdout);
        return cli::kExitOk;
    }
    const cli::Command* command = cli::FindCommand(args[0]);
    // The program's own command line ("/play /quit song.sng"); a command's name comes first.
    const bool startup = !command && cli::IsStartupCommandLine(args);
    if (!command && !startup) {
        const bool option = args[0][0] == '/' || args[0][0] == '-';
        std::fprintf(stderr, "dendra-cli: unknown %s '%s'\n",
                     option ? "option (options are case-sensitive)" : "command", args[0].c_str());
        cli::PrintUsage(stderr);
        return cli::kExitUsage;
    }
    // Messages the documents show go to standard error (the default sink).
    platform::SetMessages(nullptr);
    // Stored wave events read their sounds through the sound-file layer.
    sound::InstallWaveSoundFactory();
    // A command stopped by Ctrl-C or SIGTERM leaves no temporary output behind (the start-up
    // command line stops cleanly instead, with handlers of its own).
    platform::RemoveTemporariesWhenStopped();
    int status;
    if (startup) {
        status = cli::RunStartup(args);
    } else {
        args.erase(args.begin());
        status = cli::TakeLexiconOption(*command, args);
        if (status == cli::kExitOk) status = cli::ApplyRunOptions(command->name, args);
        if (status < 0) status = command->run(args);
    }
    // Only the temporary files this run created are removed.
    platform::DeleteTempFiles();
    return status;
}
