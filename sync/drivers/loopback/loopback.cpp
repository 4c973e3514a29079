#include "sync/drivers/loopback/loopback.h"

#include "platform/timer.h"
#include "sync/messages.h"

namespace dsync {

void LoopbackOutputState::Reserve(size_t records, size_t sysexBytes) {
    records_.assign(records, LoopbackRecord{});
    sysex_.assign(sysexBytes, 0);
    Clear();
}

void LoopbackOutputState::Clear() {
    volume_.store(0xFFFFFFFFu);
    count_.store(0);
    sysexUsed_ = 0;
    dropped_.store(0);
}

void LoopbackOutputState::Add(uint32_t message, const uint8_t* data, uint32_t length,
                              const DispatchTime& at) {
    int64_t sent = platform::MonotonicNs();
    size_t i = count_.load(std::memory_order_relaxed);
    if (i >= records_.size() || (length && sysexUsed_ + length > sysex_.size())) {
        dropped_.fetch_add(1);
        return;
    }
    LoopbackRecord& r = records_[i];
    r.message = message;
    r.sysexOffset = uint32_t(sysexUsed_);
    r.sysexLength = length;
    if (length) {
        std::copy(data, data + length, sysex_.begin() + long(sysexUsed_));
        sysexUsed_ += length;
    }
    r.at = at;
    r.sentNs = sent;
    count_.store(i + 1, std::memory_order_release);
}

std::vector<uint8_t> LoopbackOutputState::Sysex(const LoopbackRecord& r) const {
    return std::vector<uint8_t>(sysex_.begin() + r.sysexOffset,
                                sysex_.begin() + r.sysexOffset + r.sysexLength);
}

std::vector<uint32_t> LoopbackOutputState::ShortMessages() const {
    std::vector<uint32_t> out;
    size_t n = Count();
    for (size_t i = 0; i < n; ++i)
        if (records_[i].sysexLength == 0) out.push_back(records_[i].message);
    return out;
}

class LoopbackOutPort : public MidiOutPort {
public:
    LoopbackOutPort(LoopbackMidiDriver& d, int index) : driver_(d), index_(index) {
        driver_.outputs_[index_].opens_.fetch_add(1);
    }
    ~LoopbackOutPort() override { driver_.outputs_[index_].closes_.fetch_add(1); }
    int SendShort(uint32_t message, const DispatchTime& at) override {
        LoopbackOutputState& s = driver_.outputs_[index_];
        s.Add(message, nullptr, 0, at);
        int in = s.connected_.load();
        if (in >= 0) driver_.FeedShort(in, message, 0);
        return 0;
    }
    int SendLong(const uint8_t* data, uint32_t length, const DispatchTime& at) override {
        LoopbackOutputState& s = driver_.outputs_[index_];
        s.Add(0xF0, data, length, at);
        int in = s.connected_.load();
        if (in >= 0) driver_.FeedLong(in, data, length, 0);
        return 0;
    }
    int Reset() override {
        driver_.outputs_[index_].resets_.fetch_add(1);
        return 0;
    }
    bool HasVolume() const override { return true; }
    bool HasLeftRightVolume() const override { return true; }
    uint32_t GetVolumeWord() const override { return driver_.outputs_[index_].volume_.load(); }
    void SetVolumeWord(uint32_t w) override { driver_.outputs_[index_].volume_.store(w); }

private:
    LoopbackMidiDriver& driver_;
    int index_;
};

class LoopbackInPort : public MidiInPort {
public:
    LoopbackInPort(LoopbackMidiDriver& d, int index, MidiInSink* sink) : driver_(d), index_(index) {
        std::lock_guard<std::mutex> g(driver_.inputs_[index_].lock);
        driver_.inputs_[index_].sink = sink;
        driver_.inputs_[index_].started = false;
    }
    ~LoopbackInPort() override {
        std::lock_guard<std::mutex> g(driver_.inputs_[index_].lock);
        driver_.inputs_[index_].sink = nullptr;
        driver_.inputs_[index_].started = false;
    }
    int Start() override { return Set(true); }
    int Stop() override { return Set(false); }

private:
    int Set(bool on) {
        std::lock_guard<std::mutex> g(driver_.inputs_[index_].lock);
        driver_.inputs_[index_].started = on;
        return 0;
    }
    LoopbackMidiDriver& driver_;
    int index_;
};

LoopbackMidiDriver::LoopbackMidiDriver() {
    for (auto& o : outputs_) o.Reserve(1 << 16);
}

std::vector<std::string> LoopbackMidiDriver::Outputs() {
    std::vector<std::string> v;
    for (int i = 0; i < kPorts; ++i) v.push_back("Loopback Out " + std::to_string(i));
    return v;
}

std::vector<std::string> LoopbackMidiDriver::Inputs() {
    std::vector<std::string> v;
    for (int i = 0; i < kPorts; ++i) v.push_back("Loopback In " + std::to_string(i));
    return v;
}

namespace {
int PortIndex(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0) return -1;
    std::string rest = name.substr(prefix.size());
    if (rest.size() != 1 || rest[0] < '0' || rest[0] >= '0' + LoopbackMidiDriver::kPorts) return -1;
    return rest[0] - '0';
}
} // namespace

unsigned LoopbackMidiDriver::OpenOutput(const std::string& port, const std::string&,
                                        std::unique_ptr<MidiOutPort>& out) {
    int i = PortIndex(port, "Loopback Out ");
    if (i < 0) return kBadDeviceId;
    out = std::make_unique<LoopbackOutPort>(*this, i);
    return kNoError;
}

unsigned LoopbackMidiDriver::OpenInput(const std::string& port, const std::string&,
                                       MidiInSink* sink, std::unique_ptr<MidiInPort>& out) {
    int i = PortIndex(port, "Loopback In ");
    if (i < 0 || !sink) return kBadDeviceId;
    out = std::make_unique<LoopbackInPort>(*this, i, sink);
    return kNoError;
}

bool LoopbackMidiDriver::FeedShort(int input, uint32_t message, uint32_t stampMs, int64_t timeNs) {
    if (input < 0 || input >= kPorts) return false;
    std::lock_guard<std::mutex> g(inputs_[input].lock);
    if (!inputs_[input].sink || !inputs_[input].started) return false;
    inputs_[input].sink->OnShortMessage(message, stampMs, timeNs);
    return true;
}

bool LoopbackMidiDriver::FeedLong(int input, const uint8_t* data, size_t length, uint32_t stampMs,
                                  int64_t timeNs) {
    if (input < 0 || input >= kPorts) return false;
    std::lock_guard<std::mutex> g(inputs_[input].lock);
    if (!inputs_[input].sink || !inputs_[input].started) return false;
    inputs_[input].sink->OnLongMessage(data, length, stampMs, timeNs);
    return true;
}

LoopbackMidiDriver& Loopback() {
    static LoopbackMidiDriver driver;
    return driver;
}

} // namespace dsync
