#include "sync/devices.h"

#include "platform/user_messages.h"
#include "sync/drivers/loopback/loopback.h"
#include "sync/mixer/audio_output.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace dsync {

namespace {
struct Table {
    std::mutex lock;
    bool built = false;
    bool loopback = false;
    std::vector<MidiDeviceEntry> outputs, inputs;
};
Table& TheTable() {
    static Table t;
    return t;
}

void Build(Table& t) {
    t.outputs.clear();
    t.inputs.clear();
    auto add = [](std::vector<MidiDeviceEntry>& v, MidiDriver& d,
                  const std::vector<std::string>& ports) {
        for (const auto& p : ports) v.push_back(MidiDeviceEntry{&d, p, p});
    };
    MidiDriver* drivers[] = {&SynthDriver(), &JackDriver(), &AlsaDriver(), &LoopbackDriver()};
    for (MidiDriver* d : drivers) {
        if (d == &LoopbackDriver() && !t.loopback) continue;
        add(t.outputs, *d, d->Outputs());
        add(t.inputs, *d, d->Inputs());
    }
    t.built = true;
}
} // namespace

void RefreshMidiDevices() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    Build(t);
}

std::vector<MidiDeviceEntry> MidiOutputDevices() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (!t.built) Build(t);
    return t.outputs;
}

std::vector<MidiDeviceEntry> MidiInputDevices() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (!t.built) Build(t);
    return t.inputs;
}

bool FindMidiOutput(uint32_t device, MidiDeviceEntry& out) {
    auto v = MidiOutputDevices();
    if (device >= v.size()) return false;
    out = v[device];
    return true;
}

bool FindMidiInput(uint32_t device, MidiDeviceEntry& out) {
    auto v = MidiInputDevices();
    if (device >= v.size()) return false;
    out = v[device];
    return true;
}

MidiDriver& LoopbackDriver() {
    return Loopback();
}

void EnableLoopbackDevices(bool on) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.lock);
    t.loopback = on;
    Build(t);
}

std::string InstanceLockPath() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    std::string base = dir && *dir ? dir : "/tmp";
    return base + "/THESYNCRONIZERINSTANCE.lock";
}

namespace {
struct InstanceLock {
    std::mutex lock;
    int users = 0;
    int fd = -1;
    bool warned = false;
};
InstanceLock& TheLock() {
    static InstanceLock l;
    return l;
}
} // namespace

bool AcquireSystemDevices() {
    InstanceLock& l = TheLock();
    std::unique_lock<std::mutex> g(l.lock);
    if (l.users > 0) {
        ++l.users;
        return true;
    }
    int fd = open(InstanceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        l.fd = fd;
        l.users = 1;
        return true;
    }
    if (fd >= 0) close(fd);
    // Another Dendra holds the real devices: say so once and carry on without them.
    bool warn = !l.warned;
    l.warned = true;
    g.unlock();
    if (warn) platform::MessageBox("There's a problem...");
    return false;
}

void ReleaseSystemDevices() {
    InstanceLock& l = TheLock();
    std::lock_guard<std::mutex> g(l.lock);
    if (l.users == 0) return;
    if (--l.users == 0 && l.fd >= 0) {
        flock(l.fd, LOCK_UN);
        close(l.fd);
        l.fd = -1;
    }
}

} // namespace dsync

namespace {
char* CopyName(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}
void SetNumber(DeviceRecord& r, uint32_t n) {
    std::memset(r.identity, 0, sizeof r.identity);
    for (int i = 0; i < 4; ++i) r.identity[i] = uint8_t(n >> (8 * i));
}
} // namespace

int GetDevices(DeviceRecord* records, int capacity, int includeWave, int includeDirectSound) {
    if (!records || capacity <= 0) return 0;
    dsync::RefreshMidiDevices();
    int filled = 0;
    auto put = [&](const std::vector<dsync::MidiDeviceEntry>& v, uint32_t flags) {
        for (size_t i = 0; i < v.size() && filled < capacity; ++i) {
            DeviceRecord& r = records[filled++];
            r.flags = flags;
            r.name = CopyName(v[i].name);
            SetNumber(r, uint32_t(i));
            r.extra = 0;
        }
    };
    put(dsync::MidiInputDevices(), kDeviceMidi);
    put(dsync::MidiOutputDevices(), kDeviceMidi | kDeviceOutput);
    // Wave outputs and capture devices all play through the audio mixer.
    filled = dsync::mixer::AppendAudioDeviceRecords(records, filled, capacity, includeWave != 0,
                                                    includeDirectSound != 0);
    return filled;
}

void UnGetDevices(DeviceRecord* records, int count) {
    if (!records) return;
    for (int i = 0; i < count; ++i) {
        std::free(records[i].name);
        records[i] = DeviceRecord{};
    }
}
