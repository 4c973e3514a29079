// The undo stack: steps in order, the clean mark the modified flag follows, the limit, and
// commands that fail.
#include "documents/document.h"
#include "documents/undo_stack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Appends a letter to a text; can be told to fail.
class AppendCommand : public Command {
public:
    AppendCommand(std::string& text, char letter, bool* failUndo = nullptr, bool failDo = false)
        : text_(text), letter_(letter), failUndo_(failUndo), failDo_(failDo) {}
    std::string Label() const override { return std::string("Add ") + letter_; }
    bool Do() override {
        if (failDo_) return false;
        text_ += letter_;
        return true;
    }
    bool Undo() override {
        if (failUndo_ && *failUndo_) return false;
        text_.pop_back();
        return true;
    }

private:
    std::string& text_;
    char letter_;
    bool* failUndo_;
    bool failDo_;
};

// A document whose edits are commands on its stack.
class TextDoc : public CAmpDoc {
public:
    bool Add(char c) { return History().Push(std::make_unique<AppendCommand>(text, c)); }
    std::string text;
};

TEST(UndoStack, UndoesAndRedoesInOrderWithTheirLabels) {
    std::string text;
    UndoStack stack;
    EXPECT_FALSE(stack.CanUndo());
    EXPECT_EQ(stack.UndoLabel(), "");
    for (char c : std::string("abc"))
        ASSERT_TRUE(stack.Push(std::make_unique<AppendCommand>(text, c)));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(stack.UndoLabel(), "Add c");
    ASSERT_TRUE(stack.Undo());
    ASSERT_TRUE(stack.Undo());
    EXPECT_EQ(text, "a");
    EXPECT_EQ(stack.RedoLabel(), "Add b");
    ASSERT_TRUE(stack.Redo());
    EXPECT_EQ(text, "ab");
    // A new edit forgets what could be redone.
    ASSERT_TRUE(stack.Push(std::make_unique<AppendCommand>(text, 'x')));
    EXPECT_FALSE(stack.CanRedo());
    EXPECT_EQ(text, "abx");
    while (stack.Undo()) {
    }
    EXPECT_EQ(text, "");
    EXPECT_EQ(stack.Count(), 3u);
}

TEST(UndoStack, FailedCommandsLeaveTheStackWhereItWas) {
    std::string text;
    bool failUndo = false;
    UndoStack stack;
    EXPECT_FALSE(stack.Push(std::make_unique<AppendCommand>(text, 'a', nullptr, true)));
    EXPECT_EQ(stack.Count(), 0u) << "a command that did nothing is not kept";
    ASSERT_TRUE(stack.Push(std::make_unique<AppendCommand>(text, 'b', &failUndo)));
    failUndo = true;
    EXPECT_FALSE(stack.Undo());
    EXPECT_EQ(stack.Index(), 1u);
    EXPECT_EQ(text, "b");
    failUndo = false;
    EXPECT_TRUE(stack.Undo());
    EXPECT_EQ(text, "");
}

TEST(UndoStack, KeepsAtMostItsLimitAndForgetsTheOldest) {
    std::string text;
    UndoStack stack(3);
    stack.SetClean();
    for (char c : std::string("abcde")) stack.Push(std::make_unique<AppendCommand>(text, c));
    EXPECT_EQ(stack.Count(), 3u);
    while (stack.Undo()) {
    }
    EXPECT_EQ(text, "ab");
    EXPECT_FALSE(stack.IsClean()) << "the saved state fell off the stack";
}

TEST(UndoStack, TheModifiedFlagFollowsTheCleanMark) {
    TextDoc doc;
    EXPECT_FALSE(doc.IsModified());
    doc.Add('a');
    doc.Add('b');
    EXPECT_TRUE(doc.IsModified());
    doc.History().Undo();
    doc.History().Undo();
    EXPECT_FALSE(doc.IsModified()) << "back at the state of the file";
    doc.History().Redo();
    EXPECT_TRUE(doc.IsModified());

    // A save marks the current step clean; undoing past it modifies again.
    doc.SetModifiedFlag(false);
    EXPECT_FALSE(doc.IsModified());
    doc.History().Undo();
    EXPECT_TRUE(doc.IsModified());
    doc.History().Redo();
    EXPECT_FALSE(doc.IsModified());

    // An edit outside the stack leaves no step equal to the file until the next save.
    doc.SetModifiedFlag(true);
    doc.History().Undo();
    doc.History().Redo();
    EXPECT_TRUE(doc.IsModified());

    // A new edit after undoing past the saved state makes that state unreachable.
    doc.SetModifiedFlag(false);
    doc.History().Undo();
    doc.Add('z');
    while (doc.History().Undo()) {
    }
    while (doc.History().Redo()) {
    }
    EXPECT_TRUE(doc.IsModified());
    EXPECT_EQ(doc.text, "z");
}

} // namespace
