// The text form of documents: the JSON that `dendra-cli dump` prints, which a person can also
// write by hand, diff and keep under version control. This file holds what every kind shares:
// the JSON value, printing, parsing with the line and column of a syntax error, telling a text
// form apart by its content, checked field readers, events and event lists. Trees are in
// documents/tree_text.h, songs in song/song_text.h.
//
// Reading never builds a document directly: a reader turns the text into the bytes of the
// document's own file, which the document's file reader then reads. So a text form means
// exactly what the file means (the same holds, resolutions and checks), a failed read changes
// nothing, and a document read from text writes the bytes of the file it came from.
//
// Events, one object each (every field may be left out; defaults in brackets):
//   {"time":T,"kind":"midi","status":S,"data1":A,"data2":B,"data3":C,"duration":D}
//        [time 0, kind "midi", status 144, data1 60, data2 70, data3 0, duration 50]
//   {"time":T,"kind":"value","value":V}                          [value 0; files keep no time]
//   {"time":T,"kind":"wave","name":S,"duration":D,"bytesPerSample":B,"loop":L,"options":O,
//    "flags":F}   (bytesPerSample, loop, options and flags written only when not the default)
//   {"time":T,"kind":"block","count":N,"bytes":"hex"}
// An event store is an array of them in time order; its cached length travels beside it (as
// "...Length") only when it is not the end of its last event.
//
// Numbers: integers as written; floats in the shortest text that reads back as the same float,
// whole floats as integers, and NaN and the infinities as the strings "NaN", "Infinity" and
// "-Infinity". Text: UTF-8; bytes of a name that are not valid UTF-8 are taken as Latin-1 (the
// encoding older files used).
//
// Used on the user-interface thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

class CArchive;
class CEventTree;
class CSELDoc;
class SongEvent;

// Objects keep their keys in the order they were written; floats are 32-bit, as every number a
// document stores is an integer or a float.
using TextJson = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                      std::int64_t, std::uint64_t, float>;

namespace textform {

// ---- writing ----------------------------------------------------------------------------------

TextJson String(std::string_view bytes);
TextJson Float(float v);
// One line without spaces (what `dump` prints).
std::string Compact(const TextJson& value);
// Two spaces an indent; an object or array that holds no object or array stays on one line
// (so each event and each parameter list is one line). Ends with a newline.
std::string Indented(const TextJson& value);

// ---- reading ----------------------------------------------------------------------------------

// A text form that cannot be read: the message names where ("Root/L (Every)", "entries[2]")
// and what.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses a whole text; false with "line L, column C: what went wrong" on a syntax error.
bool Parse(std::string_view text, TextJson& out, std::string* error);

// The kinds of text form.
enum class TextKind {
    NotText,   // does not begin as a JSON object
    Tree,      // "kind":"tree", or a tree's fields ("root", "solution", "comments", ...)
    Song,      // "kind":"song", or a song's fields ("entries", "header", "description")
    EventList, // "kind":"eventlist", or "events" / "unitsPerBeat"
    Unknown,   // an object of another or no kind
    Invalid,   // a syntax error before the kind was clear (error says where)
};
// What the bytes hold, from their first fields. `complete` says the bytes are the whole file (a
// syntax error in a part of a file may be where the part was cut).
TextKind Sniff(std::string_view bytes, bool complete, std::string* error = nullptr);
// The same for a file (its first 64 KiB); NotText when it cannot be read.
TextKind SniffFile(const std::string& path, std::string* error = nullptr);
// Whether the bytes begin as a JSON object (after a byte-order mark and white space).
bool BeginsAsText(std::string_view bytes);
// Whether a loading archive holds a text form from its position on, and that text.
bool HoldsText(const CArchive& ar);
std::string_view RemainingText(const CArchive& ar);
// Whether a path names a text form file (".json", any case).
bool IsTextPath(const std::string& path);

// A JSON object read field by field. Each read checks the field's kind and range and marks it
// as taken; Finish refuses the fields nobody took. Failures throw Error, prefixed with where.
class ObjectReader {
public:
    // Throws when value is not an object.
    ObjectReader(const TextJson& value, std::string where);

    const std::string& Where() const { return where_; }
    void SetWhere(std::string where) { where_ = std::move(where); }
    const TextJson& Object() const { return object_; }
    // The field, marked as taken; null when absent.
    const TextJson* Take(std::string_view key);
    bool Has(std::string_view key) const { return object_.contains(key); }

    int64_t Integer(std::string_view key, int64_t def, int64_t min, int64_t max);
    uint32_t U32(std::string_view key, uint32_t def) { return Integer(key, def, 0, 0xFFFFFFFFll); }
    float Number(std::string_view key, float def, float min, float max);
    bool Bool(std::string_view key, bool def);
    std::string Text(std::string_view key, const std::string& def);
    // Refuses every field not taken.
    void Finish() const;
    [[noreturn]] void Fail(std::string_view key, const std::string& what) const;

private:
    const TextJson& object_;
    std::string where_;
    std::vector<std::string_view> taken_;
};

// The number a JSON value holds (integers, floats and the non-finite strings); false for
// anything else.
bool NumberOf(const TextJson& value, double& out);
// "a string", "an array", ... for messages.
std::string KindOf(const TextJson& value);
// The value as a short text for messages.
std::string Shown(const TextJson& value);

// ---- events and event lists -------------------------------------------------------------------

TextJson EventJson(const SongEvent& event, uint32_t time);
// Every event of the store, in time order.
TextJson EventsJson(CEventTree& events);
// Adds the store's events at `eventsKey`, and its cached length at `lengthKey` when it is not
// the end of its last event.
void PutEvents(TextJson& object, const char* eventsKey, const char* lengthKey, CEventTree& events);
// Appends the stored form of an event store (CEventTree::Serialize) from the array at
// `eventsKey` and the length at `lengthKey` of an object being read.
void WriteEvents(ObjectReader& object, const char* eventsKey, const char* lengthKey, CArchive& out);

// {"kind":"eventlist","unitsPerBeat":U,"events":[...]} (+ "length")
TextJson EventListJson(CSELDoc& doc);
// Appends the event-list file's bytes for such an object (where names it in messages).
void WriteEventList(const TextJson& value, const std::string& where, CArchive& out);

} // namespace textform
