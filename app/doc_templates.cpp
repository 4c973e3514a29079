#include "app/doc_templates.h"

#include "documents/channel_document.h"
#include "documents/collection.h"
#include "documents/event_list_document.h"
#include "documents/midi_document.h"
#include "documents/text_form.h"
#include "documents/tree_document.h"
#include "documents/wave_document.h"
#include "song/song_document.h"

#include <cctype>

namespace app {

namespace {
template <class Doc> std::unique_ptr<CAmpDoc> Make() {
    return std::make_unique<Doc>();
}

std::vector<DocTemplate>& Table() {
    // In the order the templates are registered. One line per kind of document.
    static std::vector<DocTemplate> table = {
        {3,
         kDocKindDendra,
         "\nDendra\nDendra\nDendras (*.dra)\n.dra\nQUAV.Dendra\nQUAV Dendra",
         {".dra"},
         &Make<CDendraDoc>},
        {4,
         kDocKindSong,
         "\nSong\nSong\nSongs (*.sng)\n.sng\nQUAV.Song\nQUAV Song",
         {".sng"},
         &Make<CSongDoc>},
        {6,
         kDocKindWave,
         "\nWave\nWave\nWaves (*.wav)\n.wav\nQUAV.Wave\nQUAV Wave",
         {".wav", ".aif", ".aiff", ".au", ".snd", ".tmp"},
         &Make<CWaveDoc>},
        {5,
         kDocKindMidi,
         "\nMidi\nMidi\nMidis (*.mid)\n.mid\nQUAV.Midi\nQUAV Midi",
         {".mid", ".midi"},
         &Make<CMidiDoc>},
        {8, kDocKindCollection, "\nFILELIST\n\n\n", {".col"}, &Make<CFileListDoc>},
        {10, kDocKindWordList, "\nWord\n\n\n", {".sel"}, &Make<CSELDoc>},
    };
    return table;
}
} // namespace

const std::vector<DocTemplate>& DocTemplates() {
    return Table();
}

void RegisterDocTemplate(DocTemplate t) {
    Table().push_back(std::move(t));
}

std::string ExtensionOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

const DocTemplate* TemplateForExtension(const std::string& extension) {
    for (const DocTemplate& t : Table())
        for (const std::string& e : t.extensions)
            if (e == extension) return &t;
    return nullptr;
}

const DocTemplate* TemplateForFile(const std::string& path, std::string* textError) {
    std::string error;
    switch (textform::SniffFile(path, &error)) {
    case textform::TextKind::Tree:
        return TemplateForKind(kDocKindDendra);
    case textform::TextKind::Song:
        return TemplateForKind(kDocKindSong);
    case textform::TextKind::Invalid:
        if (textError) *textError = error;
        return nullptr;
    default:
        return TemplateForExtension(ExtensionOf(path));
    }
}

const DocTemplate* TemplateForKind(uint32_t kind) {
    for (const DocTemplate& t : Table())
        if (t.kind == kind) return &t;
    return nullptr;
}

} // namespace app
