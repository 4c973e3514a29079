#include "sync/drivers/alsa/rtmidi_driver.h"
#include "platform/thread_check.h"

#include "platform/timer.h"
#include "sync/messages.h"

#include <RtMidi.h>
#include <atomic>
#include <unistd.h>

namespace dsync {

namespace {
constexpr const char* kClientName = "Dendra";

constexpr RtMidi::Api kApi = RtMidi::LINUX_ALSA;

void QuietErrors(RtMidiError::Type, const std::string&, void*) {}

bool OwnPort(const std::string& name) {
    return name.rfind(kClientName, 0) == 0;
}

template <class T> std::vector<std::string> ListPorts(T& midi) {
    std::vector<std::string> names;
    unsigned n = midi.getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        std::string name = midi.getPortName(i);
        if (!name.empty() && !OwnPort(name)) names.push_back(name);
    }
    return names;
}

template <class T> bool FindPort(T& midi, const std::string& wanted, unsigned& index) {
    unsigned n = midi.getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        if (midi.getPortName(i) == wanted) {
            index = i;
            return true;
        }
    }
    return false;
}

class RtOutPort : public MidiOutPort {
public:
    explicit RtOutPort(std::unique_ptr<RtMidiOut> out) : out_(std::move(out)) {}
    ~RtOutPort() override {
        try {
            out_->closePort();
        } catch (...) {
        }
    }
    int SendShort(uint32_t message, const DispatchTime&) override {
        uint8_t bytes[3] = {uint8_t(message), uint8_t(message >> 8), uint8_t(message >> 16)};
        size_t n = MessageLength(bytes[0]);
        try {
            out_->sendMessage(bytes, n);
        } catch (...) {
            return int(kNotReady);
        }
        return 0;
    }
    int SendLong(const uint8_t* data, uint32_t length, const DispatchTime&) override {
        try {
            out_->sendMessage(data, length);
        } catch (...) {
            return int(kNotReady);
        }
        return 0;
    }

    static size_t MessageLength(uint8_t st) {
        switch (st & 0xF0) {
        case 0xC0:
        case 0xD0:
            return 2;
        case 0xF0:
            if (st == 0xF1 || st == 0xF3) return 2;
            if (st == 0xF2) return 3;
            return 1;
        default:
            return 3;
        }
    }

private:
    std::unique_ptr<RtMidiOut> out_;
};

class RtInPort : public MidiInPort {
public:
    RtInPort(std::unique_ptr<RtMidiIn> in, MidiInSink* sink) : in_(std::move(in)), sink_(sink) {
        in_->setCallback(&RtInPort::Callback, this);
    }
    ~RtInPort() override {
        started_.store(false);
        try {
            in_->cancelCallback();
            in_->closePort();
        } catch (...) {
        }
    }
    int Start() override {
        startNs_.store(platform::MonotonicNs());
        started_.store(true);
        return 0;
    }
    int Stop() override {
        started_.store(false);
        return 0;
    }

private:
    static void Callback(double, std::vector<unsigned char>* message, void* data) {
        DENDRA_REALTIME();
        auto* self = static_cast<RtInPort*>(data);
        if (!self->started_.load() || !message || message->empty()) return;
        uint32_t stamp = uint32_t((platform::MonotonicNs() - self->startNs_.load()) / 1000000);
        const auto& m = *message;
        if (m[0] == 0xF0) {
            self->sink_->OnLongMessage(m.data(), m.size(), stamp, kTimeUnknown);
            return;
        }
        uint32_t word = 0;
        for (size_t i = 0; i < m.size() && i < 4; ++i) word |= uint32_t(m[i]) << (8 * i);
        self->sink_->OnShortMessage(word, stamp, kTimeUnknown);
    }

    std::unique_ptr<RtMidiIn> in_;
    MidiInSink* sink_;
    std::atomic<bool> started_{false};
    std::atomic<int64_t> startNs_{0};
};
} // namespace

bool RtMidiDriver::Available() const {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    bool compiled = false;
    for (auto a : apis)
        if (a == kApi) compiled = true;
    return compiled && access("/dev/snd/seq", F_OK) == 0;
}

std::vector<std::string> RtMidiDriver::Outputs() {
    if (!Available()) return {};
    try {
        RtMidiOut probe(kApi, kClientName);
        probe.setErrorCallback(QuietErrors);
        return ListPorts(probe);
    } catch (...) {
        return {};
    }
}

std::vector<std::string> RtMidiDriver::Inputs() {
    if (!Available()) return {};
    try {
        RtMidiIn probe(kApi, kClientName);
        probe.setErrorCallback(QuietErrors);
        return ListPorts(probe);
    } catch (...) {
        return {};
    }
}

unsigned RtMidiDriver::OpenOutput(const std::string& port, const std::string& ownName,
                                  std::unique_ptr<MidiOutPort>& out) {
    if (!Available()) return kNoDriver;
    try {
        auto midi = std::make_unique<RtMidiOut>(kApi, kClientName);
        midi->setErrorCallback(QuietErrors);
        unsigned index = 0;
        if (!FindPort(*midi, port, index)) return kBadDeviceId;
        midi->openPort(index, ownName);
        if (!midi->isPortOpen()) return kError;
        out = std::make_unique<RtOutPort>(std::move(midi));
        return kNoError;
    } catch (...) {
        return kError;
    }
}

unsigned RtMidiDriver::OpenInput(const std::string& port, const std::string& ownName,
                                 MidiInSink* sink, std::unique_ptr<MidiInPort>& out) {
    if (!Available() || !sink) return kNoDriver;
    try {
        auto midi = std::make_unique<RtMidiIn>(kApi, kClientName, 1024);
        midi->setErrorCallback(QuietErrors);
        // Our own filters decide what is kept: let system exclusive, timing and sensing through.
        midi->ignoreTypes(false, false, false);
        unsigned index = 0;
        if (!FindPort(*midi, port, index)) return kBadDeviceId;
        midi->openPort(index, ownName);
        if (!midi->isPortOpen()) return kError;
        out = std::make_unique<RtInPort>(std::move(midi), sink);
        return kNoError;
    } catch (...) {
        return kError;
    }
}

} // namespace dsync
