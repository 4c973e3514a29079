// The posted-message queue: window messages from the library's threads to the user-interface
// thread.
//
// A message is (target, number, wParam, lParam). Targets are registered handles, like window
// handles: the user-interface thread registers an object that handles messages and receives a
// number; a message to a handle that is no longer registered is dropped when drained. Handles are
// never reused.
//
// Post is safe on real-time threads: it allocates nothing, takes no lock and makes one system
// call (an eventfd write) to wake the draining thread. The ring is bounded; when it is full the
// message is dropped and counted. Messages are delivered in the order they were posted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {

// A message target handle; 0 is no target.
using Window = uint32_t;

class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
};

struct PostedMessage {
    Window target = 0;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

class MessageQueue {
public:
    explicit MessageQueue(size_t capacity = 16384);
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Any thread; real-time safe. False (and counted) when the ring is full or target is 0.
    bool Post(Window target, uint32_t message, uintptr_t wParam, intptr_t lParam);

    // The draining thread: delivers every message posted so far, in order; returns how many.
    size_t Drain();
    // Waits at most timeoutMs for a message to arrive (returns at once when one is waiting).
    bool Wait(int timeoutMs);
    // A descriptor that becomes readable when messages wait (for a GUI's event loop).
    int WakeDescriptor() const { return wakeFd_; }

    // Registration (not real-time safe). Unregister drops messages still waiting for the target.
    Window Register(MessageTarget* target);
    void Unregister(Window window);

    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
    size_t Capacity() const { return mask_ + 1; }

private:
    struct Cell {
        std::atomic<size_t> sequence;
        PostedMessage message;
    };
    bool Pop(PostedMessage& out);

    std::unique_ptr<Cell[]> cells_;
    size_t mask_;
    alignas(64) std::atomic<size_t> enqueue_{0};
    alignas(64) std::atomic<size_t> dequeue_{0};
    std::atomic<uint64_t> dropped_{0};
    int wakeFd_ = -1;

    std::mutex targetsLock_;
    std::unordered_map<Window, MessageTarget*> targets_;
    Window nextWindow_ = 1;
    std::mutex drainLock_;
};

// The process's queue.
MessageQueue& Queue();

// Shorthand for Queue().Post.
inline bool PostMessage(Window target, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return Queue().Post(target, message, wParam, lParam);
}

// A target that keeps what it receives (tests, and simple programs that poll).
class MessageRecorder : public MessageTarget {
public:
    explicit MessageRecorder(MessageQueue& queue = Queue());
    ~MessageRecorder() override;
    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

    Window Handle() const { return window_; }
    std::vector<PostedMessage> Received() const;
    // Messages of this number received so far.
    size_t Count(uint32_t message) const;
    void Clear();

private:
    MessageQueue& queue_;
    Window window_;
    mutable std::mutex lock_;
    std::vector<PostedMessage> received_;
};

} // namespace platform
