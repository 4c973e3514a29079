#include "formats/midi_file.h"

#include "platform/atomic_file.h"
#include "platform/byte_cursor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kMaxVarLen = 0x0FFFFFFFu;
// The file header as first written; format, track count and division are filled in on Close.
constexpr uint8_t kFileHeader[14] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 0, 0, 0};

uint32_t SatAdd(uint32_t a, uint32_t b) {
    uint32_t s = a + b;
    return s < a ? 0xFFFFFFFFu : s;
}

constexpr std::array<uint8_t, 256> MakeDataBytes() {
    std::array<uint8_t, 256> n{};
    for (int s = 0x80; s < 0xF0; ++s) {
        int kind = s & 0xF0;
        n[size_t(s)] = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
    }
    n[0xF1] = 1;
    n[0xF2] = 2;
    n[0xF3] = 1;
    return n;
}
// Data bytes after each status byte (see MidiDataBytes).
constexpr std::array<uint8_t, 256> kDataBytes = MakeDataBytes();

// The longest channel message: a delta of four bytes, a status byte and two data bytes.
constexpr int kLongestChannelMessage = 7;

} // namespace

int MidiDataBytes(uint8_t status) {
    return kDataBytes[status];
}

int MidiDivisionToTicks(uint16_t division) {
    if ((division & 0x8000) == 0) return division;
    int ticksPerFrame = division & 0xFF;
    int rate = static_cast<int8_t>(division >> 8);
    int usPerFrame;
    switch (rate) {
    case -24:
        usPerFrame = 41667;
        break;
    case -25:
        usPerFrame = 40000;
        break;
    case -29:
        usPerFrame = 33367;
        break;
    case -30:
        usPerFrame = 33333;
        break;
    default:
        return -1;
    }
    return static_cast<int>(int64_t(ticksPerFrame) * 500000 / usPerFrame);
}

int MidiAppendVarLen(std::vector<uint8_t>& out, uint32_t value) {
    if (value > kMaxVarLen) value = kMaxVarLen;
    uint8_t bytes[4];
    int n = 0;
    bytes[n++] = value & 0x7F;
    while ((value >>= 7) != 0) bytes[n++] = 0x80 | (value & 0x7F);
    for (int i = n - 1; i >= 0; --i) out.push_back(bytes[i]);
    return n;
}

int64_t MidiFindChunk(const uint8_t* data, size_t size, const char* name, int64_t from) {
    if (from < 0 || size < 4 || static_cast<uint64_t>(from) > size - 4) return -1;
    const uint8_t* p = data + from;
    const uint8_t* last = data + size - 4;
    while (p <= last) {
        p = static_cast<const uint8_t*>(std::memchr(p, name[0], size_t(last - p) + 1));
        if (!p) return -1;
        if (std::memcmp(p, name, 4) == 0) return p - data;
        ++p;
    }
    return -1;
}

MidiFile::MidiFile() = default;

MidiFile::~MidiFile() {
    // A write state that was never closed is abandoned: the target stays as it was.
    writer_.reset();
    if (fd_ >= 0) ::close(fd_);
}

void MidiFile::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    memory_ = nullptr;
    fileSize_ = 0;
    headerEnd_ = 0;
    tracks_.clear();
    tracks_.shrink_to_fit();
    writer_.reset();
    out_.clear();
    out_.shrink_to_fit();
    sysex_.clear();
    sysexOpen_ = false;
    writeCarry_ = 0;
    writeStatus_ = 0;
    trackBytes_ = 0;
    trackHeaderPos_ = 0;
    mode_ = 0;
    format_ = 0;
    trackCount_ = 0;
    headerTracks_ = 0;
    division_ = kDefaultDivision;
    rawDivision_ = 0;
    currentTrack_ = -1;
    metaText_.clear();
}

formats::Result MidiFile::Open(const std::string& path, char mode, int& format) {
    std::string target = path;
    bool reopen = IsOpen();
    if (reopen) {
        target = path_;
        Close();
    }
    if (mode != 'r' && mode != 'w')
        return formats::Result(formats::Code::Refused, std::string("no file mode '") + mode + "'");
    path_ = target;
    const formats::Code cannot = reopen ? formats::Code::CannotReopen : formats::Code::CannotOpen;
    if (mode == 'w') {
        writer_ = std::make_unique<platform::AtomicFileWriter>(target);
        if (!writer_->Open()) {
            formats::Result failed(cannot, writer_->Error());
            Reset();
            return failed;
        }
        mode_ = 'w';
        format_ = format == 0 ? 0 : 1;
        out_.reserve(1 << 16);
        // The file header is completed when the state closes.
        out_.insert(out_.end(), kFileHeader, kFileHeader + sizeof kFileHeader);
        return formats::Result();
    }
    fd_ = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    std::string why;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    if (!why.empty()) {
        formats::Result failed(cannot, target + ": " + why);
        Reset();
        return failed;
    }
    fileSize_ = st.st_size;
    return OpenRead(format);
}

void MidiFile::CreateInMemory(int format) {
    if (IsOpen()) Close();
    path_.clear();
    mode_ = 'w';
    format_ = format == 0 ? 0 : 1;
    out_.insert(out_.end(), kFileHeader, kFileHeader + sizeof kFileHeader);
}

formats::Result MidiFile::OpenMemory(const uint8_t* data, size_t size, int& format) {
    if (IsOpen()) Close();
    path_.clear();
    memory_ = data;
    fileSize_ = static_cast<int64_t>(size);
    return OpenRead(format);
}

formats::Result MidiFile::OpenRead(int& format) {
    mode_ = 'r';
    formats::Result r = ReadHeader();
    if (r) r = LocateTracks();
    if (!r) {
        Reset();
        return r;
    }
    Rewind();
    format = format_;
    return r;
}

bool MidiFile::ReadAt(int64_t offset, uint8_t* out, size_t n) {
    if (offset < 0 || offset > fileSize_ || static_cast<uint64_t>(fileSize_ - offset) < n)
        return false;
    if (memory_) {
        if (n) std::memcpy(out, memory_ + offset, n);
        return true;
    }
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd_, out + done, n - done, offset + static_cast<int64_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

int64_t MidiFile::FindChunk(const char* name, int64_t from) {
    if (memory_) return MidiFindChunk(memory_, static_cast<size_t>(fileSize_), name, from);
    // Blocks overlap by three bytes, so a name that straddles two blocks is still found.
    std::vector<uint8_t> block(kBufferSize);
    int64_t pos = from;
    while (pos >= 0 && fileSize_ - pos >= 4) {
        size_t n = static_cast<size_t>(std::min<int64_t>(kBufferSize, fileSize_ - pos));
        if (!ReadAt(pos, block.data(), n)) return -1;
        int64_t at = MidiFindChunk(block.data(), n, name, 0);
        if (at >= 0) return pos + at;
        if (static_cast<int64_t>(n) < kBufferSize) break;
        pos += static_cast<int64_t>(n) - 3;
    }
    return -1;
}

formats::Result MidiFile::ReadHeader() {
    using formats::Code;
    const int64_t at = FindChunk("MThd", 0);
    if (at < 0) return formats::Result(Code::NotRecognized, "no MThd chunk");
    // The chunk's name and length, then format, track count and division.
    uint8_t head[14];
    const size_t got = static_cast<size_t>(std::min<int64_t>(sizeof head, fileSize_ - at));
    if (!ReadAt(at, head, got)) return formats::Result(Code::ReadFailed, "cannot read MThd");
    platform::ByteReader r(head, got);
    r.Skip(4);
    const uint32_t length = r.Be32();
    const uint16_t format = r.Be16();
    const uint16_t tracks = r.Be16();
    const uint16_t division = r.Be16();
    const int64_t dataStart = at + 8;
    if (r.Failed() || length < 6 || static_cast<uint64_t>(fileSize_ - dataStart) < length)
        return formats::Result(Code::Malformed, "MThd is shorter than 6 bytes or cut off");
    const int ticks = MidiDivisionToTicks(division);
    if (ticks < 0)
        return formats::Result(Code::Unsupported,
                               "SMPTE frame rate " + std::to_string(-int8_t(division >> 8)));
    headerTracks_ = tracks;
    rawDivision_ = division;
    division_ = ticks;
    format_ = format == 0 ? 0 : 1;
    headerEnd_ = dataStart + length;
    return formats::Result();
}

formats::Result MidiFile::LocateTracks() {
    // Only the tracks actually present get a record, however many the header claims.
    tracks_.clear();
    int64_t from = headerEnd_;
    for (int k = 0; k < headerTracks_; ++k) {
        int64_t at = FindChunk("MTrk", from);
        uint8_t len[4];
        if (at < 0 || !ReadAt(at + 4, len, 4)) break;
        Track t;
        t.dataStart = at + 8;
        t.length = platform::LoadBe32(len);
        bool plausible = static_cast<uint64_t>(fileSize_ - t.dataStart) >= t.length;
        if (plausible) {
            // The next chunk starts where this one ends: no "MTrk" inside the data is mistaken
            // for a header.
            t.end = t.dataStart + t.length;
            from = t.end;
        } else {
            t.end = fileSize_;
            from = t.dataStart;
        }
        tracks_.push_back(std::move(t));
    }
    if (tracks_.empty() && headerTracks_ > 0)
        return formats::Result(formats::Code::Malformed, "no MTrk chunk");
    trackCount_ = static_cast<uint32_t>(tracks_.size());
    return formats::Result();
}

void MidiFile::Rewind() {
    if (mode_ != 'r') return;
    // The chunks were located once when the file was opened; their places do not change.
    for (Track& t : tracks_) {
        t.bufferPos = t.dataStart;
        t.fill = 0;
        t.pos = 0;
        t.exhausted = false;
        t.runningStatus = 0;
        t.lookupStatus = 0;
        t.sysexRemaining = 0;
        t.endOfTrack = false;
        t.inSysex = false;
        t.pendingDelta = 0;
        t.metaPos.reset();
        t.metaTicks.reset();
    }
    currentTrack_ = 0;
}

void MidiFile::SeekTrack(Track& t, int64_t offset) {
    t.exhausted = false;
    if (offset >= t.bufferPos && offset <= t.bufferPos + t.fill) {
        t.pos = static_cast<int>(offset - t.bufferPos);
        return;
    }
    t.bufferPos = offset;
    t.fill = 0;
    t.pos = 0;
}

bool MidiFile::Refill(Track& t) {
    int64_t at = t.bufferPos + t.fill;
    if (at >= t.end) return false;
    if (t.buffer.empty()) {
        // As large as the track needs, never more than one block.
        t.buffer.resize(static_cast<size_t>(std::min<int64_t>(kBufferSize, t.end - t.dataStart)));
    }
    size_t n = static_cast<size_t>(std::min<int64_t>(int64_t(t.buffer.size()), t.end - at));
    if (!ReadAt(at, t.buffer.data(), n)) return false;
    t.bufferPos = at;
    t.fill = static_cast<int>(n);
    t.pos = 0;
    return true;
}

inline uint8_t MidiFile::Byte(Track& t) {
    if (t.pos >= t.fill && !Refill(t)) {
        t.exhausted = true;
        return 0;
    }
    return t.buffer[static_cast<size_t>(t.pos++)];
}

uint32_t MidiFile::VarLen(Track& t) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t b = Byte(t);
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) return v;
    }
    // More than four bytes: the track cannot be read on from here.
    t.exhausted = true;
    return 0;
}

void MidiFile::Skip(Track& t, uint32_t n) {
    int64_t to = Tell(t) + n;
    if (to > t.end) {
        t.exhausted = true;
        return;
    }
    SeekTrack(t, to);
}

int MidiFile::ReadEvent(int track, MidiRawEvent& ev) {
    if (mode_ != 'r' || track < 0 || track >= static_cast<int>(tracks_.size())) return 1;
    Track& t = tracks_[static_cast<size_t>(track)];
    if (t.endOfTrack) return 1;
    currentTrack_ = track;
    ev.data3 = 0;
    for (;;) {
        if (t.sysexRemaining > 0) {
            // Inside a system-exclusive packet: one fragment per message byte.
            uint8_t b = Byte(t);
            if (t.exhausted) break;
            --t.sysexRemaining;
            ev.delta = t.pendingDelta;
            t.pendingDelta = 0;
            ev.status = 0xF0;
            ev.data2 = 0;
            if (b == 0xF7) {
                // The end of the message; anything left in a packet that ends early is dropped.
                Skip(t, t.sysexRemaining);
                t.sysexRemaining = 0;
                t.inSysex = false;
                ev.data1 = 0xF7;
                return 0;
            }
            if (b == 0xF0) {
                t.inSysex = true;
                ev.data1 = 0xF0;
                return 0;
            }
            if (b & 0x80) {
                // Not a message byte: carry its time on.
                t.pendingDelta = ev.delta;
                continue;
            }
            ev.data1 = b;
            return 0;
        }
        uint32_t delta = VarLen(t);
        uint8_t b = Byte(t);
        if (t.exhausted) break;
        ev.delta = SatAdd(t.pendingDelta, delta);
        t.pendingDelta = 0;
        if (b == 0xFF) {
            uint8_t type = Byte(t);
            uint32_t length = VarLen(t);
            if (t.exhausted) break;
            if (type == 0x2F) {
                t.endOfTrack = true;
                t.buffer.clear();
                t.buffer.shrink_to_fit();
                t.fill = t.pos = 0;
                return 1;
            }
            if (type == 0x51 && length >= 3) {
                ev.status = 0;
                ev.data1 = Byte(t);
                ev.data2 = Byte(t);
                ev.data3 = Byte(t);
                Skip(t, length - 3);
                if (t.exhausted) break;
                return 0;
            }
            // Any other meta event yields nothing; its time goes to the next event.
            t.pendingDelta = ev.delta;
            Skip(t, length);
            if (t.exhausted) break;
            continue;
        }
        if (b == 0xF0) {
            uint32_t count = VarLen(t);
            if (t.exhausted) break;
            t.inSysex = true;
            t.sysexRemaining = count;
            ev.status = 0xF0;
            ev.data1 = 0xF0;
            ev.data2 = 0;
            return 0;
        }
        if (b == 0xF7) {
            // A continuation of an open message, or an escaped packet: its bytes follow as
            // fragments, and its time goes with them.
            uint32_t count = VarLen(t);
            if (t.exhausted) break;
            t.pendingDelta = ev.delta;
            if (count > 0) {
                t.inSysex = true;
                t.sysexRemaining = count;
            }
            continue;
        }
        if (b & 0x80) {
            t.runningStatus = b;
            ev.status = b;
            int n = MidiDataBytes(b);
            ev.data1 = n >= 1 ? Byte(t) : 0;
            ev.data2 = n >= 2 ? Byte(t) : 0;
            if (t.exhausted) break;
            return 0;
        }
        if (t.runningStatus == 0) {
            // A data byte before any status byte means nothing: skip it, keep its time.
            t.pendingDelta = ev.delta;
            continue;
        }
        ev.status = t.runningStatus;
        ev.data1 = b;
        ev.data2 = MidiDataBytes(t.runningStatus) >= 2 ? Byte(t) : 0;
        if (t.exhausted) break;
        return 0;
    }
    // The track ran out (its chunk, or the file) before an end-of-track event.
    t.endOfTrack = true;
    t.buffer.clear();
    t.buffer.shrink_to_fit();
    t.fill = t.pos = 0;
    return 1;
}

size_t MidiFile::ReadEvents(int track, MidiRawEvent* out, size_t max) {
    if (mode_ != 'r' || track < 0 || track >= static_cast<int>(tracks_.size())) return 0;
    Track& t = tracks_[static_cast<size_t>(track)];
    currentTrack_ = track;
    size_t got = 0;
    while (got < max) {
        // A channel message held whole in the buffer is decoded here; anything else (meta and
        // system events, a message across the buffer's end, a data byte before any status, a
        // quantity of more than four bytes, a track whose last read ran past its end) goes
        // through ReadEvent.
        if (t.sysexRemaining == 0 && !t.endOfTrack && !t.exhausted &&
            t.fill - t.pos >= kLongestChannelMessage) {
            const uint8_t* p = t.buffer.data() + t.pos;
            uint32_t delta = 0;
            int i = 0;
            uint8_t b;
            do {
                b = p[i++];
                delta = (delta << 7) | (b & 0x7F);
            } while ((b & 0x80) && i < 4);
            uint8_t s = p[i];
            if (!(b & 0x80) && s < 0xF0 && (s >= 0x80 || t.runningStatus != 0)) {
                MidiRawEvent& ev = out[got++];
                ev.delta = SatAdd(t.pendingDelta, delta);
                t.pendingDelta = 0;
                if (s >= 0x80) {
                    t.runningStatus = s;
                    const int n = kDataBytes[s];
                    ++i;
                    ev.data1 = n >= 1 ? p[i++] : 0;
                    ev.data2 = n >= 2 ? p[i++] : 0;
                } else {
                    // Running status: this byte is the first data byte, whatever the status.
                    ev.data1 = s;
                    ++i;
                    s = t.runningStatus;
                    ev.data2 = kDataBytes[s] >= 2 ? p[i++] : 0;
                }
                ev.status = s;
                ev.data3 = 0;
                t.pos += i;
                continue;
            }
        }
        if (ReadEvent(track, out[got]) != 0) break;
        ++got;
    }
    return got;
}

int MidiFile::LookupMeta(int track, int type, std::string& text) {
    if (mode_ != 'r' || track < 0 || track >= static_cast<int>(tracks_.size()) || type < 0 ||
        type >= kMetaTypes)
        return -1;
    Track& t = tracks_[static_cast<size_t>(track)];
    if (!t.metaPos) {
        t.metaPos = std::make_unique<std::array<int64_t, kMetaTypes>>();
        t.metaPos->fill(t.dataStart);
        t.metaTicks = std::make_unique<std::array<uint32_t, kMetaTypes>>();
        t.metaTicks->fill(0);
    }
    int64_t& resume = (*t.metaPos)[static_cast<size_t>(type)];
    uint32_t& ticks = (*t.metaTicks)[static_cast<size_t>(type)];
    if (resume < 0) return -1;

    // Keep ReadEvent's place.
    int64_t savedAt = Tell(t);
    bool savedExhausted = t.exhausted;
    bool ended = t.endOfTrack;
    SeekTrack(t, resume);
    if (resume == t.dataStart) t.lookupStatus = 0;
    int found = -1;
    for (;;) {
        uint32_t delta = VarLen(t);
        uint8_t b = Byte(t);
        if (t.exhausted) break;
        ticks = SatAdd(ticks, delta);
        if (b == 0xFF) {
            uint8_t mt = Byte(t);
            uint32_t length = VarLen(t);
            if (t.exhausted || mt == 0x2F) break;
            if (mt == type) {
                if (static_cast<uint64_t>(t.end - Tell(t)) < length) break;
                text.resize(length);
                for (uint32_t i = 0; i < length; ++i) text[i] = static_cast<char>(Byte(t));
                if (t.exhausted) break;
                found = static_cast<int>(length);
                break;
            }
            Skip(t, length);
        } else if (b == 0xF0 || b == 0xF7) {
            Skip(t, VarLen(t));
        } else if (b & 0x80) {
            t.lookupStatus = b;
            Skip(t, static_cast<uint32_t>(MidiDataBytes(b)));
        } else if (t.lookupStatus != 0) {
            int n = MidiDataBytes(t.lookupStatus);
            Skip(t, n > 0 ? static_cast<uint32_t>(n - 1) : 0);
        }
        if (t.exhausted) break;
    }
    if (found >= 0) {
        resume = Tell(t);
        metaText_ = text;
    } else {
        resume = -1;
        text.clear();
    }
    SeekTrack(t, savedAt);
    t.exhausted = savedExhausted;
    t.endOfTrack = ended;
    return found;
}

// Writing.

void MidiFile::SetDivision(int ticks) {
    division_ = std::clamp(ticks, 1, 32767);
}

uint32_t MidiFile::TakeDelta(uint32_t delta) {
    uint32_t total = SatAdd(delta, writeCarry_);
    writeCarry_ = 0;
    // A gap longer than a variable-length quantity holds is bridged with empty text events.
    while (total > kMaxVarLen) {
        PutVarLen(kMaxVarLen);
        Put(0xFF);
        Put(0x01);
        Put(0x00);
        writeStatus_ = 0;
        total -= kMaxVarLen;
    }
    return total;
}

int MidiFile::FlushSysex() {
    if (!sysexOpen_) return 0;
    size_t before = out_.size();
    PutVarLen(static_cast<uint32_t>(sysex_.size() + 1));
    out_.insert(out_.end(), sysex_.begin(), sysex_.end());
    Put(0xF7);
    sysex_.clear();
    sysexOpen_ = false;
    writeStatus_ = 0;
    return static_cast<int>(out_.size() - before);
}

void MidiFile::EndCurrentTrack() {
    FlushSysex();
    PutVarLen(TakeDelta(0));
    Put(0xFF);
    Put(0x2F);
    Put(0x00);
    trackBytes_ = static_cast<uint32_t>(out_.size() - (trackHeaderPos_ + 8));
    platform::ByteWriter(out_).Be32At(trackHeaderPos_ + 4, trackBytes_);
}

void MidiFile::BeginTrack(int track) {
    if (mode_ != 'w' || track == currentTrack_) return;
    if (currentTrack_ >= 0) {
        EndCurrentTrack();
        format_ = 1;
    }
    trackHeaderPos_ = out_.size();
    platform::ByteWriter(out_).Tag("MTrk").Be32(0); // the length is completed with the track
    currentTrack_ = track;
    trackBytes_ = 0;
    writeStatus_ = 0;
    writeCarry_ = 0;
    ++trackCount_;
}

formats::Result MidiFile::WriteMeta(int track, int type, const std::string& text) {
    if (mode_ != 'w') return formats::Result(formats::Code::Refused, "not open for writing");
    if (type < 0 || type >= kMetaTypes)
        return formats::Result(formats::Code::Refused, "no meta type " + std::to_string(type));
    BeginTrack(track);
    if (type == 0x2F) return formats::Result(); // every track gets its end when it is completed
    size_t length;
    switch (type) {
    case 0x00:
    case 0x59:
        length = 2;
        break;
    case 0x20:
        length = 1;
        break;
    case 0x51:
        length = 3;
        break;
    case 0x54:
        length = 5;
        break;
    case 0x58:
        length = 4;
        break;
    default:
        length = (type >= 1 && type <= 7) || type == 0x7F
                     ? std::min<size_t>(text.size(), kMaxVarLen)
                     : 0;
        break;
    }
    if (text.size() < length)
        return formats::Result(formats::Code::Refused, "meta type " + std::to_string(type) +
                                                           " needs " + std::to_string(length) +
                                                           " bytes of text");
    FlushSysex();
    Put(0);
    Put(0xFF);
    Put(static_cast<uint8_t>(type));
    PutVarLen(static_cast<uint32_t>(length));
    out_.insert(out_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    writeStatus_ = 0;
    return formats::Result();
}

int MidiFile::WriteEvent(const MidiRawEvent& ev) {
    if (mode_ != 'w') return 0;
    if (currentTrack_ < 0) BeginTrack(0);
    size_t before = out_.size();
    if (ev.status == 0xF0) {
        if (ev.data1 == 0xF0) {
            FlushSysex(); // a start while a message is open completes the open one
            PutVarLen(TakeDelta(ev.delta));
            Put(0xF0);
            sysexOpen_ = true;
            sysex_.clear();
            sysex_.reserve(1024);
        } else {
            writeCarry_ = SatAdd(writeCarry_, ev.delta);
            if (ev.data1 == 0xF7)
                FlushSysex(); // an end without a start writes nothing
            else if (sysexOpen_ && ev.data1 < 0x80)
                sysex_.push_back(ev.data1);
        }
    } else if (ev.status == 0) {
        FlushSysex();
        PutVarLen(TakeDelta(ev.delta));
        Put(0xFF);
        Put(0x51);
        Put(0x03);
        Put(ev.data1);
        Put(ev.data2);
        Put(ev.data3);
        writeStatus_ = 0;
    } else if (ev.status < 0x80 || ev.status >= 0xF0) {
        // Nothing a file can hold: left out, its time carried to the next event.
        writeCarry_ = SatAdd(writeCarry_, ev.delta);
    } else {
        FlushSysex();
        PutVarLen(TakeDelta(ev.delta));
        if (ev.status != writeStatus_) {
            Put(ev.status);
            writeStatus_ = ev.status;
        }
        int n = MidiDataBytes(ev.status);
        if (n >= 1) Put(ev.data1 & 0x7F);
        if (n >= 2) Put(ev.data2 & 0x7F);
    }
    return static_cast<int>(out_.size() - before);
}

formats::Result MidiFile::Close(std::vector<uint8_t>* bytes) {
    formats::Result r;
    if (mode_ == 'w') {
        if (currentTrack_ >= 0) EndCurrentTrack();
        if (trackCount_ > 1) format_ = 1;
        platform::ByteWriter header(out_);
        header.Be16At(8, static_cast<uint16_t>(format_));
        header.Be16At(10, static_cast<uint16_t>(std::min<uint32_t>(trackCount_, 0xFFFF)));
        header.Be16At(12, static_cast<uint16_t>(std::clamp(division_, 1, 32767)));
        if (writer_) {
            if (!writer_->Write(out_.data(), out_.size()) || !writer_->Commit())
                r = formats::Result(formats::Code::WriteFailed, writer_->Error());
        } else if (bytes) {
            *bytes = std::move(out_);
        }
    }
    Reset();
    return r;
}
