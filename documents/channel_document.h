// The base of documents that hold timed material in channels: trees, MIDI files, waves, word
// lists and songs.
//
// A channel document has two resolutions: its units per beat (which 1), the unit its events are
// timed in, and its play resolution (which 2), the ticks per beat of the clock that plays it.
// Times handed to a player are units × play resolution / units per beat. Channels are numbered
// from 1; each keeps its events in a CEventTree made on first use.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/document.h"
#include "events/event_list.h"
#include "events/event_tree.h"

#include <cstdint>
#include <memory>
#include <vector>

// Document kinds.
constexpr uint32_t kDocKindWordList = 0x1;
constexpr uint32_t kDocKindMidi = 0x10;
constexpr uint32_t kDocKindDendra = 0x100;
constexpr uint32_t kDocKindSong = 0x1000;
constexpr uint32_t kDocKindCollection = 0x10000;
constexpr uint32_t kDocKindWave = 0x100000;

// Which resolution GetTicksPerBeat and SetTicksPerBeat address.
constexpr int kUnitsPerBeat = 1;
constexpr int kPlayResolution = 2;

constexpr uint32_t kDefaultUnitsPerBeat = 1000;
constexpr uint32_t kDefaultPlayResolution = 480;

struct DocExtent {
    int width = 100;
    int height = 100;
};

class CChanDoc : public CAmpDoc {
public:
    CChanDoc();
    ~CChanDoc() override;

    // The title becomes the file name without its folder; the title no longer follows later
    // path changes by itself.
    void SetPathName(const std::string& path) override;
    // An export document never becomes modified.
    void SetModifiedFlag(bool modified = true) override;

    virtual uint32_t GetDocKind() const;  // 1
    virtual bool ShowInFrame();           // 2: the shell gives the document a frame
    virtual bool IsSaveable() const;      // 3
    virtual uint32_t GetLength(int unit); // 4
    // 5: playback stepping. The next event to play over all channels (null when none), with its
    // channel and its time in play-resolution ticks; Advance steps that channel past it.
    virtual SongEvent* PeekNextEvent(int& channel, uint32_t& ticks);
    virtual void Advance(int channel);
    virtual void RewindAll();
    // Position in units = beats × units per beat.
    virtual uint32_t SetPosition(double beats);
    // 6
    virtual int GetChannelCount() const;
    virtual uint32_t GetTicksPerBeat(int which) const;
    virtual void SetTicksPerBeat(int which, uint32_t value);
    // Rescales the events of every channel to the new units per beat.
    virtual void ChangeTicksPerBeat(uint32_t newUnitsPerBeat);
    virtual DocExtent GetExtent(); // 7
    // 8: 1-based; a channel above the count is ignored.
    virtual void SetCurrentChannel(int channel);
    virtual int GetCurrentChannel() const;
    // 9: new channels get empty stores; unless keepExtra, channels above n are freed. Returns
    // the count.
    virtual int SetChannelCount(int n, bool keepExtra);
    // 10: the channel's events, made on first use; null outside 1..count.
    virtual CEventTree* GetChannelEvents(int channel);
    virtual void FreeChannel(int channel);
    virtual void ReadChannelProperties(int channel);

    // Converts document units to play-resolution ticks.
    uint32_t UnitsToTicks(uint32_t units) const;

    bool IsIncluded() const { return included_; }
    void SetIncluded(bool included) { included_ = included; }
    bool IsExport() const { return export_; }
    void SetExport(bool exportDoc);
    bool TitleFollowsPath() const { return titleFollowsPath_; }

protected:
    uint32_t unitsPerBeat_ = kDefaultUnitsPerBeat;
    uint32_t playResolution_ = kDefaultPlayResolution;
    bool included_ = false;
    bool export_ = false;
    bool titleFollowsPath_ = true;
    // Two working lists for the derived documents.
    CNoteEventList list1_;
    CNoteEventList list2_;
    // The channel table; an empty slot is made on first use.
    std::vector<std::unique_ptr<CEventTree>> channels_;
    int currentChannel_ = 1;
};
