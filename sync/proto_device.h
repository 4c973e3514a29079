// The common interface of every device of the sync library. The order of the virtual operations
// is part of the interface.
#pragma once

#include <cstdint>

class EventWave;

class ProtoDevice {
public:
    virtual int Open() { return 0; }               // 0
    virtual void Close() {}                        // 1
    virtual int Start() { return 0; }              // 2
    virtual void Stop() {}                         // 3
    virtual void Reset() {}                        // 4
    virtual int AddEvent(EventWave*) { return 0; } // 5
    virtual void SetVolume(float) {}               // 6
    virtual float GetVolume() { return 0.0f; }     // 7
    virtual void SetBalance(float) {}              // 8
    virtual float GetBalance() { return 0.0f; }    // 9
    virtual void CloseWave(EventWave*) {}          // 10
    virtual unsigned GetWaveCaps(uint32_t* code) { // 11
        if (code) *code = 0;
        return 0;
    }
    virtual void SetWaveCaps(uint32_t) {} // 12
    virtual ~ProtoDevice() = default;
};
