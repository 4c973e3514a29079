// The event-list document ("Song Event List", .sel): one event store with its units per beat.
//
// It serves as a stand-alone document, as the graph window of a node (documents/node_graph.h) and
// as the editor of a Word's stored events. File layout (little-endian): u32 reserved (written 0,
// ignored when read), u32 units per beat, then the event store's own layout. A file whose units
// per beat is 0 is refused (every conversion of its times would divide by zero).
//
// Editing a Word's events (the owner-flag protocol): the Word holds an EventEditorLink
// (tree/event_editor_link.h). ToggleLinkedEditor gives a new document that edits the Word's own
// store in place and clears the link's editor-closed flag; closing or destroying that document
// sets the flag and leaves the store to the Word. The link closes its document when it is
// destroyed (the Word deleted or cut), so an editor never outlives the store it edits: after
// that the document holds an empty store of its own.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/channel_document.h"
#include "events/event_tree.h"
#include "tree/event_editor_link.h"

#include <cstdint>
#include <memory>
#include <string>

class CNoteEventList;

constexpr const char* kNewEventListTitle = "temp.wrd";
constexpr const char* kZeroUnitsMessage =
    "This event list gives 0 units per beat and cannot be opened.";
constexpr const char* kBadEventListMessage = "This is not a readable Song Event List.";

class CSELDoc : public CChanDoc, public EventEditor {
public:
    CSELDoc();
    ~CSELDoc() override;

    uint32_t GetDocKind() const override { return kDocKindWordList; }
    bool ShowInFrame() override { return true; }
    uint32_t GetLength(int unit) override;

    // Title "temp.wrd", an empty store, units per beat of the base.
    bool OnNewDocument() override;
    // All or nothing: the document changes only when the whole file was read.
    bool ReadDocument(CArchive& ar) override;
    void WriteDocument(CArchive& ar) override;
    // Sets the owner flag (when editing a Word) and leaves the store to its owner.
    void OnCloseDocument() override;
    // EventEditor: the link closes the document (OnCloseDocument).
    void CloseEditor() override { OnCloseDocument(); }

    uint32_t UnitsPerBeat() const { return unitsPerBeat_; }
    // Converts the events (Rescale) when there are any and u differs, then takes u and redraws
    // the views. 0 is refused (false, nothing changes).
    bool SetUnitsPerBeat(uint32_t u);
    void SetTicksPerBeat(int which, uint32_t value) override;
    void ChangeTicksPerBeat(uint32_t newUnitsPerBeat) override;

    // Empties the events and fills them with copies of the list's events at their times.
    void ReplaceEvents(CNoteEventList& list);
    void ReplaceEvents(CEventTree& events);
    CEventTree& GetEvents() { return *events_; }
    // The one channel is the event list (the Word's store while editing a Word).
    int GetChannelCount() const override { return 1; }
    CEventTree* GetChannelEvents(int channel) override { return channel == 1 ? events_ : nullptr; }

    // True while the document edits a store it does not own.
    bool EditsOwnerEvents() const { return owner_ != nullptr; }

    // View state used by the views.
    uint32_t displayPosition = 0;
    int32_t displayCount = 0;

private:
    friend std::unique_ptr<CSELDoc> ToggleLinkedEditor(EventEditorLink&, CEventTree&,
                                                       const std::string&, uint32_t);
    // Stops editing the owner's store: the flag is set, the document falls back to an empty
    // store of its own.
    void ReleaseOwner();

    std::unique_ptr<CEventTree> own_;
    CEventTree* events_ = nullptr;
    EventEditorLink* owner_ = nullptr;
};

// Display of a Word: a new document editing `events` in place, titled `title`, units per beat
// `unitsPerBeat` (0 keeps the default), attached to `link`; the caller registers and shows it.
// When an editor is already open on the link it is closed instead and null is returned (a
// second Display closes the editor).
std::unique_ptr<CSELDoc> ToggleLinkedEditor(EventEditorLink& link, CEventTree& events,
                                            const std::string& title, uint32_t unitsPerBeat = 0);
