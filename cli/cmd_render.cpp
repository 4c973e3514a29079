// render: plays a song (or any document a song can include) offline into a WAV file.
#include "cli/commands.h"
#include "song/offline_render.h"
#include "song/song_document.h"
#include "tree/random.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace cli {

namespace {

int RunRender(const std::vector<std::string>& args);
int RunPlay(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"render",
     "INPUT -o OUT.wav [--soundfont SF] [--sample-rate HZ] [--seed N] [--tempo BPM] [--from BEAT] "
     "[--to BEAT] [--lexicon DIR]",
     "render a song, tree, MIDI file, event list or sound to a WAV file",
     "Plays INPUT offline through the built-in synthesizer and the mixer and writes the sound as\n"
     "16-bit stereo WAV. A document that is not a song is played as a song of that one document.\n"
     "Every entry's level, balance and program are sent first, as when playing.\n"
     "The render ends when the song has ended and its sound has died away (at most 10 s later).\n"
     "Progress is shown on standard error.\n\n"
     "  -o OUT.wav         the file to write (replaced only when the render succeeds)\n"
     "  --soundfont SF     the General MIDI soundfont (default: the setting, then the system's)\n"
     "  --sample-rate HZ   8000 to 192000 (default 44100)\n"
     "  --seed N           set the random generator to N before trees are solved (repeatable)\n"
     "  --tempo BPM        the starting tempo, 30 to 960 (default 60; tempo events change it)\n"
     "  --from BEAT        start at this beat (default 0), as that part of the whole song\n"
     "                     sounds: with the tempo, programs, controllers and bends set before\n"
     "                     it, and sounds already playing resumed partway\n"
     "  --to BEAT          stop at this beat, silencing what still sounds (default: the end)\n"
     "  --lexicon DIR      the folder the set nodes find their words in (default: the setting)\n",
     RunRender},
    {"play", "INPUT [--midi-out NAME] [--audio-out NAME]",
     "play a song, tree, MIDI file, event list or sound in real time",
     "Plays INPUT through the configured devices (the built-in synthesizer and the default audio\n"
     "output unless told) with the position on standard error, until the end or Ctrl-C. Ctrl-C\n"
     "stops cleanly: no note is left sounding. When another instance is running "
     "(Behavior/RunOnce)\n"
     "the file is handed to it and played there instead; a later start hands its file to this "
     "one.\n\n"
     "  --midi-out NAME    the MIDI output to open as the first one (see `devices`)\n"
     "  --audio-out NAME   the audio output to open\n",
     RunPlay},
};

bool ParseBeat(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && std::isfinite(out) && out >= 0.0;
}

int RunRender(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::string input, output;
    RenderOptions options;
    bool seeded = false;
    uint32_t seed = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto take = [&](const char* name, std::string& out) {
            const std::string option = name;
            if (a == option) {
                if (i + 1 >= args.size()) return false;
                out = args[++i];
                return true;
            }
            out = a.substr(option.size() + 1);
            return true;
        };
        auto is = [&](const char* name) {
            const std::string option = name;
            return a == option || a.rfind(option + "=", 0) == 0;
        };
        std::string v;
        if (is("-o") || is("--output")) {
            if (!take(a.rfind("--output", 0) == 0 ? "--output" : "-o", v) || v.empty())
                return UsageError(self, "-o needs a file name");
            output = v;
        } else if (is("--soundfont")) {
            if (!take("--soundfont", v) || v.empty())
                return UsageError(self, "--soundfont needs a file");
            options.soundFont = v;
        } else if (is("--sample-rate")) {
            uint32_t hz = 0;
            if (!take("--sample-rate", v) || !ParseU32(v, hz) || hz < 8000 || hz > 192000)
                return UsageError(self, "--sample-rate takes 8000 to 192000");
            options.sampleRate = hz;
        } else if (is("--seed")) {
            if (!take("--seed", v) || !ParseU32(v, seed))
                return UsageError(self, "--seed takes 0 to 4294967295");
            seeded = true;
        } else if (is("--tempo")) {
            double bpm = 0;
            if (!take("--tempo", v) || !ParseBeat(v, bpm) || bpm < 30.0 || bpm > 960.0)
                return UsageError(self, "--tempo takes 30 to 960 beats per minute");
            options.tempoBpm = bpm;
        } else if (is("--from")) {
            if (!take("--from", v) || !ParseBeat(v, options.fromBeat) || options.fromBeat >= 1e6)
                return UsageError(self, "--from takes a beat, 0 or more");
        } else if (is("--to")) {
            if (!take("--to", v) || !ParseBeat(v, options.toBeat) || options.toBeat >= 1e6)
                return UsageError(self, "--to takes a beat, 0 or more");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else if (input.empty()) {
            input = a;
        } else {
            return UsageError(self, "expects one INPUT");
        }
    }
    if (input.empty()) return UsageError(self, "expects one INPUT");
    if (output.empty()) return UsageError(self, "needs -o OUT.wav");
    if (options.toBeat >= 0.0 && options.toBeat <= options.fromBeat)
        return UsageError(self, "--to must lie after --from");
    if (!CheckReadable(input)) return kExitInput;

    if (seeded) SeedRandom(seed);
    std::string error;
    std::unique_ptr<CSongDoc> song = OpenRenderInput(input, &error);
    if (!song) return InputError(input, error);
    if (seeded) SeedRandom(seed);

    int lastPercent = -1;
    options.progress = [&](double done) {
        int percent = int(done * 100.0);
        if (percent == lastPercent) return;
        lastPercent = percent;
        std::fprintf(stderr, "\rrendering %s: %3d%%", input.c_str(), percent);
        if (percent >= 100) std::fprintf(stderr, "\n");
        std::fflush(stderr);
    };
    RenderResult result;
    if (!RenderSong(*song, output, options, &result, &error)) {
        if (lastPercent >= 0 && lastPercent < 100) std::fprintf(stderr, "\n");
        std::fprintf(stderr, "dendra-cli render: %s\n", error.c_str());
        return kExitInput;
    }
    std::fprintf(stderr, "wrote %s: %.2f s, %llu MIDI and %llu wave events, peak %.1f dBFS\n",
                 output.c_str(), double(result.frames) / options.sampleRate,
                 static_cast<unsigned long long>(result.midiEvents),
                 static_cast<unsigned long long>(result.waveEvents),
                 result.peak > 0.0f ? 20.0 * std::log10(double(result.peak)) : -999.0);
    return kExitOk;
}

int RunPlay(const std::vector<std::string>& args) {
    const Command& self = kCommands[1];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::string input, midiOut, audioOut;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--midi-out" || a == "--audio-out") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return UsageError(self, a + " needs a device name");
            (a == "--midi-out" ? midiOut : audioOut) = args[++i];
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else if (input.empty()) {
            input = a;
        } else {
            return UsageError(self, "expects one INPUT");
        }
    }
    if (input.empty()) return UsageError(self, "expects one INPUT");
    if (!CheckReadable(input)) return kExitInput;
    std::string error;
    std::unique_ptr<CSongDoc> song = OpenRenderInput(input, &error);
    if (!song) return InputError(input, error);

    HeadlessPlay play;
    play.midiOut = midiOut;
    play.audioOut = audioOut;
    std::error_code ec;
    play.file = std::filesystem::absolute(input, ec).lexically_normal().string();
    if (ec) play.file = input;
    play.song = song.get();
    return RunHeadlessPlay(play);
}

} // namespace

extern const CommandGroup kRenderCommands = {"render", kCommands, {}};

} // namespace cli
