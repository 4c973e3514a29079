// --lexicon DIR: the folder in which the set nodes of the trees a command solves find their
// words, for that run. Without it the program's "Lexicon" setting holds.
#include "cli/commands.h"

#include "app/settings.h"
#include "documents/lexicon.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace cli {

namespace {

// The commands that solve trees.
bool SolvesTrees(const Command& command) {
    for (const char* name : {"solve", "render", "compile", "dump"}) {
        if (std::strcmp(command.name, name) == 0) return true;
    }
    return false;
}

} // namespace

int TakeLexiconOption(const Command& command, std::vector<std::string>& args) {
    if (!SolvesTrees(command) || WantsHelp(args)) return kExitOk;
    std::string folder;
    bool given = false;
    for (size_t i = 0; i < args.size();) {
        const std::string& a = args[i];
        if (a == "--lexicon") {
            if (i + 1 >= args.size()) return UsageError(command, "--lexicon needs a folder");
            folder = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            given = true;
        } else if (a.rfind("--lexicon=", 0) == 0) {
            folder = a.substr(10);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
            given = true;
        } else {
            ++i;
        }
    }
    if (!given) {
        // The setting as the program reads it; an unreadable settings file leaves the default.
        app::CSettings settings;
        settings.Load();
        UseLexiconFolder(app::ReadAppSettings(settings).lexicon);
        return kExitOk;
    }
    if (folder.empty()) return UsageError(command, "--lexicon needs a folder");
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return InputError(folder, "not a folder");
    if (folder.back() != '/') folder += '/';
    UseLexiconFolder(folder);
    return kExitOk;
}

} // namespace cli
