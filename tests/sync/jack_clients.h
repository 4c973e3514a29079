// JACK clients of the tests' own: a recorder that keeps every MIDI message (and, when asked, the
// audio) it receives at its position in the stream it counts, and a sequencer that writes notes
// at exact positions of its stream. Positions count the client's own cycles, as a recording does;
// on a synchronous server (jacktest::StartDummyServer with "-S") every client counts the same
// cycles, so positions of two clients differ by a constant. Callbacks allocate nothing and share
// their results through atomics only.
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace jacktest {

struct MidiRecord {
    int64_t frame = 0; // position in the recorder's stream
    uint8_t bytes[3] = {0, 0, 0};
    uint32_t size = 0; // the message's length (long messages keep their first three bytes)
};

class Recorder {
public:
    // A client with a MIDI input port "input", and with audioFrames > 0 also two audio inputs,
    // "left" and "right", recorded from the first cycle on.
    Recorder(const char* name, size_t capacity, size_t audioFrames = 0)
        : records_(capacity), left_(audioFrames), right_(audioFrames) {
        client_ = jack_client_open(name, JackNoStartServer, nullptr);
        if (!client_) return;
        midi_ = jack_port_register(client_, "input", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (audioFrames) {
            audio_[0] =
                jack_port_register(client_, "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
            audio_[1] =
                jack_port_register(client_, "right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        }
        jack_set_process_callback(client_, &Recorder::Process, this);
        jack_set_xrun_callback(client_, &Recorder::Xrun, this);
        if (jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~Recorder() {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    bool Ok() const { return client_ && midi_; }
    std::string MidiPort() const { return jack_port_name(midi_); }
    std::string AudioPort(int c) const { return jack_port_name(audio_[c]); }
    jack_client_t* Client() const { return client_; }
    bool Connect(const std::string& from, const std::string& to) {
        return jack_connect(client_, from.c_str(), to.c_str()) == 0;
    }

    size_t Count() const { return count_.load(std::memory_order_acquire); }
    const MidiRecord& Record(size_t i) const { return records_[i]; }
    int64_t Frames() const { return stream_.load(std::memory_order_acquire); }
    uint64_t Xruns() const { return xruns_.load(); }
    // The longest wait between two cycles so far (ns): a machine that stalls shows here.
    int64_t LongestGapNs() const { return longestGap_.load(); }
    // Audio recorded so far (frames from the recorder's first cycle).
    size_t AudioFrames() const { return audioCount_.load(std::memory_order_acquire); }
    const std::vector<float>& Left() const { return left_; }
    const std::vector<float>& Right() const { return right_; }

    // Waits (up to timeoutMs) until count messages have come.
    bool WaitFor(size_t count, int timeoutMs) const {
        for (int i = 0; i < timeoutMs && Count() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return Count() >= count;
    }

private:
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Recorder*>(arg);
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        const int64_t last = self->lastCycleNs_.exchange(now, std::memory_order_relaxed);
        if (last != 0 && now - last > self->longestGap_.load(std::memory_order_relaxed))
            self->longestGap_.store(now - last, std::memory_order_relaxed);
        const int64_t first = self->stream_.load(std::memory_order_relaxed);
        void* buffer = jack_port_get_buffer(self->midi_, frames);
        size_t n = self->count_.load(std::memory_order_relaxed);
        const jack_nframes_t events = jack_midi_get_event_count(buffer);
        for (jack_nframes_t i = 0; i < events && n < self->records_.size(); ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, buffer, i) != 0) continue;
            MidiRecord& r = self->records_[n++];
            r.frame = first + ev.time;
            r.size = uint32_t(ev.size);
            for (size_t b = 0; b < 3; ++b) r.bytes[b] = b < ev.size ? ev.buffer[b] : 0;
        }
        self->count_.store(n, std::memory_order_release);
        if (self->audio_[0] && self->audio_[1]) {
            auto* l = static_cast<const float*>(jack_port_get_buffer(self->audio_[0], frames));
            auto* r = static_cast<const float*>(jack_port_get_buffer(self->audio_[1], frames));
            size_t at = self->audioCount_.load(std::memory_order_relaxed);
            const size_t take = std::min<size_t>(frames, self->left_.size() - at);
            std::memcpy(self->left_.data() + at, l, take * sizeof(float));
            std::memcpy(self->right_.data() + at, r, take * sizeof(float));
            self->audioCount_.store(at + take, std::memory_order_release);
        }
        self->stream_.store(first + frames, std::memory_order_release);
        return 0;
    }
    static int Xrun(void* arg) {
        static_cast<Recorder*>(arg)->xruns_.fetch_add(1);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* midi_ = nullptr;
    jack_port_t* audio_[2] = {nullptr, nullptr};
    std::vector<MidiRecord> records_;
    std::vector<float> left_, right_;
    std::atomic<size_t> count_{0};
    std::atomic<size_t> audioCount_{0};
    std::atomic<int64_t> stream_{0};
    std::atomic<uint64_t> xruns_{0};
    std::atomic<int64_t> lastCycleNs_{0};
    std::atomic<int64_t> longestGap_{0};
};

// Writes a note-on every `interval` frames of its stream, cycling through keys 40..87, and keeps
// the position of each. Starts when Start is called.
class Sequencer {
public:
    Sequencer(const char* name, int64_t interval, size_t capacity)
        : interval_(interval), sent_(capacity) {
        client_ = jack_client_open(name, JackNoStartServer, nullptr);
        if (!client_) return;
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &Sequencer::Process, this);
        if (jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~Sequencer() {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    bool Ok() const { return client_ && out_; }
    std::string Port() const { return jack_port_name(out_); }
    void Start() { running_.store(true, std::memory_order_release); }
    void Stop() { running_.store(false, std::memory_order_release); }
    size_t Count() const { return count_.load(std::memory_order_acquire); }
    int64_t Sent(size_t i) const { return sent_[i]; }
    static uint8_t KeyOf(size_t i) { return uint8_t(40 + i % 48); }

private:
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Sequencer*>(arg);
        void* buffer = jack_port_get_buffer(self->out_, frames);
        jack_midi_clear_buffer(buffer);
        const int64_t first = self->stream_;
        self->stream_ += frames;
        if (!self->running_.load(std::memory_order_acquire)) return 0;
        if (self->next_ < first) self->next_ = first + 17; // the first note, inside a cycle
        size_t n = self->count_.load(std::memory_order_relaxed);
        while (self->next_ < first + frames && n < self->sent_.size()) {
            const uint8_t note[3] = {0x90, KeyOf(n), 100};
            jack_midi_event_write(buffer, jack_nframes_t(self->next_ - first), note, 3);
            self->sent_[n++] = self->next_;
            self->next_ += self->interval_;
        }
        self->count_.store(n, std::memory_order_release);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    int64_t interval_;
    std::vector<int64_t> sent_;
    std::atomic<size_t> count_{0};
    std::atomic<bool> running_{false};
    int64_t stream_ = 0; // the callback's own
    int64_t next_ = -1;
};

// The value below which share of the sorted values lie (0..1).
inline double Quantile(std::vector<double> v, double share) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t i = size_t(share * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace jacktest
