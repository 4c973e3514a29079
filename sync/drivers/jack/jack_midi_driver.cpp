#include "sync/drivers/jack/jack_midi_driver.h"

#include "platform/timer.h"
#include "sync/devices.h"
#include "sync/drivers/jack/jack_session.h"
#include "sync/drivers/jack/jack_timeline.h"
#include "sync/messages.h"

#include <algorithm>
#include <cstring>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <memory>

namespace dsync {

namespace {

constexpr const char* kOwnPrefix = "Dendra";
constexpr size_t kRingBytes = 256 * 1024;
constexpr size_t kMaxDue = 1024;

void QuietJack(const char*) {}

size_t MessageLength(uint8_t status) {
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
        return 2;
    case 0xF0:
        if (status == 0xF1 || status == 0xF3) return 2;
        if (status == 0xF2) return 3;
        return 1;
    default:
        return 3;
    }
}

// One message in an output's ring: written by the sender, then placed (its frame filled in) and
// finally written out by the process callback, which may change state and frame in place.
struct Record {
    int64_t ns;    // its time on the clock's time line, or kAsSoonAsPossible
    int64_t frame; // where it goes on the server's time line, once placed
    uint32_t length;
    uint32_t state;
};
constexpr uint32_t kFresh = 0, kPlaced = 1, kDone = 2, kSkip = 3;

constexpr size_t RecordBytes(uint32_t length) {
    return (sizeof(Record) + length + 7) & ~size_t(7);
}

// A single-producer single-consumer ring of records that never wrap: a record that does not fit
// before the end starts at the beginning, and the end it leaves is skipped (marked when there is
// room for a header, implied when there is not). Positions count bytes and only grow.
class RecordRing {
public:
    explicit RecordRing(size_t bytes)
        : words_(std::make_unique<uint64_t[]>(bytes / 8)), size_(bytes / 8 * 8) {}

    // Producer. False when the ring has no room.
    bool Push(int64_t ns, const uint8_t* bytes, uint32_t length) {
        const size_t need = RecordBytes(length);
        if (need > size_) return false;
        uint64_t w = write_.load(std::memory_order_relaxed);
        const uint64_t r = read_.load(std::memory_order_acquire);
        size_t off = size_t(w % size_);
        const size_t tail = size_ - off;
        if (need > tail) {
            if (w + tail + need - r > size_) return false;
            if (tail >= sizeof(Record)) {
                Record* skip = At(off);
                skip->length = 0;
                skip->state = kSkip;
            }
            w += tail;
            off = 0;
        } else if (w + need - r > size_) {
            return false;
        }
        Record* h = At(off);
        h->ns = ns;
        h->frame = 0;
        h->length = length;
        h->state = kFresh;
        std::memcpy(h + 1, bytes, length);
        write_.store(w + need, std::memory_order_release);
        return true;
    }

    // Consumer. The record at or after pos, before end; pos moves to it and after past it.
    bool Next(uint64_t& pos, uint64_t end, Record*& record, uint64_t& after) {
        while (pos < end) {
            const size_t off = size_t(pos % size_);
            const size_t tail = size_ - off;
            if (tail < sizeof(Record)) {
                pos += tail;
                continue;
            }
            Record* h = At(off);
            if (h->state == kSkip) {
                pos += tail;
                continue;
            }
            record = h;
            after = pos + RecordBytes(h->length);
            return true;
        }
        return false;
    }
    uint64_t ReadPosition() const { return read_.load(std::memory_order_relaxed); }
    uint64_t WritePosition() const { return write_.load(std::memory_order_acquire); }
    void Release(uint64_t pos) { read_.store(pos, std::memory_order_release); }

private:
    Record* At(size_t off) { return reinterpret_cast<Record*>(words_.get() + off / 8); }

    std::unique_ptr<uint64_t[]> words_;
    size_t size_;
    std::atomic<uint64_t> write_{0};
    std::atomic<uint64_t> read_{0};
};

} // namespace

// ---- Output ports -------------------------------------------------------------------------------

namespace {

class JackOutPort : public MidiOutPort, private jack::Processor {
public:
    explicit JackOutPort(jack_port_t* port) : port_(port), ring_(kRingBytes), due_(kMaxDue) {}
    ~JackOutPort() override {
        jack::Session& session = jack::TheSession();
        session.Remove(this);
        session.UnregisterPort(port_);
        session.Release();
    }
    bool Join() { return jack::TheSession().Add(this); }
    jack_port_t* Port() const { return port_; }

    int SendShort(uint32_t message, const DispatchTime& at) override {
        const uint8_t bytes[3] = {uint8_t(message), uint8_t(message >> 8), uint8_t(message >> 16)};
        if (bytes[0] < 0x80) return 0; // not a message
        return Push(bytes, uint32_t(MessageLength(bytes[0])), at);
    }
    int SendLong(const uint8_t* data, uint32_t length, const DispatchTime& at) override {
        if (!data || length == 0) return 0;
        return Push(data, length, at);
    }
    void SetDispatchPeriod(uint32_t ms) override {
        uint32_t old = dispatchMs_.load();
        bool raised = false;
        while (ms > old && !(raised = dispatchMs_.compare_exchange_weak(old, ms))) {
        }
        if (raised) jack::TheSession().RecomputeLatencies();
    }
    uint64_t Late() const override { return late_.load(); }

private:
    uint32_t LatencyFrames(uint32_t cycleFrames, uint32_t rate) const {
        return jack::OutputLatencyFrames(cycleFrames, rate, dispatchMs_.load());
    }

    void SetCaptureLatency(uint32_t cycleFrames, uint32_t rate) override {
        const uint32_t latency = LatencyFrames(cycleFrames, rate);
        jack_latency_range_t range{latency, latency};
        jack_port_set_latency_range(port_, JackCaptureLatency, &range);
    }

    // Writes what is due in the cycle.
    void Process(const jack::CycleInfo& cycle) override {
        void* buffer = jack_port_get_buffer(port_, cycle.frames);
        jack_midi_clear_buffer(buffer);
        const size_t room = jack_midi_max_event_size(buffer); // what an empty buffer takes
        jack::Timeline& timeline = jack::TheTimeline();
        const int64_t first = cycle.frame;
        const int64_t latency = LatencyFrames(cycle.frames, cycle.rate);
        const int64_t end = first + cycle.frames;
        // No message goes further ahead than a second past the latency (a time from the future).
        const int64_t limit = end + latency + int64_t(cycle.rate);
        const uint64_t stop = ring_.WritePosition();
        uint64_t pos = ring_.ReadPosition();
        size_t due = 0;
        Record* r = nullptr;
        uint64_t after = 0;
        for (uint64_t p = pos; ring_.Next(p, stop, r, after); p = after) {
            if (r->state == kFresh) {
                int64_t frame = 0;
                if (r->ns != kAsSoonAsPossible && timeline.FrameAt(r->ns, frame)) {
                    frame = std::min(frame + latency, limit);
                    timeline.NoteUse(cycle.wallNs);
                } else {
                    // After everything held already.
                    frame = std::max(first, lastPlaced_);
                }
                lastPlaced_ = std::max(lastPlaced_, frame);
                r->frame = frame;
                r->state = kPlaced;
            }
            if (r->state == kPlaced && r->frame < end && due < due_.size()) due_[due++] = r;
        }
        // In frame order, keeping the order they were sent in for equal frames; frames already
        // past count as the cycle's first.
        auto key = [first](const Record* x) { return std::max(x->frame, first); };
        for (size_t i = 1; i < due; ++i) {
            Record* x = due_[i];
            size_t j = i;
            while (j > 0 && key(due_[j - 1]) > key(x)) {
                due_[j] = due_[j - 1];
                --j;
            }
            due_[j] = x;
        }
        for (size_t i = 0; i < due; ++i) {
            Record* x = due_[i];
            if (x->length > room) {
                x->state = kDone; // it could never go, and must not hold up what follows
                continue;
            }
            jack_midi_data_t* out =
                jack_midi_event_reserve(buffer, jack_nframes_t(key(x) - first), x->length);
            if (!out) break; // the cycle's buffer is full: the rest go in the next cycle
            std::memcpy(out, x + 1, x->length);
            if (x->frame < first) late_.fetch_add(1, std::memory_order_relaxed);
            x->state = kDone;
        }
        // Give back the records written, up to the first that still waits.
        while (ring_.Next(pos, stop, r, after) && r->state == kDone) pos = after;
        ring_.Release(pos);
    }

    int Push(const uint8_t* bytes, uint32_t length, const DispatchTime& at) {
        return ring_.Push(at.exactNs, bytes, length) ? 0 : int(kNotReady);
    }

    jack_port_t* port_;
    RecordRing ring_;
    std::atomic<uint32_t> dispatchMs_{0};
    std::atomic<uint64_t> late_{0};
    // The process callback's own.
    std::vector<Record*> due_;
    int64_t lastPlaced_ = INT64_MIN;
};

// ---- Input ports --------------------------------------------------------------------------------

class JackInPort : public MidiInPort, private jack::Processor {
public:
    JackInPort(jack_port_t* port, MidiInSink* sink) : port_(port), sink_(sink) {}
    ~JackInPort() override {
        started_.store(false);
        jack::Session& session = jack::TheSession();
        session.Remove(this);
        session.UnregisterPort(port_);
        session.Release();
    }
    bool Join() { return jack::TheSession().Add(this); }
    jack_port_t* Port() const { return port_; }

    int Start() override {
        startNs_.store(platform::MonotonicNs());
        started_.store(true, std::memory_order_release);
        return 0;
    }
    int Stop() override {
        started_.store(false, std::memory_order_release);
        return 0;
    }

private:
    void Process(const jack::CycleInfo& cycle) override {
        void* buffer = jack_port_get_buffer(port_, cycle.frames);
        if (!started_.load(std::memory_order_acquire) || !buffer) return;
        const jack_nframes_t count = jack_midi_get_event_count(buffer);
        if (count == 0) return;
        // Input in progress keeps the time line's phase, as output does.
        jack::TheTimeline().NoteUse(cycle.wallNs);
        const int64_t start = startNs_.load(std::memory_order_relaxed);
        for (jack_nframes_t i = 0; i < count; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, buffer, i) != 0 || ev.size == 0) continue;
            int64_t ns = kTimeUnknown;
            if (!jack::TheTimeline().TimeOf(cycle.frame + ev.time, ns)) ns = kTimeUnknown;
            const int64_t since = (ns == kTimeUnknown ? cycle.wallNs : ns) - start;
            const uint32_t stamp = since > 0 ? uint32_t(since / 1000000) : 0;
            if (ev.buffer[0] == 0xF0) {
                sink_->OnLongMessage(ev.buffer, ev.size, stamp, ns);
                continue;
            }
            uint32_t word = 0;
            for (size_t b = 0; b < ev.size && b < 4; ++b) word |= uint32_t(ev.buffer[b]) << (8 * b);
            sink_->OnShortMessage(word, stamp, ns);
        }
    }

    jack_port_t* port_;
    MidiInSink* sink_;
    std::atomic<bool> started_{false};
    std::atomic<int64_t> startNs_{0};
};

// The device's port, when it is a MIDI port that goes the asked way.
bool DevicePort(jack_client_t* client, const std::string& name, bool writable) {
    jack_port_t* p = jack_port_by_name(client, name.c_str());
    if (!p) return false;
    const char* type = jack_port_type(p);
    if (!type || std::strcmp(type, JACK_DEFAULT_MIDI_TYPE) != 0) return false;
    return (jack_port_flags(p) & (writable ? JackPortIsInput : JackPortIsOutput)) != 0;
}

} // namespace

// ---- The driver ---------------------------------------------------------------------------------

std::vector<std::string> JackMidiDriver::ListPorts(bool writable) {
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
    jack::Session& session = jack::TheSession();
    // The session's client when it is open, else a short-lived one.
    const bool own = session.Share();
    jack_client_t* probe = nullptr;
    jack_client_t* client = own ? session.Client() : nullptr;
    if (!client) {
        jack_status_t status;
        probe = jack_client_open("DendraProbe", JackNoStartServer, &status);
        if (!probe) return {};
        client = probe;
    }
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                        writable ? JackPortIsInput : JackPortIsOutput);
    if (ports) {
        for (const char** p = ports; *p; ++p) {
            std::string name = *p;
            if (!name.empty() && name.rfind(kOwnPrefix, 0) != 0) names.push_back(name);
        }
        jack_free(ports);
    }
    if (probe) jack_client_close(probe);
    if (own) session.Release();
    return names;
}

std::vector<std::string> JackMidiDriver::Outputs() {
    return ListPorts(true);
}

std::vector<std::string> JackMidiDriver::Inputs() {
    return ListPorts(false);
}

unsigned JackMidiDriver::OpenOutput(const std::string& port, const std::string& ownName,
                                    std::unique_ptr<MidiOutPort>& out) {
    if (port.rfind(kOwnPrefix, 0) == 0) return kBadDeviceId;
    jack::Session& session = jack::TheSession();
    if (!session.Acquire()) return kNoDriver;
    jack_client_t* client = session.Client();
    if (!DevicePort(client, port, true)) {
        session.Release();
        return kBadDeviceId;
    }
    jack_port_t* ours = session.RegisterPort(ownName, JACK_DEFAULT_MIDI_TYPE, true);
    if (!ours) {
        session.Release();
        return kError;
    }
    // From here the port's destructor takes it out, unregisters it and lets go of the session.
    auto made = std::make_unique<JackOutPort>(ours);
    if (!made->Join() || jack_connect(client, jack_port_name(ours), port.c_str()) != 0)
        return kError;
    session.RecomputeLatencies();
    out = std::move(made);
    return kNoError;
}

unsigned JackMidiDriver::OpenInput(const std::string& port, const std::string& ownName,
                                   MidiInSink* sink, std::unique_ptr<MidiInPort>& out) {
    if (!sink) return kNoDriver;
    if (port.rfind(kOwnPrefix, 0) == 0) return kBadDeviceId;
    jack::Session& session = jack::TheSession();
    if (!session.Acquire()) return kNoDriver;
    jack_client_t* client = session.Client();
    if (!DevicePort(client, port, false)) {
        session.Release();
        return kBadDeviceId;
    }
    jack_port_t* ours = session.RegisterPort(ownName, JACK_DEFAULT_MIDI_TYPE, false);
    if (!ours) {
        session.Release();
        return kError;
    }
    auto made = std::make_unique<JackInPort>(ours, sink);
    if (!made->Join() || jack_connect(client, port.c_str(), jack_port_name(ours)) != 0)
        return kError;
    out = std::move(made);
    return kNoError;
}

MidiDriver& JackDriver() {
    static JackMidiDriver driver;
    return driver;
}

} // namespace dsync
