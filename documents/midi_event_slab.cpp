#include "documents/midi_event_slab.h"

#include <atomic>
#include <new>
#include <sys/mman.h>

namespace {

constexpr size_t kSlotBytes = 32;
constexpr uint32_t kSlabsPerRegion =
    uint32_t(MidiEventSlabs::kRegionBytes / MidiEventSlabs::kSlabBytes);

std::atomic<size_t> g_slabs{0};
std::atomic<size_t> g_regions{0};

} // namespace

// The head of a slab, at its start (slabs are aligned to their size, so an event finds its slab
// by clearing the low bits of its address). The first slab of a region also counts the region's
// slabs still alive.
struct alignas(64) MidiEventSlabs::Slab {
    Slab(uint32_t liveEvents, uint32_t liveSlabs, Slab* owner)
        : live(liveEvents), regionSlabs(liveSlabs), region(owner) {}

    std::atomic<uint32_t> live;
    std::atomic<uint32_t> regionSlabs;
    Slab* region; // the first slab of the region this slab lies in; null for a heap slab
};

namespace {

using Slab = MidiEventSlabs::Slab;
constexpr uint32_t kSlots = uint32_t((MidiEventSlabs::kSlabBytes - sizeof(Slab)) / kSlotBytes);
static_assert(sizeof(Slab) % kSlotBytes == 0, "slots after a slab's head stay aligned");

void ReleaseRegion(Slab* region, uint32_t n) noexcept {
    if (region->regionSlabs.fetch_sub(n, std::memory_order_acq_rel) != n) return;
    ::munmap(region, MidiEventSlabs::kRegionBytes);
    g_regions.fetch_sub(1, std::memory_order_relaxed);
}

void ReleaseSlab(Slab* slab, uint32_t n) noexcept {
    if (slab->live.fetch_sub(n, std::memory_order_acq_rel) != n) return;
    g_slabs.fetch_sub(1, std::memory_order_relaxed);
    if (Slab* region = slab->region)
        ReleaseRegion(region, 1);
    else
        ::operator delete(static_cast<void*>(slab), std::align_val_t(MidiEventSlabs::kSlabBytes));
}

// A MIDI event that lives in a slab; an EventMidi in every other respect.
class SlabEventMidi final : public EventMidi {
public:
    using EventMidi::EventMidi;

    // Made only in a slot of a slab (see MidiEventSlabs::New).
    static void* operator new(size_t) = delete;
    static void operator delete(void* p) noexcept {
        auto at = reinterpret_cast<uintptr_t>(p) & ~uintptr_t(MidiEventSlabs::kSlabBytes - 1);
        ReleaseSlab(reinterpret_cast<Slab*>(at), 1);
    }
};
static_assert(sizeof(SlabEventMidi) <= kSlotBytes && kSlotBytes % alignof(SlabEventMidi) == 0,
              "a slot holds one event");

} // namespace

MidiEventSlabs::~MidiEventSlabs() {
    Retire();
    RetireRegion();
}

size_t MidiEventSlabs::SlabsAlive() {
    return g_slabs.load(std::memory_order_relaxed);
}

size_t MidiEventSlabs::RegionsAlive() {
    return g_regions.load(std::memory_order_relaxed);
}

EventMidi* MidiEventSlabs::New(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2,
                               uint32_t duration, uint8_t data3) {
    if (!slab_ || used_ == kSlots) NextSlab();
    void* slot = reinterpret_cast<char*>(slab_ + 1) + kSlotBytes * used_++;
    // The constructor only stores its arguments, so the counted slot is always filled.
    return ::new (slot) SlabEventMidi(time, status, data1, data2, duration, data3);
}

void MidiEventSlabs::NextSlab() {
    Retire();
    Slab* region = nullptr;
    void* memory = nullptr;
    if (heapSlabs_ >= kHeapSlabs) {
        if (region_ && regionUsed_ == kSlabsPerRegion) RetireRegion();
        if (!region_) MapRegion();
        if (region_) {
            region = region_;
            memory = reinterpret_cast<char*>(region_) + kSlabBytes * regionUsed_++;
        }
    }
    if (!memory) {
        memory = ::operator new(kSlabBytes, std::align_val_t(kSlabBytes));
        ++heapSlabs_;
    }
    // Every slot counts as alive until the loader gives up the ones it did not use.
    if (memory == region)
        region->live.store(kSlots + 1, std::memory_order_relaxed);
    else
        ::new (memory) Slab(kSlots + 1, 0, region);
    slab_ = static_cast<Slab*>(memory);
    used_ = 0;
    g_slabs.fetch_add(1, std::memory_order_relaxed);
}

void MidiEventSlabs::MapRegion() {
    // Twice the size, so that an aligned region lies inside; the rest is given back at once.
    const size_t span = 2 * kRegionBytes;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return; // slabs come from the heap instead
    const auto begin = reinterpret_cast<uintptr_t>(p);
    const uintptr_t at = (begin + kRegionBytes - 1) & ~uintptr_t(kRegionBytes - 1);
    if (at > begin) ::munmap(p, at - begin);
    if (begin + span > at + kRegionBytes)
        ::munmap(reinterpret_cast<void*>(at + kRegionBytes), begin + span - (at + kRegionBytes));
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(at), kRegionBytes, MADV_HUGEPAGE);
#endif
    // Every slab of the region counts as alive until the loader gives up the ones it did not
    // cut; the region's first slab is its head.
    region_ = ::new (reinterpret_cast<void*>(at)) Slab(0, kSlabsPerRegion + 1, nullptr);
    region_->region = region_;
    regionUsed_ = 0;
    g_regions.fetch_add(1, std::memory_order_relaxed);
}

void MidiEventSlabs::Retire() noexcept {
    if (slab_) ReleaseSlab(slab_, kSlots - used_ + 1);
    slab_ = nullptr;
    used_ = 0;
}

void MidiEventSlabs::RetireRegion() noexcept {
    if (region_) ReleaseRegion(region_, kSlabsPerRegion - regionUsed_ + 1);
    region_ = nullptr;
    regionUsed_ = 0;
}
