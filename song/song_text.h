// The text form of songs (documents/text_form.h says what every text form shares):
//
//   {"kind":"song","version":5,"description":"...","header":SETTINGS,
//    "entries":[{"settings":SETTINGS,"recordMode":0,"contained":false,"document":null},...]}
//   SETTINGS: {"name":S,"path":S,"device":102,"midiVolume":0.9,"volume":0.9,"balance":0.5,
//              "muted":0,"word1":1,"transpose":0,"channel":0,"word2":1000,"program":0,
//              "rate":1,"loop":0,"startOffset":0,"loopLength":100000000}
//
// A contained entry's "document" is the text form of its tree (documents/tree_text.h) or event
// list; a referenced entry's document is named by its settings' "path" and opened as reading
// the song file opens it (a relative path beside the song's own file).
//
// Written by hand, every field may be left out: "description" "", "header" and each entry's
// settings the defaults of a new entry, "recordMode" 0; "document" may also be a path (the
// entry's "path"), and an object there is a contained document ("contained" follows it). An
// entry whose document is opened takes the document's name, MIDI level, balance, channel and
// program for the fields its settings leave out, as including the document does. Refused,
// naming the entry and field ("entries[2].settings: \"rate\" ..."): unknown fields, values of
// the wrong kind or outside their ranges (levels 0 to 10, balance 0 to 1, channel 0 to 15,
// program 0 to 127, rate 0.01 to 100, loop length at least 10, record mode 0 to 3), more than
// 40 entries, and whatever the text form of a contained document refuses.
//
// Used on the user-interface thread.
#pragma once

#include "documents/text_form.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CSongDoc;

// The whole song (what `dump` prints).
TextJson SongJson(CSongDoc& song);
// The text form as `convert` writes it: indented.
std::string SongText(CSongDoc& song);

// A song file made from a text form, with what its text left out.
struct SongTextFile {
    std::vector<uint8_t> bytes;
    // Per entry, the settings (kDerived... bits) the text left out.
    std::vector<uint8_t> leftOut;
};
constexpr uint8_t kDerivedName = 1;
constexpr uint8_t kDerivedMidiVolume = 2;
constexpr uint8_t kDerivedBalance = 4;
constexpr uint8_t kDerivedChannel = 8;
constexpr uint8_t kDerivedProgram = 16;

// The song file's bytes for a whole text; false with the message (a syntax error's line and
// column, or the entry and field) when it cannot be read.
bool SongTextToFile(std::string_view text, SongTextFile& out, std::string* error);
// After the song read those bytes: each entry with a document takes the document's values for
// the settings its text left out.
void ApplyLeftOutSettings(CSongDoc& song, const SongTextFile& file);
