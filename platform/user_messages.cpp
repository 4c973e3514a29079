#include "platform/user_messages.h"

#include "platform/message_queue.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {
StderrMessages& DefaultSink() {
    static StderrMessages sink;
    return sink;
}
std::atomic<UserMessages*> g_sink{nullptr};

// The user-interface thread once SetUserInterfaceThread was called.
std::atomic<bool> g_uiThreadSet{false};
std::atomic<std::thread::id> g_uiThread{};

UserMessages& InstalledSink() {
    UserMessages* s = g_sink.load(std::memory_order_acquire);
    return s ? *s : DefaultSink();
}

// What a posted message asks the relay to do (the message number); the text is wParam, a
// `const char*` literal when lParam is 0, an owned `std::string*` when it is 1.
enum RelayOp : uint32_t { kRelayShow = 1, kRelayNote = 2 };
constexpr uint32_t RelayMessage(RelayOp op, MessageKind kind) {
    return (static_cast<uint32_t>(op) << 8) | static_cast<uint32_t>(kind);
}

// The target of messages raised off the user-interface thread, and the sink other threads see.
class Relay : public MessageTarget, public UserMessages {
public:
    Relay() : window_(Queue().Register(this)) {}
    ~Relay() override { Queue().Unregister(window_); }

    void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        std::unique_ptr<std::string> owned(lParam ? reinterpret_cast<std::string*>(wParam)
                                                  : nullptr);
        const std::string text =
            owned ? *owned : std::string(reinterpret_cast<const char*>(wParam));
        const auto kind = static_cast<MessageKind>(message & 0xFF);
        if ((message >> 8) == kRelayNote)
            InstalledSink().Note(text);
        else
            InstalledSink().Show(text, kind);
    }

    void Show(const std::string& text, MessageKind kind) override {
        PostCopy(RelayMessage(kRelayShow, kind), text);
    }
    Answer Ask(const std::string& text, Answer safe) override {
        PostCopy(RelayMessage(kRelayShow, MessageKind::Information), text);
        return safe;
    }
    void Note(const std::string& text) override {
        PostCopy(RelayMessage(kRelayNote, MessageKind::Information), text);
    }
    bool PostLiteral(const char* text) {
        return Queue().Post(window_, RelayMessage(kRelayShow, MessageKind::Information),
                            reinterpret_cast<uintptr_t>(text), 0);
    }

private:
    void PostCopy(uint32_t message, const std::string& text) {
        auto* copy = new std::string(text);
        if (!Queue().Post(window_, message, reinterpret_cast<uintptr_t>(copy), 1)) delete copy;
    }

    Window window_;
};

Relay& TheRelay() {
    static Relay relay;
    return relay;
}
// Registered while the program starts, so no thread that posts ever registers it.
[[maybe_unused]] const bool g_relayReady = (TheRelay(), true);

const char* Label(MessageKind kind) {
    switch (kind) {
    case MessageKind::Warning:
        return "warning: ";
    case MessageKind::Error:
        return "error: ";
    default:
        return "";
    }
}
} // namespace

void StderrMessages::Show(const std::string& text, MessageKind kind) {
    std::lock_guard<std::mutex> g(lock_);
    std::fprintf(stderr, "%s%s\n", Label(kind), text.c_str());
}

void UserMessages::Note(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void StderrMessages::Note(const std::string& text) {
    std::lock_guard<std::mutex> g(lock_);
    UserMessages::Note(text);
}

Answer StderrMessages::Ask(const std::string& text, Answer safe) {
    std::lock_guard<std::mutex> g(lock_);
    const char* answer = safe == Answer::Yes  ? "Yes"
                         : safe == Answer::No ? "No"
                         : safe == Answer::Ok ? "OK"
                                              : "Cancel";
    std::fprintf(stderr, "%s [%s]\n", text.c_str(), answer);
    return safe;
}

void RecordingMessages::Show(const std::string& text, MessageKind) {
    std::lock_guard<std::mutex> g(lock_);
    shown_.push_back(text);
}

Answer RecordingMessages::Ask(const std::string& text, Answer safe) {
    std::lock_guard<std::mutex> g(lock_);
    asked_.push_back(text);
    if (answers_.empty()) return safe;
    Answer a = answers_.front();
    answers_.erase(answers_.begin());
    return a;
}

void RecordingMessages::Note(const std::string& text) {
    std::lock_guard<std::mutex> g(lock_);
    noted_.push_back(text);
}

std::vector<std::string> RecordingMessages::Noted() const {
    std::lock_guard<std::mutex> g(lock_);
    return noted_;
}

std::vector<std::string> RecordingMessages::Shown() const {
    std::lock_guard<std::mutex> g(lock_);
    return shown_;
}

std::vector<std::string> RecordingMessages::Asked() const {
    std::lock_guard<std::mutex> g(lock_);
    return asked_;
}

void RecordingMessages::QueueAnswer(Answer a) {
    std::lock_guard<std::mutex> g(lock_);
    answers_.push_back(a);
}

void RecordingMessages::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    shown_.clear();
    asked_.clear();
    noted_.clear();
    answers_.clear();
}

bool OnUserInterfaceThread() {
    if (g_uiThreadSet.load(std::memory_order_acquire))
        return std::this_thread::get_id() == g_uiThread.load(std::memory_order_relaxed);
    return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
}

void SetUserInterfaceThread() {
    g_uiThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    g_uiThreadSet.store(true, std::memory_order_release);
}

UserMessages& Messages() {
    if (!OnUserInterfaceThread()) return TheRelay();
    return InstalledSink();
}

UserMessages* SetMessages(UserMessages* sink) {
    return g_sink.exchange(sink, std::memory_order_acq_rel);
}

void MessageBox(const std::string& text) {
    Messages().Show(text, MessageKind::Information);
}

bool PostMessageBox(const char* literal) {
    if (!OnUserInterfaceThread()) return TheRelay().PostLiteral(literal);
    MessageBox(literal);
    return true;
}

} // namespace platform
