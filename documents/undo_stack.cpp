#include "documents/undo_stack.h"

namespace {

// Sets a flag for the life of a scope.
class BusyScope {
public:
    explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& flag_;
};

} // namespace

bool UndoStack::Push(std::unique_ptr<Command> command) {
    if (!command || busy_) return false;
    bool done;
    {
        BusyScope busy(busy_);
        done = command->Do();
    }
    if (!done) return false;
    PushDone(std::move(command));
    return true;
}

void UndoStack::PushDone(std::unique_ptr<Command> command) {
    if (!command) return;
    if (clean_ > static_cast<long>(index_)) clean_ = -1; // the saved state was a redo step
    steps_.resize(index_);
    steps_.push_back(std::move(command));
    ++index_;
    while (steps_.size() > limit_) {
        steps_.erase(steps_.begin());
        --index_;
        clean_ = clean_ > 0 ? clean_ - 1 : -1;
    }
    Changed();
}

bool UndoStack::Undo() {
    if (!CanUndo() || busy_) return false;
    bool ok;
    {
        BusyScope busy(busy_);
        ok = steps_[index_ - 1]->Undo();
    }
    if (!ok) return false;
    --index_;
    Changed();
    return true;
}

bool UndoStack::Redo() {
    if (!CanRedo() || busy_) return false;
    bool ok;
    {
        BusyScope busy(busy_);
        ok = steps_[index_]->Redo();
    }
    if (!ok) return false;
    ++index_;
    Changed();
    return true;
}

std::string UndoStack::UndoLabel() const {
    return CanUndo() ? steps_[index_ - 1]->Label() : std::string();
}

std::string UndoStack::RedoLabel() const {
    return CanRedo() ? steps_[index_]->Label() : std::string();
}

void UndoStack::Clear() {
    const bool wasClean = IsClean();
    steps_.clear();
    index_ = 0;
    clean_ = wasClean ? 0 : -1;
    Changed();
}

void UndoStack::SetClean() {
    clean_ = static_cast<long>(index_);
    Changed();
}

void UndoStack::MarkChangedOutside() {
    if (busy_) return;
    clean_ = -1;
    Changed();
}

void UndoStack::Changed() {
    if (listener_) listener_();
}
