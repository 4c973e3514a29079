#include "platform/named_mutex.h"

#include "platform/thread_check.h"

#include <chrono>
#include <memory>
#include <thread>
#include <unordered_map>

namespace platform {

class NamedMutexRegistry {
public:
    static NamedMutexRegistry& Instance() {
        static NamedMutexRegistry registry;
        return registry;
    }

    NamedMutex* Acquire(const std::string& name) {
        std::lock_guard<std::mutex> g(lock_);
        auto it = byName_.find(name);
        if (it == byName_.end())
            it = byName_.emplace(name, std::unique_ptr<NamedMutex>(new NamedMutex(name))).first;
        ++it->second->users_;
        return it->second.get();
    }

    void Release(NamedMutex* m) {
        if (!m) return;
        std::lock_guard<std::mutex> g(lock_);
        auto it = byName_.find(m->name_);
        if (it == byName_.end() || it->second.get() != m) return;
        if (--m->users_ <= 0) byName_.erase(it);
    }

    int Users(const NamedMutex* m) {
        std::lock_guard<std::mutex> g(lock_);
        return m->users_;
    }

    size_t Count() {
        std::lock_guard<std::mutex> g(lock_);
        return byName_.size();
    }

private:
    std::mutex lock_;
    std::unordered_map<std::string, std::unique_ptr<NamedMutex>> byName_;
};

bool NamedMutex::Lock(uint32_t timeoutMs) {
    if (timeoutMs == 0) {
        DENDRA_NOT_REALTIME("a lock without a time limit");
        mutex_.lock();
        return true;
    }
    // Polled rather than a timed wait, so that every lock is a plain try-lock that thread
    // checkers follow; the holders keep these locks for microseconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int spins = 0;; ++spins) {
        if (mutex_.try_lock()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (spins < 64) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
}

int NamedMutex::Users() const {
    return NamedMutexRegistry::Instance().Users(this);
}

NamedMutex* AcquireNamedMutex(const std::string& name) {
    DENDRA_NOT_REALTIME("AcquireNamedMutex");
    return NamedMutexRegistry::Instance().Acquire(name);
}

void ReleaseNamedMutex(NamedMutex* mutex) {
    DENDRA_NOT_REALTIME("ReleaseNamedMutex");
    NamedMutexRegistry::Instance().Release(mutex);
}

size_t NamedMutexCount() {
    return NamedMutexRegistry::Instance().Count();
}

} // namespace platform
