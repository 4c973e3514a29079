// The command table of dendra-cli.
//
// Each command group lives in a file of its own (cmd_tree.cpp: trees) and defines one
// CommandGroup: its commands, and the dumpers through which the generic `dump` command prints
// the kinds of file the group knows. A new group is one new file, its declaration below and one
// line in the table in main.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

class CSongDoc;
class ProtoType;

namespace cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1; // the command line is wrong
constexpr int kExitInput = 2; // an input cannot be read

struct Command {
    const char* name;
    const char* usage;   // the arguments after the name, e.g. "FILE.dra [--seed N]"
    const char* summary; // one line for the command list
    const char* help;    // the rest of the command's --help text
    // Runs with the arguments after the command's name; returns the exit status.
    int (*run)(const std::vector<std::string>& args);
};

// How `dump` prints one kind of file.
struct Dumper {
    const char* kind; // e.g. "tree"
    // How well this dumper fits the file: 0 not at all, 1 by extension, 2 by content.
    // extension is lower case with its dot (".dra"); head holds the file's first bytes.
    int (*matches)(const std::string& extension, const std::vector<uint8_t>& head);
    // Prints the file as JSON on standard output; returns the exit status.
    int (*dump)(const std::string& path);
};

struct CommandGroup {
    const char* name;
    std::span<const Command> commands;
    std::span<const Dumper> dumpers;
};

// The groups (one file each).
extern const CommandGroup kTreeCommands;    // cmd_tree.cpp
extern const CommandGroup kSoundCommands;   // cmd_sound.cpp
extern const CommandGroup kMidiCommands;    // cmd_midi.cpp
extern const CommandGroup kSelCommands;     // cmd_sel.cpp
extern const CommandGroup kSongCommands;    // cmd_song.cpp
extern const CommandGroup kAppCommands;     // cmd_app.cpp
extern const CommandGroup kRenderCommands;  // cmd_render.cpp
extern const CommandGroup kTypesCommands;   // cmd_types.cpp
extern const CommandGroup kCompileCommands; // cmd_compile.cpp

// The options any command takes for one run, taken out of args before the command sees them
// (cmd_compile.cpp): --library PATH (repeatable, at most six) loads effect libraries, --lexicon
// DIR (solve, render, compile and dump) sets the lexicon folder. Also builds the node registry
// with the wave types and installs the wave nodes' sound files. Returns -1 to go on, else the
// exit status (the error was reported).
int ApplyRunOptions(const std::string& command, std::vector<std::string>& args);

// What a wave or Library node holds beyond its parameter table, as further keys of its `dump`
// object (cmd_compile.cpp): an envelope's "points", a compiler's "wave" format and length, a
// Library node's "library", "effect", "loaded" and its own bytes as "bytes" (hex).

// The program's own command line, run headless (cmd_startup.cpp): "[/play] [/quit] [/save]
// [FILE]". It is recognised by its first argument: a known option with "/" or "-", or an
// existing file that is no command's name.
bool IsStartupCommandLine(const std::vector<std::string>& args);
int RunStartup(const std::vector<std::string>& args);
// The start-up form's line of the usage text.
void PrintStartupUsage(std::FILE* to);

// What `play` asks of the headless program: the MIDI and audio outputs to open first ("" for the
// settings' own), and the song to play until its end. A running instance is handed
// "/play /quit FILE" instead, so the file plays there.
struct HeadlessPlay {
    std::string midiOut;
    std::string audioOut;
    std::string file;
    CSongDoc* song = nullptr;
};
int RunHeadlessPlay(const HeadlessPlay& play);

// Helpers shared by the command files.

// True when args holds --help or -h (the command then prints its help and ends with 0).
bool WantsHelp(const std::vector<std::string>& args);
// Prints a command's help on standard output.
void PrintCommandHelp(const Command& command);
// Reports a usage error for a command on standard error; returns kExitUsage.
int UsageError(const Command& command, const std::string& text);
// Reports an input that cannot be read on standard error; returns kExitInput.
int InputError(const std::string& path, const std::string& text);
// True when `dump` was given this option after its FILE (e.g. "--samples" for sound files).
bool DumpOption(const std::string& name);
// Parses a whole unsigned 32-bit decimal number.
bool ParseU32(const std::string& text, uint32_t& out);
// For the commands that solve trees (solve, render, compile, dump): takes "--lexicon DIR" (or
// "--lexicon=DIR") out of args and sets the set nodes' lexicon folder for the run to DIR, or to
// the "Lexicon" setting without it. Returns kExitOk, or the status of the error it reported (no
// folder given, or DIR is not a folder).
int TakeLexiconOption(const Command& command, std::vector<std::string>& args);
// Checks that path names a readable regular file; on failure reports it (the system's text)
// and returns false.
bool CheckReadable(const std::string& path);

// The song case of export-midi (cmd_song.cpp): whether the input is a song file by its
// contents or extension, and its export as one track per entry.
bool IsSongInput(const std::string& extension, const std::vector<uint8_t>& head);
int ExportSongFile(const std::string& input, const std::string& output, bool format0,
                   double tempoBpm);

} // namespace cli
