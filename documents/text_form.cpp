#include "documents/text_form.h"

#include "documents/channel_document.h"
#include "documents/event_list_document.h"
#include "events/archive.h"
#include "events/event_tree.h"
#include "events/song_event.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <vector>

namespace textform {

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0 when there is none.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    const auto c1 = static_cast<unsigned char>(s[i + 1]);
    if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
    if (c == 0xED && c1 >= 0xA0) return 0; // surrogate
    if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
    if (c == 0xF4 && c1 >= 0x90) return 0; // beyond U+10FFFF
    return n;
}

std::string Utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (const size_t n = Utf8Length(s, i)) {
            out.append(s.substr(i, n));
            i += n - 1;
            continue;
        }
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

bool HoldsContainer(const TextJson& v) {
    for (const TextJson& e : v)
        if (e.is_structured()) return true;
    return false;
}

void Indent(const TextJson& v, int depth, std::string& out) {
    if (!v.is_structured() || v.empty() || !HoldsContainer(v)) {
        out += Compact(v);
        return;
    }
    const std::string inner(static_cast<size_t>(depth + 1) * 2, ' ');
    const bool object = v.is_object();
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        out += inner;
        if (object) {
            out += Compact(TextJson(it.key()));
            out += ": ";
        }
        Indent(*it, depth + 1, out);
    }
    out += '\n';
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += object ? '}' : ']';
}

// A message fit for a terminal: printable ASCII, at most 200 characters.
std::string Printable(std::string_view s) {
    std::string out;
    for (char ch : s.substr(0, 200)) {
        const auto c = static_cast<unsigned char>(ch);
        out += c >= 0x20 && c < 0x7F ? ch : '?';
    }
    return out;
}

std::string LineAndColumn(std::string_view text, size_t index) {
    index = std::min(index, text.size());
    size_t line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < index; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(index - lineStart + 1);
}

// The library's words after its own prefix and position.
std::string Reason(const std::string& what) {
    size_t at = what.find(", column ");
    if (at != std::string::npos) {
        at = what.find(": ", at);
        if (at != std::string::npos) return Printable(what.substr(at + 2));
    }
    at = what.find("] ");
    return Printable(at == std::string::npos ? what : what.substr(at + 2));
}

std::string NumberText(double v) {
    if (v == std::trunc(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<int64_t>(v));
    return Compact(TextJson(static_cast<float>(v)));
}

// Stops at the first field that tells the kind.
class SniffSax {
public:
    using number_integer_t = TextJson::number_integer_t;
    using number_unsigned_t = TextJson::number_unsigned_t;
    using number_float_t = TextJson::number_float_t;
    using string_t = TextJson::string_t;
    using binary_t = TextJson::binary_t;

    TextKind kind = TextKind::Unknown;
    bool decided = false;
    bool failed = false;
    size_t errorAt = 0;
    std::string error;

    bool null() { return Value(); }
    bool boolean(bool) { return Value(); }
    bool number_integer(number_integer_t) { return Value(); }
    bool number_unsigned(number_unsigned_t) { return Value(); }
    bool number_float(number_float_t, const string_t&) { return Value(); }
    bool binary(binary_t&) { return Value(); }
    bool string(string_t& s) {
        if (depth_ == 1 && kindNext_) {
            kind = s == "tree"        ? TextKind::Tree
                   : s == "song"      ? TextKind::Song
                   : s == "eventlist" ? TextKind::EventList
                                      : TextKind::Unknown;
            return Decide();
        }
        return Value();
    }
    bool start_object(std::size_t) {
        kindNext_ = false;
        ++depth_;
        return true;
    }
    bool start_array(std::size_t) {
        kindNext_ = false;
        if (depth_ == 0) return Decide(); // not an object
        ++depth_;
        return true;
    }
    bool end_object() {
        --depth_;
        if (depth_ == 0) return Decide(); // no field told the kind
        return true;
    }
    bool end_array() {
        --depth_;
        return true;
    }
    bool key(string_t& k) {
        if (depth_ != 1) return true;
        if (k == "kind") {
            kindNext_ = true;
            return true;
        }
        static const char* const kTree[] = {"root",     "solution",      "solutionLength",
                                            "comments", "saveGenerated", "solvable"};
        static const char* const kSong[] = {"entries", "header", "description"};
        for (const char* t : kTree)
            if (k == t) return Decide(TextKind::Tree);
        for (const char* s : kSong)
            if (k == s) return Decide(TextKind::Song);
        if (k == "events" || k == "unitsPerBeat") return Decide(TextKind::EventList);
        return true;
    }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& ex) {
        failed = true;
        errorAt = position;
        error = Reason(ex.what());
        return false;
    }

private:
    bool Value() {
        kindNext_ = false;
        return depth_ != 0 || Decide(); // a top-level scalar is no document
    }
    bool Decide() {
        decided = true;
        return false;
    }
    bool Decide(TextKind k) {
        kind = k;
        return Decide();
    }

    int depth_ = 0;
    bool kindNext_ = false;
};

} // namespace

// ---- writing ----------------------------------------------------------------------------------

TextJson String(std::string_view bytes) {
    return TextJson(Utf8(bytes));
}

TextJson Float(float v) {
    if (std::isnan(v)) return TextJson("NaN");
    if (std::isinf(v)) return TextJson(v > 0 ? "Infinity" : "-Infinity");
    if (v == std::trunc(v) && std::fabs(v) < 9.2e18f) {
        if (v == 0.0f) return TextJson(0); // -0 too: the shortest text of zero
        return TextJson(static_cast<int64_t>(v));
    }
    return TextJson(v);
}

std::string Compact(const TextJson& value) {
    return value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

std::string Indented(const TextJson& value) {
    std::string out;
    Indent(value, 0, out);
    out += '\n';
    return out;
}

// ---- reading ----------------------------------------------------------------------------------

bool Parse(std::string_view text, TextJson& out, std::string* error) {
    try {
        out = TextJson::parse(text.begin(), text.end());
        return true;
    } catch (const TextJson::parse_error& e) {
        // The library counts bytes from 1 up to the character it stopped at.
        if (error)
            *error = LineAndColumn(text, e.byte > 0 ? e.byte - 1 : 0) + ": " + Reason(e.what());
    } catch (const TextJson::exception& e) {
        // A number beyond the float range: the library names the number it read.
        std::string what = e.what();
        size_t index = text.size();
        const size_t open = what.find('\'');
        const size_t close = what.rfind('\'');
        if (open != std::string::npos && close > open + 1) {
            const size_t found = text.find(what.substr(open + 1, close - open - 1));
            if (found != std::string_view::npos) index = found;
        }
        if (error) *error = LineAndColumn(text, index) + ": " + Reason(what);
    }
    out = TextJson();
    return false;
}

bool BeginsAsText(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    for (char c : bytes) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
        return c == '{';
    }
    return false;
}

TextKind Sniff(std::string_view bytes, bool complete, std::string* error) {
    if (!BeginsAsText(bytes)) return TextKind::NotText;
    SniffSax sax;
    try {
        TextJson::sax_parse(bytes.begin(), bytes.end(), &sax, TextJson::input_format_t::json,
                            false);
    } catch (const TextJson::exception& e) {
        if (!sax.decided) {
            if (error) *error = Reason(e.what());
            return TextKind::Invalid;
        }
    }
    if (sax.decided) return sax.kind;
    if (sax.failed && (complete || sax.errorAt < bytes.size())) {
        if (error)
            *error = LineAndColumn(bytes, sax.errorAt > 0 ? sax.errorAt - 1 : 0) + ": " + sax.error;
        return TextKind::Invalid;
    }
    return TextKind::Unknown;
}

TextKind SniffFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return TextKind::NotText;
    std::string head(64 * 1024, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    const bool complete = in.eof();
    return Sniff(head, complete, error);
}

bool HoldsText(const CArchive& ar) {
    return ar.IsLoading() && BeginsAsText(RemainingText(ar));
}

std::string_view RemainingText(const CArchive& ar) {
    const std::vector<uint8_t>& b = ar.Buffer();
    const size_t at = std::min(ar.Position(), b.size());
    return {reinterpret_cast<const char*>(b.data()) + at, b.size() - at};
}

bool IsTextPath(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".json";
}

bool NumberOf(const TextJson& value, double& out) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        out = static_cast<double>(value.get<int64_t>());
        return true;
    }
    if (value.is_number_unsigned()) {
        out = static_cast<double>(value.get<uint64_t>());
        return true;
    }
    if (value.is_number_float()) {
        out = value.get<float>();
        return true;
    }
    if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        if (s == "NaN")
            out = std::numeric_limits<double>::quiet_NaN();
        else if (s == "Infinity")
            out = std::numeric_limits<double>::infinity();
        else if (s == "-Infinity")
            out = -std::numeric_limits<double>::infinity();
        else
            return false;
        return true;
    }
    return false;
}

std::string KindOf(const TextJson& value) {
    if (value.is_string()) return "a text";
    if (value.is_number()) return "a number";
    if (value.is_boolean()) return "a boolean";
    if (value.is_array()) return "an array";
    if (value.is_object()) return "an object";
    return "null";
}

std::string Shown(const TextJson& value) {
    // A container is named, not printed: printing walks it as deep as it nests.
    if (value.is_structured()) return KindOf(value);
    std::string s = Compact(value);
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

ObjectReader::ObjectReader(const TextJson& value, std::string where)
    : object_(value), where_(std::move(where)) {
    if (!value.is_object())
        throw Error((where_.empty() ? "" : where_ + ": ") + "expected an object, not " +
                    KindOf(value));
}

const TextJson* ObjectReader::Take(std::string_view key) {
    auto it = object_.find(key);
    if (it == object_.end()) return nullptr;
    taken_.push_back(it.key());
    return &*it;
}

void ObjectReader::Fail(std::string_view key, const std::string& what) const {
    throw Error((where_.empty() ? "" : where_ + ": ") + "\"" + Printable(key) + "\" " + what);
}

int64_t ObjectReader::Integer(std::string_view key, int64_t def, int64_t min, int64_t max) {
    const TextJson* v = Take(key);
    if (!v) return def;
    const auto outside = [&] {
        Fail(key, Shown(*v) + " is outside " + std::to_string(min) + " to " + std::to_string(max));
    };
    if (v->is_number_unsigned()) {
        const uint64_t u = v->get<uint64_t>();
        if (max < 0 || u > static_cast<uint64_t>(max) || static_cast<int64_t>(u) < min) outside();
        return static_cast<int64_t>(u);
    }
    if (v->is_number_integer()) {
        const int64_t i = v->get<int64_t>();
        if (i < min || i > max) outside();
        return i;
    }
    if (v->is_number_float()) {
        const double d = v->get<float>();
        if (d != std::trunc(d)) Fail(key, "takes a whole number, not " + Shown(*v));
        if (std::fabs(d) >= 9.2e18 || d < static_cast<double>(min) || d > static_cast<double>(max))
            outside();
        return static_cast<int64_t>(d);
    }
    Fail(key, "takes a whole number, not " + KindOf(*v));
}

float ObjectReader::Number(std::string_view key, float def, float min, float max) {
    const TextJson* v = Take(key);
    if (!v) return def;
    double d = 0.0;
    if (!NumberOf(*v, d)) Fail(key, "takes a number, not " + KindOf(*v));
    const auto f = static_cast<float>(d);
    const bool any = std::isinf(min) && std::isinf(max);
    if (!any && !(f >= min && f <= max))
        Fail(key, Shown(*v) + " is outside " + NumberText(min) + " to " + NumberText(max));
    return f;
}

bool ObjectReader::Bool(std::string_view key, bool def) {
    const TextJson* v = Take(key);
    if (!v) return def;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_integer() && (*v == 0 || *v == 1)) return *v == 1;
    Fail(key, "takes true or false, not " + Shown(*v));
}

std::string ObjectReader::Text(std::string_view key, const std::string& def) {
    const TextJson* v = Take(key);
    if (!v) return def;
    if (!v->is_string()) Fail(key, "takes a text, not " + KindOf(*v));
    return v->get<std::string>();
}

void ObjectReader::Finish() const {
    for (auto it = object_.begin(); it != object_.end(); ++it) {
        if (std::find(taken_.begin(), taken_.end(), it.key()) == taken_.end())
            throw Error((where_.empty() ? "" : where_ + ": ") + "unknown field \"" +
                        Printable(it.key()) + "\"");
    }
}

// ---- events -----------------------------------------------------------------------------------

namespace {

constexpr uint32_t kMaxBlockBytes = 1u << 24;

struct EventDeleter {
    void operator()(SongEvent* e) const { DeleteSongEvent(e); }
};
using EventPtr = std::unique_ptr<SongEvent, EventDeleter>;

std::string Hex(const uint8_t* bytes, uint32_t n) {
    static const char* const digits = "0123456789abcdef";
    std::string s;
    s.reserve(size_t{n} * 2);
    for (uint32_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An event read, with the flags a wave event stores (they describe the writer's copy of the
// sound and rule how an event lets go of one, so they are set only for the write).
struct ReadEventResult {
    EventPtr event;
    uint16_t storedFlags = 0;
};

ReadEventResult ReadEvent(const TextJson& value, const std::string& where) {
    ObjectReader r(value, where);
    const std::string kind = r.Text("kind", "midi");
    const uint32_t time = r.U32("time", 0);
    EventPtr made;
    uint16_t storedFlags = 0;
    if (kind == "midi") {
        auto* m = new EventMidi;
        made.reset(m);
        m->status = static_cast<uint8_t>(r.Integer("status", 0x90, 0, 255));
        m->data1 = static_cast<uint8_t>(r.Integer("data1", 60, 0, 255));
        m->data2 = static_cast<uint8_t>(r.Integer("data2", 70, 0, 255));
        m->data3 = static_cast<uint8_t>(r.Integer("data3", 0, 0, 255));
        m->duration = r.U32("duration", 50);
    } else if (kind == "value") {
        const float inf = std::numeric_limits<float>::infinity();
        made.reset(new EventValue(r.Number("value", 0.0f, -inf, inf)));
    } else if (kind == "wave") {
        auto* w = new EventWave;
        made.reset(w);
        w->SetName(r.Text("name", ""));
        w->duration = r.U32("duration", 0);
        w->info.bytesPerSample = static_cast<int32_t>(r.Integer("bytesPerSample", 1, 0, 65535));
        w->info.loop = static_cast<int32_t>(r.Integer("loop", 0, 0, 65535));
        w->info.options = r.U32("options", kWaveDefaultOptions);
        storedFlags = static_cast<uint16_t>(r.Integer("flags", 0, 0, 65535));
    } else if (kind == "block") {
        auto* b = new EventBlock;
        made.reset(b);
        const bool counted = r.Has("count");
        const uint32_t count = static_cast<uint32_t>(r.Integer("count", 0, 0, kMaxBlockBytes));
        const std::string hex = r.Text("bytes", "");
        if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxBlockBytes)
            r.Fail("bytes", "takes an even number of hexadecimal digits");
        const auto n = static_cast<uint32_t>(hex.size() / 2);
        if (counted && r.Has("bytes") && count != n)
            r.Fail("count",
                   "is " + std::to_string(count) + " but \"bytes\" holds " + std::to_string(n));
        b->Allocate(r.Has("bytes") ? n : count);
        for (uint32_t i = 0; i < n; ++i) {
            const int hi = HexDigit(hex[2 * i]);
            const int lo = HexDigit(hex[2 * i + 1]);
            if (hi < 0 || lo < 0) r.Fail("bytes", "takes hexadecimal digits only");
            b->SetByte(i, static_cast<uint8_t>(hi * 16 + lo));
        }
    } else {
        r.Fail("kind", "must be midi, value, wave or block, not " + Shown(TextJson(kind)));
    }
    made->time = time;
    r.Finish();
    return {std::move(made), storedFlags};
}

// The end of the last of the events (in the order a store keeps them), as GetLength(1) gives it.
uint32_t EndOf(const SongEvent* last, uint32_t time) {
    if (!last) return 0;
    uint64_t end = time;
    if (last->IsMidi() || last->IsWave()) end += last->GetDuration();
    return static_cast<uint32_t>(std::min<uint64_t>(end, std::numeric_limits<int32_t>::max()));
}

} // namespace

TextJson EventJson(const SongEvent& event, uint32_t time) {
    TextJson j = TextJson::object();
    j["time"] = time;
    if (event.IsMidi()) {
        const auto& m = static_cast<const EventMidi&>(event);
        j["kind"] = "midi";
        j["status"] = m.status;
        j["data1"] = m.data1;
        j["data2"] = m.data2;
        j["data3"] = m.data3;
        j["duration"] = m.duration;
    } else if (event.IsValue()) {
        j["kind"] = "value";
        j["value"] = Float(static_cast<const EventValue&>(event).value);
    } else if (event.IsWave()) {
        const auto& w = static_cast<const EventWave&>(event);
        j["kind"] = "wave";
        j["name"] = String(w.Name());
        j["duration"] = w.GetDuration();
        // The stored fields beyond these only when they are not a new event's.
        if (w.info.bytesPerSample != 1) j["bytesPerSample"] = w.info.bytesPerSample & 0xFFFF;
        if (w.info.loop != 0) j["loop"] = w.info.loop & 0xFFFF;
        if (w.info.options != kWaveDefaultOptions) j["options"] = w.info.options;
        if ((w.flags & 0xFFFF) != 0) j["flags"] = w.flags & 0xFFFF;
    } else if (event.IsBlock()) {
        const auto& b = static_cast<const EventBlock&>(event);
        j["kind"] = "block";
        j["count"] = b.count;
        j["bytes"] = Hex(b.bytes, b.count);
    } else {
        j["kind"] = "event";
    }
    return j;
}

TextJson EventsJson(CEventTree& events) {
    TextJson a = TextJson::array();
    for (SongEvent* e = events.First(); e; e = events.Next())
        a.push_back(EventJson(*e, events.CurrentTime()));
    return a;
}

void PutEvents(TextJson& object, const char* eventsKey, const char* lengthKey, CEventTree& events) {
    TextJson a = TextJson::array();
    const SongEvent* last = nullptr;
    uint32_t lastTime = 0;
    for (SongEvent* e = events.First(); e; e = events.Next()) {
        a.push_back(EventJson(*e, events.CurrentTime()));
        last = e;
        lastTime = events.CurrentTime();
    }
    object[eventsKey] = std::move(a);
    const auto stored = static_cast<uint32_t>(events.GetLength(0));
    if (stored != EndOf(last, lastTime)) object[lengthKey] = stored;
}

void WriteEvents(ObjectReader& object, const char* eventsKey, const char* lengthKey,
                 CArchive& out) {
    std::vector<ReadEventResult> events;
    if (const TextJson* a = object.Take(eventsKey)) {
        if (!a->is_array()) object.Fail(eventsKey, "takes an array of events, not " + KindOf(*a));
        if (a->size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
            object.Fail(eventsKey, "holds too many events");
        events.reserve(a->size());
        const std::string prefix =
            (object.Where().empty() ? "" : object.Where() + ".") + eventsKey + "[";
        for (size_t i = 0; i < a->size(); ++i)
            events.push_back(ReadEvent((*a)[i], prefix + std::to_string(i) + "]"));
    }
    // A store keeps its events in time order, events of one time in the order they came.
    std::stable_sort(events.begin(), events.end(),
                     [](const ReadEventResult& a, const ReadEventResult& b) {
                         return a.event->time < b.event->time;
                     });
    const SongEvent* last = events.empty() ? nullptr : events.back().event.get();
    const uint32_t end = EndOf(last, last ? last->time : 0);
    const uint32_t length = object.U32(lengthKey, end);
    out.WriteU16(CEventTree::kVersion);
    out.WriteU32(static_cast<uint32_t>(events.size()));
    out.WriteU32(length);
    out.WriteU8(CEventTree::kMarker);
    for (ReadEventResult& r : events) {
        if (r.event->IsWave()) {
            auto& w = static_cast<EventWave&>(*r.event);
            w.flags = r.storedFlags;
            w.Serialize(out);
            w.flags = 0;
        } else {
            r.event->Serialize(out);
        }
    }
}

TextJson EventListJson(CSELDoc& doc) {
    TextJson j = TextJson::object();
    j["kind"] = "eventlist";
    j["unitsPerBeat"] = doc.UnitsPerBeat();
    PutEvents(j, "events", "length", doc.GetEvents());
    return j;
}

void WriteEventList(const TextJson& value, const std::string& where, CArchive& out) {
    ObjectReader r(value, where);
    if (r.Has("kind") && r.Text("kind", "") != "eventlist")
        r.Fail("kind", "must be \"eventlist\" here");
    const auto units =
        static_cast<uint32_t>(r.Integer("unitsPerBeat", kDefaultUnitsPerBeat, 1, 0xFFFFFFFFll));
    out.WriteU32(0);
    out.WriteU32(units);
    WriteEvents(r, "events", "length", out);
    r.Finish();
}

} // namespace textform
