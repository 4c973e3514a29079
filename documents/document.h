// The base of every document: title, path, modified flag and the views that show it.
//
// Documents are plain objects: views register as observers and are told when the document
// changes; the application is told after a successful save and when a document closes. Every
// document keeps an undo stack of its edits (documents/undo_stack.h); its modified flag follows
// the stack's clean mark, so undoing back to the saved state makes it unmodified again. Opening
// reads the whole file into an archive first; a document's reader replaces its contents only
// when the whole file was read, so a failed open leaves the document as it was.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/undo_stack.h"

#include <string>
#include <vector>

class CArchive;
class CAmpDoc;

// What a view of a document implements.
class CDocView {
public:
    virtual ~CDocView() = default;
    // The document changed; hint says what (0: everything).
    virtual void OnUpdate(CDocView* sender, long hint) = 0;
};

// What the application implements to hear about documents.
class CDocListener {
public:
    virtual ~CDocListener() = default;
    virtual void DocumentSaved(CAmpDoc& doc) = 0;
    virtual void DocumentClosed(CAmpDoc& doc) = 0;
};

class CAmpDoc {
public:
    CAmpDoc();
    CAmpDoc(const CAmpDoc&) = delete;
    CAmpDoc& operator=(const CAmpDoc&) = delete;
    virtual ~CAmpDoc();

    // The application's listener (null for none); kept by the caller.
    static void SetListener(CDocListener* listener);
    static CDocListener* Listener();

    const std::string& GetTitle() const { return title_; }
    virtual void SetTitle(const std::string& title);
    const std::string& GetPathName() const { return path_; }
    virtual void SetPathName(const std::string& path);

    bool IsModified() const { return modified_; }
    // Set: a change (outside the undo stack, the clean state becomes unreachable); cleared: the
    // document equals its file (the undo stack's clean mark moves to the current step).
    virtual void SetModifiedFlag(bool modified = true);

    // The document's edits, for Undo and Redo.
    UndoStack& History() { return history_; }
    const UndoStack& History() const { return history_; }

    void AddView(CDocView* view);
    void RemoveView(CDocView* view);
    size_t ViewCount() const { return views_.size(); }
    // Tells every view but the sender.
    void UpdateAllViews(CDocView* sender, long hint = 0);

    // Gives the document its new-document contents; false when it cannot.
    virtual bool OnNewDocument();
    // Reads the file at path. On success the path and title follow it and the document is
    // unmodified. On failure a message has been shown (the system's text when the file cannot
    // be read) and the document is unchanged.
    virtual bool OnOpenDocument(const std::string& path);
    // Writes the document to path through a temporary file renamed over it; on success the
    // document is unmodified and the application is told. On failure a message is shown.
    virtual bool OnSaveDocument(const std::string& path);
    // Closes the document: tells the application. Documents that others own may override.
    virtual void OnCloseDocument();

    // Reads the document from a loading archive: all or nothing. False when the archive does
    // not hold a readable document (the reader shows its own message).
    virtual bool ReadDocument(CArchive& ar);
    // Writes the document into a storing archive.
    virtual void WriteDocument(CArchive& ar);
    // Reads a document held in memory (as ReadDocument; used by importers and tests).
    bool LoadFromMemory(const void* data, size_t size);

protected:
    // What OnSaveDocument writes for path: WriteDocument's bytes, unless the document keeps
    // another form under some names (trees and songs write their text form to ".json").
    virtual void WriteDocumentTo(const std::string& path, CArchive& ar);

private:
    std::string title_;
    std::string path_;
    bool modified_ = false;
    std::vector<CDocView*> views_;
    UndoStack history_;
};
