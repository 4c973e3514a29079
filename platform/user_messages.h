// The user-messages interface: message boxes, Yes/No questions and notes.
//
// The GUI shows dialogs, the command-line program writes to standard error and takes the safe
// answer, tests record what was said. Texts are passed exactly as the system words them. Notes
// are the lines the system writes on the standard error stream rather than in a dialog (what a
// sound reader saw in a file, and what it read past).
//
// Threads. Messages belong to the user-interface thread: the thread that last called
// SetUserInterfaceThread, or the process's main thread until one does. On any other thread
// Messages() is a relay that shows nothing there: it posts each message, question or note
// through the posted-message queue (platform/message_queue.h) to the user-messages relay
// target, and the sink installed at that time shows it when the user-interface thread drains
// the queue, in order with every other posted message. A question asked off the thread is posted
// as a message box with the same text and takes the safe answer at once. Text handed to the
// relay is copied (an allocation); PostMessageBox posts a literal without copying, for real-time
// and streaming threads. A message that does not fit the queue is dropped and counted there.
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
    // A line for the standard error stream (the text carries its own newline, if any). Written
    // there unless a sink keeps it otherwise.
    virtual void Note(const std::string& text);
};

// Writes every message to standard error; questions take the safe answer.
class StderrMessages : public UserMessages {
public:
    void Show(const std::string& text, MessageKind kind) override;
    Answer Ask(const std::string& text, Answer safe) override;
    void Note(const std::string& text) override;

private:
    std::mutex lock_;
};

// Keeps every message and question, answering questions from a queue (then the safe answer).
class RecordingMessages : public UserMessages {
public:
    void Show(const std::string& text, MessageKind kind) override;
    Answer Ask(const std::string& text, Answer safe) override;
    void Note(const std::string& text) override;

    std::vector<std::string> Shown() const;
    std::vector<std::string> Asked() const;
    std::vector<std::string> Noted() const;
    void QueueAnswer(Answer a);
    void Clear();

private:
    mutable std::mutex lock_;
    std::vector<std::string> shown_;
    std::vector<std::string> asked_;
    std::vector<std::string> noted_;
    std::vector<Answer> answers_;
};

// On the user-interface thread the process's current sink (standard error until another is
// installed); on any other thread the relay that posts to the user-interface thread.
UserMessages& Messages();
// Installs a sink (null restores standard error); returns the previous one. The caller keeps
// ownership and must keep it alive while installed.
UserMessages* SetMessages(UserMessages* sink);

// Shorthand for Messages().Show(text, MessageKind::Information).
void MessageBox(const std::string& text);

// Any thread, real-time safe off the user-interface thread: posts `literal` (text that lives as
// long as the program) as a message box without copying or allocating. On the user-interface
// thread it is shown at once. False when the queue was full and the message dropped.
bool PostMessageBox(const char* literal);

// Makes the calling thread the user-interface thread (the thread that drains the queue).
void SetUserInterfaceThread();
bool OnUserInterfaceThread();

// Installs a recording sink for the lifetime of the object (tests).
class ScopedRecordingMessages : public RecordingMessages {
public:
    ScopedRecordingMessages() : previous_(SetMessages(this)) {}
    ~ScopedRecordingMessages() override { SetMessages(previous_); }

private:
    UserMessages* previous_;
};

} // namespace platform
