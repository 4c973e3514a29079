// The user-messages interface: message boxes and Yes/No questions.
//
// The GUI shows dialogs, the command-line program writes to standard error and takes the safe
// answer, tests record what was said. Texts are passed exactly as the system words them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace platform {

enum class MessageKind { Information, Warning, Error };
enum class Answer { Ok, Yes, No, Cancel };

class UserMessages {
public:
    virtual ~UserMessages() = default;
    // A message box with an OK button.
    virtual void Show(const std::string& text, MessageKind kind) = 0;
    // A question; `safe` is the answer a program without a user takes.
    virtual Answer Ask(const std::string& text, Answer safe) = 0;
};

// Writes every message to standard error; questions take the safe answer.
class StderrMessages : public UserMessages {
public:
    void Show(const std::string& text, MessageKind kind) override;
    Answer Ask(const std::string& text, Answer safe) override;

private:
    std::mutex lock_;
};

// Keeps every message and question, answering questions from a queue (then the safe answer).
class RecordingMessages : public UserMessages {
public:
    void Show(const std::string& text, MessageKind kind) override;
    Answer Ask(const std::string& text, Answer safe) override;

    std::vector<std::string> Shown() const;
    std::vector<std::string> Asked() const;
    void QueueAnswer(Answer a);
    void Clear();

private:
    mutable std::mutex lock_;
    std::vector<std::string> shown_;
    std::vector<std::string> asked_;
    std::vector<Answer> answers_;
};

// The process's current sink (standard error until another is installed).
UserMessages& Messages();
// Installs a sink (null restores standard error); returns the previous one. The caller keeps
// ownership and must keep it alive while installed.
UserMessages* SetMessages(UserMessages* sink);

// Shorthand for Messages().Show(text, MessageKind::Information).
void MessageBox(const std::string& text);

// Installs a recording sink for the lifetime of the object (tests).
class ScopedRecordingMessages : public RecordingMessages {
public:
    ScopedRecordingMessages() : previous_(SetMessages(this)) {}
    ~ScopedRecordingMessages() override { SetMessages(previous_); }

private:
    UserMessages* previous_;
};

} // namespace platform
