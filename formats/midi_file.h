// The byte layer of Standard MIDI Files: a file state that reads raw events track by track, each
// track through its own buffer, and writes them back with running status and variable-length
// quantities, completing the track and file headers when it closes.
//
// Reading never trusts a length or count from the file: every track ends at its chunk's end (or
// at the end of the file when its length cannot be right), a variable-length quantity has at most
// four bytes, and memory is allocated only for tracks that exist and only as large as they are.
// Writing goes to a temporary file that replaces the target when the state closes, so a failed
// write leaves the old file as it was.
#pragma once

#include "formats/result.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class AtomicFileWriter;
}

// One raw event as it crosses the byte layer (8 bytes, so batches pack densely).
//   status 0: tempo; data1..data3 the microseconds per quarter note, most significant first.
//   status 0xF0: one fragment of a system-exclusive message; data1 0xF0 starts it, 0xF7 ends it,
//   anything else is one message byte.
struct MidiRawEvent {
    uint32_t delta = 0;
    uint8_t status = 0;
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    uint8_t data3 = 0;
};
static_assert(sizeof(MidiRawEvent) == 8, "a raw event is 8 bytes");

// Data bytes that follow a status byte: 2 for 8n 9n An Bn En, 1 for Cn Dn F1 F3, 2 for F2, else 0.
int MidiDataBytes(uint8_t status);

// Ticks per quarter note of a header division, or -1 when it is an SMPTE division with a frame
// rate other than 24, 25, 29 (drop frame) or 30.
int MidiDivisionToTicks(uint16_t division);

// Variable-length quantity: 7 bits a byte, most significant first. Appends 1 to 4 bytes (values
// above 0x0FFFFFFF are held to that).
int MidiAppendVarLen(std::vector<uint8_t>& out, uint32_t value);

// Position of the first occurrence of `name` (4 characters) at or after `from` in the data,
// searching in blocks of 8192 bytes; -1 when there is none. A name across two blocks is found.
int64_t MidiFindChunk(const uint8_t* data, size_t size, const char* name, int64_t from);

class MidiFile {
public:
    static constexpr int kBufferSize = 8192;
    static constexpr int kMetaTypes = 128;
    static constexpr int kDefaultDivision = 480;

    MidiFile();
    ~MidiFile();
    MidiFile(const MidiFile&) = delete;
    MidiFile& operator=(const MidiFile&) = delete;

    // Opens `path` for reading ('r') or writing ('w'). Reading sets `format` (0 or 1; format 2
    // reads as 1) and the tracks found (TrackCount); writing takes `format` as the header format.
    // An open state is reopened by its stored path. Failures: CannotOpen (the file cannot be
    // opened or created), CannotReopen (the stored path cannot be opened again), NotRecognized
    // (no header chunk), Malformed (a header chunk too short or cut off, no track chunk where
    // the header promises tracks), Unsupported (an SMPTE frame rate other than 24, 25, 29 or 30),
    // Refused (a mode other than 'r' or 'w'). The state is closed after a failure.
    formats::Result Open(const std::string& path, char mode, int& format);
    // Reads from bytes held in memory (the caller keeps them alive while the state is open).
    formats::Result OpenMemory(const uint8_t* data, size_t size, int& format);
    // Writes into memory; Close hands the bytes over.
    void CreateInMemory(int format);

    // Positions every track at the start of its data and resets its flags; track 0 is current.
    void Rewind();
    // Reads the next event of `track` into `ev`: 0 when an event was stored, 1 at the track's end.
    int ReadEvent(int track, MidiRawEvent& ev);
    // Reads up to `max` events of `track` into `out`, exactly as that many ReadEvent calls would;
    // returns how many were stored, fewer than `max` only when the track ended. Channel messages
    // that lie whole inside the track's buffer are decoded in place, without a call per byte.
    size_t ReadEvents(int track, MidiRawEvent* out, size_t max);
    // Text of the next meta event of `type` in `track`, resuming where the previous lookup of that
    // type stopped; returns its length, or -1 when the track has no further one. Leaves the
    // position of ReadEvent unchanged.
    int LookupMeta(int track, int type, std::string& text);
    const std::string& MetaText() const { return metaText_; }

    // Writing. WriteMeta begins `track` if needed; Refused when the state is not writing, the
    // type is not a meta type, or the text is shorter than the type's fixed length (the track is
    // then begun, the event left out). BeginTrack completes the current track and begins a new one.
    // WriteEvent returns the number of bytes the event added to the file (a system-exclusive
    // message is written when its end fragment arrives).
    formats::Result WriteMeta(int track, int type, const std::string& text);
    void BeginTrack(int track);
    int WriteEvent(const MidiRawEvent& ev);

    // Closes the state. For a write state completes the last track and the file header and
    // replaces the target (or, for a state created in memory, moves the file's bytes to `bytes`);
    // WriteFailed when that failed (the target is then untouched).
    formats::Result Close(std::vector<uint8_t>* bytes = nullptr);

    bool IsOpen() const { return mode_ != 0; }
    char Mode() const { return mode_; }
    int Format() const { return format_; }
    int TrackCount() const { return static_cast<int>(trackCount_); }
    // Ticks per quarter note (an SMPTE division converted).
    int Division() const { return division_; }
    // The division to write; held to 1..32767 so it is never taken for an SMPTE division.
    void SetDivision(int ticks);
    // The division word of the header as read (SMPTE divisions keep their top bit).
    uint16_t RawDivision() const { return rawDivision_; }
    int TrackCountInHeader() const { return headerTracks_; }
    const std::string& Path() const { return path_; }
    // Bytes written so far (the whole file while writing; headers are completed on Close).
    const std::vector<uint8_t>& Written() const { return out_; }

private:
    struct Track {
        int64_t dataStart = 0;
        int64_t end = 0;        // first byte past the track's data
        uint32_t length = 0;    // from the "MTrk" header
        int64_t bufferPos = -1; // file offset of buffer[0]
        int fill = 0;
        int pos = 0;
        std::vector<uint8_t> buffer;
        bool exhausted = false; // a read ran past the track's end
        uint8_t runningStatus = 0;
        uint8_t lookupStatus = 0;
        uint32_t sysexRemaining = 0;
        bool endOfTrack = false;
        bool inSysex = false;
        uint32_t pendingDelta = 0;
        std::unique_ptr<std::array<int64_t, kMetaTypes>> metaPos;
        std::unique_ptr<std::array<uint32_t, kMetaTypes>> metaTicks;
    };

    formats::Result OpenRead(int& format);
    formats::Result ReadHeader();
    formats::Result LocateTracks();
    void Reset();
    // Bytes at file offsets; false when fewer than asked arrive.
    bool ReadAt(int64_t offset, uint8_t* out, size_t n);
    int64_t FindChunk(const char* name, int64_t from);
    // Track cursor.
    int64_t Tell(const Track& t) const { return t.bufferPos + t.pos; }
    void SeekTrack(Track& t, int64_t offset);
    bool Refill(Track& t);
    uint8_t Byte(Track& t);
    uint32_t VarLen(Track& t);
    void Skip(Track& t, uint32_t n);
    // Writing.
    void Put(uint8_t b) { out_.push_back(b); }
    void PutVarLen(uint32_t v) { MidiAppendVarLen(out_, v); }
    void EndCurrentTrack();
    int FlushSysex();
    uint32_t TakeDelta(uint32_t delta);

    char mode_ = 0;
    std::string path_;
    int format_ = 0;
    uint32_t trackCount_ = 0;
    int headerTracks_ = 0;
    int division_ = kDefaultDivision;
    uint16_t rawDivision_ = 0;
    int currentTrack_ = -1;
    std::string metaText_;

    // Reading source: a file descriptor, or bytes in memory.
    int fd_ = -1;
    const uint8_t* memory_ = nullptr;
    int64_t fileSize_ = 0;
    int64_t headerEnd_ = 0;
    std::vector<Track> tracks_;

    // Writing.
    std::unique_ptr<platform::AtomicFileWriter> writer_;
    std::vector<uint8_t> out_;
    size_t trackHeaderPos_ = 0;
    uint32_t trackBytes_ = 0;
    uint8_t writeStatus_ = 0;
    bool sysexOpen_ = false;
    std::vector<uint8_t> sysex_;
    uint32_t writeCarry_ = 0; // ticks of events left out, added to the next event written
};
