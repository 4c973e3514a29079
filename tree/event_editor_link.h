// The link between a node that owns events (a Word) and an editor window open on them.
//
// The node holds an EventEditorLink; the editor (the event-list document) implements
// EventEditor and attaches itself to the link while it edits the node's events in place. The
// link keeps the owner flag: set while no editor is open. When the node is cut or destroyed the
// link closes its editor, which then falls back to an empty store of its own, so an editor never
// outlives the events it edits. The editor detaches itself when it is closed or destroyed first.
//
// The tree layer knows only these two interfaces; the documents layer opens the editor.
// Used on the user-interface thread only.
#pragma once

class EventEditor {
public:
    virtual ~EventEditor() = default;
    // Stops editing the owner's events (the editor detaches itself from the link).
    virtual void CloseEditor() = 0;
};

class EventEditorLink {
public:
    EventEditorLink() = default;
    EventEditorLink(const EventEditorLink&) = delete;
    EventEditorLink& operator=(const EventEditorLink&) = delete;
    ~EventEditorLink() { Close(); }

    // Closes the open editor, if any.
    void Close() {
        if (editor_) editor_->CloseEditor();
    }
    // The owner flag: true while no editor is open.
    bool EditorClosed() const { return editor_ == nullptr; }
    EventEditor* Editor() const { return editor_; }

    // Called by the editor when it begins and ends editing the owner's events.
    void Attach(EventEditor* editor) { editor_ = editor; }
    void Detach(const EventEditor* editor) {
        if (editor_ == editor) editor_ = nullptr;
    }

private:
    EventEditor* editor_ = nullptr;
};
