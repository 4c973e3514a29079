// Songs and collections on the command line: `dump` of songs (.sng files or their text form)
// and .col files, and the song case of `export-midi`.
#include "cli/commands.h"
#include "cli/json.h"

#include "documents/collection.h"
#include "song/song_document.h"
#include "song/song_export.h"
#include "song/song_text.h"

#include <cstdio>

namespace cli {

namespace {

int MatchSong(const std::string& extension, const std::vector<uint8_t>& head) {
    if (head.size() >= 8) {
        uint32_t magic = head[4] | head[5] << 8 | head[6] << 16 | uint32_t(head[7]) << 24;
        if (magic == kSongMagic) return 2;
    }
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    if (textform::Sniff(text, false) == textform::TextKind::Song) return 2;
    return extension == ".sng" ? 1 : 0;
}

int MatchCollection(const std::string& extension, const std::vector<uint8_t>&) {
    return extension == ".col" ? 1 : 0;
}

int DumpSong(const std::string& path) {
    CSongDoc song;
    if (!song.OnOpenDocument(path)) return kExitInput;
    PrintJson(SongJson(song));
    return kExitOk;
}

int DumpCollection(const std::string& path) {
    CFileListDoc doc;
    if (!doc.OnOpenDocument(path)) return kExitInput;
    TextJson json = TextJson::object();
    json["kind"] = "collection";
    json["text1"] = textform::String(doc.Text1());
    json["sorted"] = doc.Paths().sorted;
    json["chance"] = textform::Float(doc.Paths().chance);
    TextJson paths = TextJson::array();
    for (size_t i = 0; i < doc.Paths().Count(); ++i)
        paths.push_back(textform::String(doc.Paths().Path(i)));
    json["paths"] = std::move(paths);
    json["text2"] = textform::String(doc.Text2());
    PrintJson(json);
    return kExitOk;
}

const Dumper kDumpers[] = {
    {"song (.sng, or its text form)", MatchSong, DumpSong},
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
