// Bulk allocation of the MIDI events a file loader creates, one track after another.
//
// Events are carved from slabs of 32 KB rather than taken from the heap one by one. Once a loader
// has filled 1 MB of slabs, further slabs come from regions of 2 MB mapped on their own and
// marked for huge pages, so that a large file costs a few page faults instead of thousands.
//
// Each event is still destroyed like any other event (DeleteSongEvent or delete, by whoever owns
// it then, on any thread): a slab counts its events still alive and the last one to go frees the
// slab; a region is unmapped when its last slab is freed. Slots are not reused, so a slab lives
// as long as its longest-lived event. A copy of such an event (Clone) is an ordinary EventMidi.
//
// A MidiEventSlabs object is used by one thread at a time; the events it made are not tied to it
// and may outlive it.
#pragma once

#include "events/song_event.h"

#include <cstddef>
#include <cstdint>

class MidiEventSlabs {
public:
    static constexpr size_t kSlabBytes = 32768;
    static constexpr size_t kRegionBytes = size_t(2) << 20;
    // Slabs taken from the heap before regions are used.
    static constexpr uint32_t kHeapSlabs = 32;

    struct Slab;

    MidiEventSlabs() = default;
    MidiEventSlabs(const MidiEventSlabs&) = delete;
    MidiEventSlabs& operator=(const MidiEventSlabs&) = delete;
    ~MidiEventSlabs();

    // A new event, owned by the caller.
    EventMidi* New(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2,
                   uint32_t duration = 0, uint8_t data3 = 0);

    // Slabs and regions alive in the process (for tests and diagnostics).
    static size_t SlabsAlive();
    static size_t RegionsAlive();

private:
    void NextSlab();
    void MapRegion();
    void Retire() noexcept;
    void RetireRegion() noexcept;

    Slab* slab_ = nullptr;
    uint32_t used_ = 0;
    uint32_t heapSlabs_ = 0;
    Slab* region_ = nullptr; // the region slabs are being cut from, by its first slab
    uint32_t regionUsed_ = 0;
};
