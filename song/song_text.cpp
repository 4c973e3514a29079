#include "song/song_text.h"

#include "documents/event_list_document.h"
#include "documents/tree_document.h"
#include "documents/tree_text.h"
#include "events/archive.h"
#include "song/song_document.h"

#include <limits>

namespace {

using textform::Error;
using textform::ObjectReader;

constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();

TextJson SettingsJson(const EntrySettings& s) {
    TextJson j = TextJson::object();
    j["name"] = textform::String(s.name);
    j["path"] = textform::String(s.sourcePath);
    j["device"] = s.device;
    j["midiVolume"] = textform::Float(s.volume);
    j["volume"] = textform::Float(s.waveVolume);
    j["balance"] = textform::Float(s.pan);
    j["muted"] = s.muted;
    j["word1"] = s.word1;
    j["transpose"] = s.transpose;
    j["channel"] = s.channel;
    j["word2"] = s.word2;
    j["program"] = s.program;
    j["rate"] = textform::Float(s.rate);
    j["loop"] = s.loop;
    j["startOffset"] = s.startOffset;
    j["loopLength"] = s.loopLength;
    return j;
}

// A flag stored as a number: true and false are taken as 1 and 0.
int32_t Flag(ObjectReader& r, const char* key) {
    const TextJson* v = r.Object().contains(key) ? &r.Object()[key] : nullptr;
    if (v && v->is_boolean()) {
        r.Take(key);
        return v->get<bool>() ? 1 : 0;
    }
    return static_cast<int32_t>(r.Integer(key, 0, kI32Min, kI32Max));
}

// Reads settings; sets the kDerived... bits of the fields left out.
EntrySettings ReadSettings(const TextJson* value, const std::string& where, uint8_t& leftOut) {
    EntrySettings s;
    leftOut =
        kDerivedName | kDerivedMidiVolume | kDerivedBalance | kDerivedChannel | kDerivedProgram;
    if (!value) return s;
    ObjectReader r(*value, where);
    auto given = [&](const char* key, uint8_t bit) {
        if (r.Has(key)) leftOut = static_cast<uint8_t>(leftOut & ~bit);
    };
    given("name", kDerivedName);
    given("midiVolume", kDerivedMidiVolume);
    given("balance", kDerivedBalance);
    given("channel", kDerivedChannel);
    given("program", kDerivedProgram);
    s.name = r.Text("name", s.name);
    s.sourcePath = r.Text("path", s.sourcePath);
    s.device = static_cast<int32_t>(r.Integer("device", s.device, kI32Min, kI32Max));
    s.volume = r.Number("midiVolume", s.volume, 0.0f, kMaxEntryLevel);
    s.waveVolume = r.Number("volume", s.waveVolume, 0.0f, kMaxEntryLevel);
    s.pan = r.Number("balance", s.pan, 0.0f, 1.0f);
    s.muted = Flag(r, "muted");
    s.word1 = static_cast<int32_t>(r.Integer("word1", s.word1, kI32Min, kI32Max));
    s.transpose = static_cast<int32_t>(r.Integer("transpose", s.transpose, kI32Min, kI32Max));
    s.channel = static_cast<int>(r.Integer("channel", s.channel, 0, 15));
    s.word2 = static_cast<int32_t>(r.Integer("word2", s.word2, kI32Min, kI32Max));
    s.program = static_cast<int>(r.Integer("program", s.program, 0, 127));
    s.rate = r.Number("rate", s.rate, kMinEntryRate, kMaxEntryRate);
    s.loop = Flag(r, "loop");
    s.startOffset = r.U32("startOffset", s.startOffset);
    s.loopLength =
        static_cast<uint32_t>(r.Integer("loopLength", s.loopLength, kMinLoopLength, 0xFFFFFFFFll));
    r.Finish();
    return s;
}

// A contained document's kind, from its "kind" or its fields.
uint32_t ContainedKind(const TextJson& doc, const std::string& where) {
    const std::string text = textform::Compact(doc.contains("kind") ? doc["kind"] : TextJson());
    if (doc.contains("kind")) {
        if (doc["kind"] == "tree") return kDocKindDendra;
        if (doc["kind"] == "eventlist") return kDocKindWordList;
        throw Error(where + ": a song keeps a tree or an event list, not " + text);
    }
    if (doc.contains("events") || doc.contains("unitsPerBeat")) return kDocKindWordList;
    return kDocKindDendra;
}

struct EntryText {
    EntrySettings settings;
    int mode = kRecordOff;
    const TextJson* document = nullptr; // contained only
};

void WriteSongFile(const TextJson& song, CArchive& out, std::vector<uint8_t>& leftOut) {
    ObjectReader t(song, "");
    if (t.Has("kind") && t.Text("kind", "") != "song") t.Fail("kind", "must be \"song\" here");
    t.Integer("version", kSongFileVersion, 0, kSongFileVersion);
    const std::string description = t.Text("description", "");
    uint8_t headerLeftOut = 0;
    const EntrySettings header = ReadSettings(t.Take("header"), "header", headerLeftOut);
    std::vector<EntryText> entries;
    if (const TextJson* list = t.Take("entries")) {
        if (!list->is_array())
            t.Fail("entries", "takes an array of entries, not " + textform::KindOf(*list));
        if (list->size() > static_cast<size_t>(kMaxSongEntries))
            t.Fail("entries", "holds " + std::to_string(list->size()) +
                                  " entries; a song holds at most " +
                                  std::to_string(kMaxSongEntries));
        for (size_t i = 0; i < list->size(); ++i) {
            const std::string where = "entries[" + std::to_string(i) + "]";
            ObjectReader e((*list)[i], where);
            EntryText entry;
            entry.mode =
                static_cast<int>(e.Integer("recordMode", kRecordOff, kRecordOff, kRecordWave));
            const TextJson* doc = e.Take("document");
            uint8_t bits = 0;
            entry.settings = ReadSettings(e.Take("settings"), where + ".settings", bits);
            if (doc && doc->is_string()) {
                const std::string path = doc->get<std::string>();
                const TextJson* settings =
                    e.Object().contains("settings") ? &e.Object()["settings"] : nullptr;
                if (settings && settings->contains("path") && entry.settings.sourcePath != path)
                    e.Fail("document", "names " + textform::Shown(*doc) +
                                           " but \"settings\" names " +
                                           textform::Shown(TextJson(entry.settings.sourcePath)));
                entry.settings.sourcePath = path;
                doc = nullptr;
            } else if (doc && !doc->is_object() && !doc->is_null()) {
                e.Fail("document",
                       "takes a document, a path or null, not " + textform::KindOf(*doc));
            }
            const bool hasDocument = doc && doc->is_object();
            const bool contained = e.Bool("contained", hasDocument);
            if (hasDocument && !contained)
                e.Fail("contained", "is false, but the entry gives the document it keeps");
            if (hasDocument) entry.document = doc;
            e.Finish();
            leftOut.push_back(hasDocument ? 0 : bits);
            entries.push_back(std::move(entry));
        }
    }
    t.Finish();

    out.WriteU32(kSongFileVersion);
    out.WriteU32(kSongMagic);
    WriteEntrySettings(out, header);
    out.WriteString(description);
    out.WriteU16(static_cast<uint16_t>(entries.size()));
    for (const EntryText& e : entries) out.WriteU16(static_cast<uint16_t>(e.mode));
    for (size_t i = 0; i < entries.size(); ++i) {
        const EntryText& e = entries[i];
        WriteEntrySettings(out, e.settings);
        out.WriteU16(e.document ? 1 : 0);
        if (!e.document) continue;
        const std::string where = "entries[" + std::to_string(i) + "].document";
        const uint32_t kind = ContainedKind(*e.document, where);
        out.WriteU32(kind);
        if (kind == kDocKindDendra)
            WriteTreeFile(*e.document, where, out);
        else
            textform::WriteEventList(*e.document, where, out);
    }
}

} // namespace

TextJson SongJson(CSongDoc& song) {
    TextJson j = TextJson::object();
    j["kind"] = "song";
    j["version"] = song.FileVersionRead();
    j["description"] = textform::String(song.Description());
    j["header"] = SettingsJson(song.HeaderSettings());
    TextJson entries = TextJson::array();
    for (int i = 0; i < song.EntryCount(); ++i) {
        SongEntry& e = song.Entry(i);
        TextJson entry = TextJson::object();
        entry["settings"] = SettingsJson(e.settings);
        entry["recordMode"] = e.recordMode;
        entry["contained"] = e.contained;
        TextJson& doc = entry["document"];
        if (e.contained && e.document) {
            if (e.document->GetDocKind() == kDocKindDendra) {
                doc = TreeJson(static_cast<CDendraDoc&>(*e.document));
            } else if (e.document->GetDocKind() == kDocKindWordList) {
                doc = textform::EventListJson(static_cast<CSELDoc&>(*e.document));
            } else {
                // Any other kept document is stored as an event list of the entry's channel.
                doc = TextJson::object();
                doc["kind"] = "eventlist";
                doc["unitsPerBeat"] = e.document->GetTicksPerBeat(kUnitsPerBeat);
                CEventTree empty;
                CEventTree* store = song.EntryEvents(i);
                textform::PutEvents(doc, "events", "length", store ? *store : empty);
            }
        }
        entries.push_back(std::move(entry));
    }
    j["entries"] = std::move(entries);
    return j;
}

std::string SongText(CSongDoc& song) {
    return textform::Indented(SongJson(song));
}

bool SongTextToFile(std::string_view text, SongTextFile& out, std::string* error) {
    TextJson json;
    if (!textform::Parse(text, json, error)) return false;
    try {
        CArchive file;
        out.leftOut.clear();
        WriteSongFile(json, file, out.leftOut);
        out.bytes = file.Buffer();
        return true;
    } catch (const textform::Error& e) {
        if (error) *error = e.what();
        return false;
    }
}

void ApplyLeftOutSettings(CSongDoc& song, const SongTextFile& file) {
    for (int i = 0; i < song.EntryCount() && static_cast<size_t>(i) < file.leftOut.size(); ++i) {
        SongEntry& e = song.Entry(i);
        const uint8_t bits = file.leftOut[static_cast<size_t>(i)];
        if (!bits || !e.document || e.contained) continue;
        const EntrySettings derived = IncludedSettings(*e.document, e.channel);
        EntrySettings& s = e.settings;
        if (bits & kDerivedName) s.name = derived.name;
        if (bits & kDerivedMidiVolume) s.volume = derived.volume;
        if (bits & kDerivedBalance) s.pan = derived.pan;
        if (bits & kDerivedChannel) s.channel = derived.channel;
        if (bits & kDerivedProgram) s.program = derived.program;
    }
}
