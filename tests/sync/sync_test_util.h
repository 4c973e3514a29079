// Helpers shared by the sync tests: device numbers of the loopback ports and message draining.
#pragma once

#include "platform/message_queue.h"
#include "sync/devices.h"
#include "sync/drivers/loopback/loopback.h"

#include <string>

inline uint32_t OutputNumber(const std::string& name) {
    auto v = dsync::MidiOutputDevices();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == name) return uint32_t(i);
    return 0xFFFFFFF0u;
}

inline uint32_t InputNumber(const std::string& name) {
    auto v = dsync::MidiInputDevices();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].name == name) return uint32_t(i);
    return 0xFFFFFFF0u;
}

// Lists the loopback ports and clears what they recorded.
inline void UseLoopback() {
    dsync::EnableLoopbackDevices(true);
    for (int i = 0; i < dsync::LoopbackMidiDriver::kPorts; ++i) {
        dsync::Loopback().Output(i).Clear();
        dsync::Loopback().Output(i).ConnectTo(-1);
    }
    platform::Queue().Drain();
}
