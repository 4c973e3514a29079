// Commands and the undo stack every document keeps.
//
// Every edit of a document is a Command: it makes the edit (Do), takes it back (Undo) and makes
// it again (Redo), and names itself for the Edit menu ("Cut", "Paste", "Define MidiNote"). The
// document's UndoStack runs each command and keeps it, so that edits are undone and redone in
// order, any number of steps back (up to the stack's limit; the oldest steps are forgotten).
//
// The stack also keeps the clean mark: the step at which the document equals its file. The
// document's modified flag follows it, so undoing back to the saved state clears the flag and
// redoing sets it again. A change made outside the stack makes the clean state unreachable until
// the next save.
//
// A command that fails (Do, Undo or Redo returns false) must leave the document as it was; the
// stack then stays where it was, and a command whose Do failed is dropped.
//
// No user-interface types: the desktop program wraps the stack (menu labels, a history list).
// Used on the user-interface thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class Command {
public:
    virtual ~Command() = default;
    // The label of the Edit menu's Undo and Redo for this step.
    virtual std::string Label() const = 0;
    // Makes the edit; false when nothing was done (the document is unchanged).
    virtual bool Do() = 0;
    // Takes the edit back; false when it could not (the document is unchanged).
    virtual bool Undo() = 0;
    // Makes the edit again after Undo; the same as Do unless a command knows better.
    virtual bool Redo() { return Do(); }
};

class UndoStack {
public:
    static constexpr size_t kDefaultLimit = 200;

    explicit UndoStack(size_t limit = kDefaultLimit) : limit_(limit ? limit : 1) {}
    UndoStack(const UndoStack&) = delete;
    UndoStack& operator=(const UndoStack&) = delete;

    // Does the command; when it did something it becomes the step to undo and every step that
    // could be redone is forgotten. Returns what Do returned.
    bool Push(std::unique_ptr<Command> command);
    // Keeps a command whose edit has already been made (Do is not called).
    void PushDone(std::unique_ptr<Command> command);
    bool Undo();
    bool Redo();

    bool CanUndo() const { return index_ > 0; }
    bool CanRedo() const { return index_ < steps_.size(); }
    // The labels of the step Undo and Redo would take ("" when none).
    std::string UndoLabel() const;
    std::string RedoLabel() const;
    // Steps kept, and how many of them are done (the rest can be redone).
    size_t Count() const { return steps_.size(); }
    size_t Index() const { return index_; }
    size_t Limit() const { return limit_; }

    // Forgets every step (the document changed in a way no step can take back).
    void Clear();
    // The current step is the one the file holds (after opening or saving).
    void SetClean();
    // A change was made outside the stack: no step equals the file until the next SetClean.
    void MarkChangedOutside();
    bool IsClean() const { return clean_ == static_cast<long>(index_); }
    // True while a command runs (the document then leaves its modified flag to the stack).
    bool Busy() const { return busy_; }

    // Called after every change of the steps, the current step or the clean mark.
    void SetListener(std::function<void()> listener) { listener_ = std::move(listener); }

private:
    void Changed();

    std::vector<std::unique_ptr<Command>> steps_;
    size_t index_ = 0;
    long clean_ = 0; // -1: unreachable
    size_t limit_;
    bool busy_ = false;
    std::function<void()> listener_;
};
