// Songs and collections on the command line: `dump` of .sng and .col files, and the song case
// of `export-midi`.
#include "cli/commands.h"
#include "cli/doc_json.h"
#include "cli/json.h"

#include "documents/collection.h"
#include "documents/event_list_document.h"
#include "documents/tree_document.h"
#include "song/song_document.h"
#include "song/song_export.h"

#include <cstdio>

namespace cli {

namespace {

void WriteSettings(JsonWriter& json, const EntrySettings& s) {
    json.BeginObject();
    json.Key("name").String(s.name);
    json.Key("path").String(s.sourcePath);
    json.Key("device").Int(s.device);
    json.Key("midiVolume").Float(s.volume);
    json.Key("volume").Float(s.waveVolume);
    json.Key("balance").Float(s.pan);
    json.Key("muted").Int(s.muted);
    json.Key("word1").Int(s.word1);
    json.Key("transpose").Int(s.transpose);
    json.Key("channel").Int(s.channel);
    json.Key("word2").Int(s.word2);
    json.Key("program").Int(s.program);
    json.Key("rate").Float(s.rate);
    json.Key("loop").Int(s.loop);
    json.Key("startOffset").UInt(s.startOffset);
    json.Key("loopLength").UInt(s.loopLength);
    json.EndObject();
}

int MatchSong(const std::string& extension, const std::vector<uint8_t>& head) {
    if (head.size() >= 8) {
        uint32_t magic = head[4] | head[5] << 8 | head[6] << 16 | uint32_t(head[7]) << 24;
        if (magic == kSongMagic) return 2;
    }
    return extension == ".sng" ? 1 : 0;
}

int MatchCollection(const std::string& extension, const std::vector<uint8_t>&) {
    return extension == ".col" ? 1 : 0;
}

int DumpSong(const std::string& path) {
    CSongDoc song;
    if (!song.OnOpenDocument(path)) return kExitInput;
    JsonWriter json;
    json.BeginObject();
    json.Key("kind").String("song");
    json.Key("version").UInt(song.FileVersionRead());
    json.Key("description").String(song.Description());
    json.Key("header");
    WriteSettings(json, song.HeaderSettings());
    json.Key("entries").BeginArray();
    for (int i = 0; i < song.EntryCount(); ++i) {
        SongEntry& e = song.Entry(i);
        json.BeginObject();
        json.Key("settings");
        WriteSettings(json, e.settings);
        json.Key("recordMode").Int(e.recordMode);
        json.Key("contained").Bool(e.contained);
        json.Key("document");
        if (e.contained && e.document && e.document->GetDocKind() == kDocKindDendra)
            WriteTreeDocument(json, static_cast<CDendraDoc&>(*e.document));
        else if (e.contained && e.document && e.document->GetDocKind() == kDocKindWordList)
            WriteEventListDocument(json, static_cast<CSELDoc&>(*e.document));
        else
            json.Null();
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

int DumpCollection(const std::string& path) {
    CFileListDoc doc;
    if (!doc.OnOpenDocument(path)) return kExitInput;
    JsonWriter json;
    json.BeginObject();
    json.Key("kind").String("collection");
    json.Key("text1").String(doc.Text1());
    json.Key("sorted").Bool(doc.Paths().sorted);
    json.Key("chance").Float(doc.Paths().chance);
    json.Key("paths").BeginArray();
    for (size_t i = 0; i < doc.Paths().Count(); ++i) json.String(doc.Paths().Path(i));
    json.EndArray();
    json.Key("text2").String(doc.Text2());
    json.EndObject();
    std::printf("%s\n", json.Text().c_str());
    return kExitOk;
}

const Dumper kDumpers[] = {
    {"song (.sng)", MatchSong, DumpSong},
    {"collection (.col)", MatchCollection, DumpCollection},
};

} // namespace

bool IsSongInput(const std::string& extension, const std::vector<uint8_t>& head) {
    return MatchSong(extension, head) > 0;
}

int ExportSongFile(const std::string& input, const std::string& output, bool format0,
                   double tempoBpm) {
    if (format0) {
        std::fprintf(stderr, "dendra-cli export-midi: a song has one track per entry; "
                             "--format0 does not apply\n");
        return kExitUsage;
    }
    CSongDoc song;
    if (!song.OnOpenDocument(input)) return kExitInput;
    SongExportOptions options;
    options.tempoBpm = tempoBpm;
    return ExportSongAsMidi(song, output, options) ? kExitOk : kExitInput;
}

extern const CommandGroup kSongCommands = {"song", {}, kDumpers};

} // namespace cli
