// MIDI files on the command line: `dump` of a .mid file, and `export-midi`.
#include "cli/commands.h"
#include "cli/event_json.h"
#include "cli/json.h"

#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "documents/midi_export.h"
#include "documents/tree_document.h"
#include "platform/byte_cursor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace cli {

namespace {

bool HasMidiHeader(const std::vector<uint8_t>& head) {
    return head.size() >= 4 && std::memcmp(head.data(), "MThd", 4) == 0;
}

bool HasTreeHeader(const std::vector<uint8_t>& head) {
    platform::ByteReader r(head);
    const uint32_t version = r.Le32();
    const uint32_t magic = r.Le32();
    return !r.Failed() && version > 3 && magic == kDendraMagic;
}

std::string Extension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

std::vector<uint8_t> Head(const std::string& path) {
    std::vector<uint8_t> head(16);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
}

int MatchMidi(const std::string& extension, const std::vector<uint8_t>& head) {
    if (HasMidiHeader(head)) return 2;
    return extension == ".mid" || extension == ".midi" ? 1 : 0;
}

int DumpMidi(const std::string& path) {
    CMidiDoc doc;
    if (!CheckReadable(path)) return kExitInput;
    if (!doc.OnOpenDocument(path)) return kExitInput;
    JsonWriter json;
    json.BeginObject();
    json.Key("kind").String("midi");
    json.Key("format").Int(doc.FileFormat());
    json.Key("division").UInt(doc.GetTicksPerBeat(kUnitsPerBeat));
    json.Key("tracks").BeginArray();
    for (int ch = 1; ch <= doc.GetChannelCount(); ++ch) {
        ChannelMixRecord props;
        doc.ReadTrackProperties(ch, props);
        json.BeginObject();
        json.Key("name").String(props.name);
        json.Key("channel").Int(props.channel);
        json.Key("program").Int(props.program);
        json.Key("volume").Float(props.volume);
        json.Key("pan").Float(props.pan);
        json.Key("events");
        WriteEvents(json, *doc.GetChannelEvents(ch));
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

int RunExport(const std::vector<std::string>& args);

const Command kCommands[] = {
    {"export-midi", "INPUT -o OUT.mid [--format0] [--tempo BPM]",
     "write a tree's solution, an event list, a song or a MIDI file as a Standard MIDI File",
     "INPUT is a tree (.dra: its solution, solved first when it has none), an event list\n"
     "(.sel, .wrd: one track), a song (.sng) or a\n"
     "MIDI file. A tree gives one track (format 0); a song a tempo track and one track per\n"
     "entry (format 1); a MIDI file keeps its tracks (format 1) unless it has only one.\n\n"
     "  -o OUT.mid    the file to write (replaced only when the whole file was written)\n"
     "  --format0     write format 0: the first track only\n"
     "  --tempo BPM   the tempo put at the start of the first track when it begins with none\n"
     "                (default 60 beats per minute: one tree unit is one millisecond)\n",
     RunExport},
};

const Dumper kDumpers[] = {
    {"midi (.mid)", MatchMidi, DumpMidi},
};

int RunExport(const std::vector<std::string>& args) {
    const Command& self = kCommands[0];
    if (WantsHelp(args)) {
        PrintCommandHelp(self);
        return kExitOk;
    }
    std::string input, output;
    bool format0 = false;
    double tempo = CMidiDoc::kDefaultTempoBpm;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-o" || a == "--output") {
            if (i + 1 >= args.size()) return UsageError(self, a + " needs a file");
            output = args[++i];
        } else if (a == "--format0") {
            format0 = true;
        } else if (a == "--tempo" || a.rfind("--tempo=", 0) == 0) {
            std::string v;
            if (a == "--tempo") {
                if (i + 1 >= args.size()) return UsageError(self, "--tempo needs a number");
                v = args[++i];
            } else {
                v = a.substr(8);
            }
            char* end = nullptr;
            tempo = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(tempo >= 1.0 && tempo <= 60000.0))
                return UsageError(self, "--tempo takes 1 to 60000 beats per minute");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(self, "unknown option " + a);
        } else if (input.empty()) {
            input = a;
        } else {
            return UsageError(self, "expects one INPUT");
        }
    }
    if (input.empty()) return UsageError(self, "expects one INPUT");
    if (output.empty()) return UsageError(self, "expects -o OUT.mid");
    if (!CheckReadable(input)) return kExitInput;

    std::vector<uint8_t> head = Head(input);
    std::string ext = Extension(input);
    if (HasMidiHeader(head) || (!HasTreeHeader(head) && (ext == ".mid" || ext == ".midi"))) {
        CMidiDoc doc;
        if (!doc.OnOpenDocument(input)) return kExitInput;
        if (format0) doc.SetExportFormat(0);
        doc.SetExportTempo(tempo);
        return doc.OnSaveDocument(output) ? kExitOk : kExitInput;
    }
    if (HasTreeHeader(head) || ext == ".dra") {
        CDendraDoc doc;
        if (!doc.OnOpenDocument(input)) return kExitInput;
        doc.GetEvents(1); // solved again when the tree changed
        return ExportChannelAsMidi(doc, 1, output, format0, tempo) ? kExitOk : kExitInput;
    }
    if (IsSongInput(ext, head)) return ExportSongFile(input, output, format0, tempo);
    if (ext == ".sel" || ext == ".wrd") {
        CSELDoc doc;
        if (!doc.OnOpenDocument(input)) return kExitInput;
        return ExportChannelAsMidi(doc, 1, output, format0, tempo) ? kExitOk : kExitInput;
    }
    return InputError(input, "not a tree, an event list, a song or a MIDI file");
}

} // namespace

extern const CommandGroup kMidiCommands = {"midi", kCommands, kDumpers};

} // namespace cli
