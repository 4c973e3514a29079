// Process-wide registry of named timed mutexes.
//
// Every holder of a name shares one mutex: wave events that name the same sound file, and the
// device lists of the sync library, meet on the same lock. The registry counts the users of each
// name; a mutex lives until the last user releases it.
//
// Acquire and Release allocate and take the registry lock: call them from ordinary threads only.
// Lock, TryLock and Unlock on an acquired mutex allocate nothing and may be used on real-time
// threads with a bounded timeout.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace platform {

class NamedMutex {
public:
    const std::string& Name() const { return name_; }

    // Waits at most timeoutMs milliseconds; 0 waits without limit. True when the lock is held.
    bool Lock(uint32_t timeoutMs);
    bool TryLock() { return mutex_.try_lock(); }
    void Unlock() { mutex_.unlock(); }

    // Number of holders that acquired this name and have not released it.
    int Users() const;

private:
    friend class NamedMutexRegistry;
    explicit NamedMutex(std::string name) : name_(std::move(name)) {}

    std::string name_;
    std::mutex mutex_;
    int users_ = 0; // guarded by the registry lock
};

// Acquires (creating when needed) the mutex of this name; never returns null.
NamedMutex* AcquireNamedMutex(const std::string& name);
// Drops one use; the mutex is destroyed with its last user. Null is ignored.
void ReleaseNamedMutex(NamedMutex* mutex);
// Number of live names, for tests.
size_t NamedMutexCount();

// Scoped hold of an acquired named mutex.
class NamedLock {
public:
    NamedLock(NamedMutex* m, uint32_t timeoutMs) : m_(m), held_(m && m->Lock(timeoutMs)) {}
    ~NamedLock() {
        if (held_) m_->Unlock();
    }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    explicit operator bool() const { return held_; }

private:
    NamedMutex* m_;
    bool held_;
};

} // namespace platform
