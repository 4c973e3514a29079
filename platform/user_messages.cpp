#include "platform/user_messages.h"

#include <atomic>
#include <cstdio>

namespace platform {

namespace {
StderrMessages& DefaultSink() {
    static StderrMessages sink;
    return sink;
}
std::atomic<UserMessages*> g_sink{nullptr};

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
    answers_.clear();
}

UserMessages& Messages() {
    UserMessages* s = g_sink.load(std::memory_order_acquire);
    return s ? *s : DefaultSink();
}

UserMessages* SetMessages(UserMessages* sink) {
    return g_sink.exchange(sink, std::memory_order_acq_rel);
}

void MessageBox(const std::string& text) {
    Messages().Show(text, MessageKind::Information);
}

} // namespace platform
