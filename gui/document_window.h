// The window of one document inside the main window's document area.
//
// DocumentWindow is the base of every document's window: it observes its document (a CDocView)
// and refreshes when the document tells it of a change, and when the main window asks (after a
// command, and now and then while idle). Each kind of document gets its window from a maker
// registered for its kind flag (RegisterDocumentWindow); a kind without an editor of its own gets
// the summary window, which shows the document's title, kind and what it holds. An editor for a
// kind replaces the summary window by registering its maker at start-up; nothing else changes.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/document.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

class QFormLayout;
class QLabel;

namespace gui {

class Shell;

class DocumentWindow : public QWidget, public CDocView {
    Q_OBJECT

public:
    DocumentWindow(CAmpDoc& doc, uint32_t kind, QWidget* parent = nullptr);
    ~DocumentWindow() override;

    // The document, null once detached.
    CAmpDoc* Document() const { return doc_; }
    uint32_t Kind() const { return kind_; }
    // Stops observing the document; the window does not touch it afterwards (it is closing).
    // A window with models of its own over the document lets them go here too.
    virtual void Detach();
    // The document may have changed.
    virtual void Refresh() {}

    void OnUpdate(CDocView* sender, long hint) override;

private:
    CAmpDoc* doc_;
    uint32_t kind_;
};

using DocumentWindowMaker =
    std::function<DocumentWindow*(CAmpDoc& doc, uint32_t kind, Shell& shell, QWidget* parent)>;
// Registers the window of a kind (replacing any earlier maker of that kind).
void RegisterDocumentWindow(uint32_t kind, DocumentWindowMaker maker);
// The window of a document of that kind: its registered maker's, else the summary window.
DocumentWindow* MakeDocumentWindow(CAmpDoc& doc, uint32_t kind, Shell& shell, QWidget* parent);

// The name of a kind of document ("Song", "Dendra", "MIDI file", ...).
QString KindName(uint32_t kind);

// What the summary window lists: label and value, one line each.
using SummaryLines = std::vector<std::pair<QString, QString>>;
SummaryLines DocumentSummary(CAmpDoc& doc, uint32_t kind);

// The window of a kind without an editor of its own yet.
class SummaryWindow : public DocumentWindow {
    Q_OBJECT

public:
    SummaryWindow(CAmpDoc& doc, uint32_t kind, QWidget* parent = nullptr);
    void Refresh() override;

private:
    QLabel* title_;
    QLabel* kindLabel_;
    QFormLayout* form_;
    SummaryLines shown_;
};

} // namespace gui
