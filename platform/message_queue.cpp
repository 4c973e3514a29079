#include "platform/message_queue.h"

#include "platform/thread_check.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {
size_t RoundUpPowerOfTwo(size_t n) {
    size_t p = 2;
    while (p < n) p <<= 1;
    return p;
}
} // namespace

MessageQueue::MessageQueue(size_t capacity) {
    size_t n = RoundUpPowerOfTwo(capacity < 2 ? 2 : capacity);
    cells_.reset(new Cell[n]);
    mask_ = n - 1;
    for (size_t i = 0; i < n; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

MessageQueue::~MessageQueue() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

// A bounded multi-producer queue: each cell's sequence number says whether it is free for the
// producer of that position or filled for the consumer.
bool MessageQueue::Post(Window target, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (target == 0) return false;
    size_t pos = enqueue_.load(std::memory_order_relaxed);
    Cell* cell;
    for (;;) {
        cell = &cells_[pos & mask_];
        size_t seq = cell->sequence.load(std::memory_order_acquire);
        intptr_t dif = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
        if (dif == 0) {
            if (enqueue_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
        } else if (dif < 0) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            pos = enqueue_.load(std::memory_order_relaxed);
        }
    }
    cell->message = PostedMessage{target, message, wParam, lParam};
    cell->sequence.store(pos + 1, std::memory_order_release);
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        ssize_t r = write(wakeFd_, &one, sizeof one);
        (void)r;
    }
    return true;
}

bool MessageQueue::Pop(PostedMessage& out) {
    size_t pos = dequeue_.load(std::memory_order_relaxed);
    Cell* cell = &cells_[pos & mask_];
    size_t seq = cell->sequence.load(std::memory_order_acquire);
    if (static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos + 1) < 0) return false;
    out = cell->message;
    cell->sequence.store(pos + mask_ + 1, std::memory_order_release);
    dequeue_.store(pos + 1, std::memory_order_relaxed);
    return true;
}

size_t MessageQueue::Drain() {
    DENDRA_NOT_REALTIME("MessageQueue::Drain");
    std::lock_guard<std::mutex> drainGuard(drainLock_);
    if (wakeFd_ >= 0) {
        uint64_t value;
        ssize_t r = read(wakeFd_, &value, sizeof value);
        (void)r;
    }
    size_t delivered = 0;
    PostedMessage m;
    while (Pop(m)) {
        MessageTarget* target = nullptr;
        {
            std::lock_guard<std::mutex> g(targetsLock_);
            auto it = targets_.find(m.target);
            if (it != targets_.end()) target = it->second;
        }
        if (target) {
            target->HandleMessage(m.message, m.wParam, m.lParam);
            ++delivered;
        }
    }
    return delivered;
}

bool MessageQueue::Wait(int timeoutMs) {
    DENDRA_NOT_REALTIME("MessageQueue::Wait");
    {
        size_t pos = dequeue_.load(std::memory_order_relaxed);
        size_t seq = cells_[pos & mask_].sequence.load(std::memory_order_acquire);
        if (seq == pos + 1) return true;
    }
    if (wakeFd_ < 0) return false;
    pollfd p{wakeFd_, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

Window MessageQueue::Register(MessageTarget* target) {
    DENDRA_NOT_REALTIME("MessageQueue::Register");
    std::lock_guard<std::mutex> g(targetsLock_);
    Window w = nextWindow_++;
    targets_[w] = target;
    return w;
}

void MessageQueue::Unregister(Window window) {
    DENDRA_NOT_REALTIME("MessageQueue::Unregister");
    std::lock_guard<std::mutex> g(targetsLock_);
    targets_.erase(window);
}

MessageQueue& Queue() {
    static MessageQueue queue;
    return queue;
}

namespace {
// The queue exists from the library's start, so that the first post (often from a real-time
// thread) never builds it.
const bool g_queueBuilt = (Queue(), true);
} // namespace

MessageRecorder::MessageRecorder(MessageQueue& queue)
    : queue_(queue), window_(queue.Register(this)) {}

MessageRecorder::~MessageRecorder() {
    queue_.Unregister(window_);
}

void MessageRecorder::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> g(lock_);
    received_.push_back(PostedMessage{window_, message, wParam, lParam});
}

std::vector<PostedMessage> MessageRecorder::Received() const {
    std::lock_guard<std::mutex> g(lock_);
    return received_;
}

size_t MessageRecorder::Count(uint32_t message) const {
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (const auto& m : received_)
        if (m.message == message) ++n;
    return n;
}

void MessageRecorder::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    received_.clear();
}

} // namespace platform
