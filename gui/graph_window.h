// The windows a node's Display opens: the graph of its events ("Graph Node") and the read-only
// event list of a Word.
//
// GraphCanvas draws an event-list document with Qt's own painting: notes as bars at their
// pitch from their time for their duration (the event graph), values as a stepped line with a
// point per sample (the sampled graph of a numeric node); the horizontal axis in beats of the
// document's units per beat, the vertical one in pitches or values. Ctrl+wheel zooms the time
// axis at the cursor, the wheel scrolls it; moving the mouse shows the beat and the value or
// note under the cursor (Readout). GraphWindow is a top-level window owning its document.
//
// EventTableWindow lists an event-list document (a Word's events, edited in place through the
// event-editor link) as a read-only table and follows its changes; when the Word goes away the
// link lets the document fall back to an empty store, and the table empties.
//
// Used on the user-interface thread only.
#pragma once

#include "documents/document.h"
#include "documents/event_list_document.h"

#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class QTableWidget;

namespace gui {

class GraphCanvas : public QWidget {
    Q_OBJECT

public:
    explicit GraphCanvas(CSELDoc& doc, QWidget* parent = nullptr);

    // Reads the document's events again.
    void Reload();
    // True when the graph shows values (a sampled graph), false for notes.
    bool ShowsValues() const { return values_; }
    int Count() const { return static_cast<int>(marks_.size()); }
    // Beats shown across the width, and the first beat shown.
    double BeatsShown() const { return span_; }
    void SetView(double firstBeat, double beats);
    // What the cursor readout says at a point of the canvas.
    QString Readout(QPoint at) const;

Q_SIGNALS:
    void readoutChanged(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    QSize sizeHint() const override;

private:
    struct Mark {
        double beat;
        double length; // beats; 0 for a value
        double y;      // pitch or value
    };
    QRect Plot() const;
    double XOf(double beat) const;
    double YOf(double y) const;

    CSELDoc& doc_;
    std::vector<Mark> marks_;
    bool values_ = false;
    double low_ = 0.0, high_ = 1.0, end_ = 1.0;
    double first_ = 0.0, span_ = 1.0;
};

class GraphWindow : public QWidget {
    Q_OBJECT

public:
    explicit GraphWindow(std::unique_ptr<CSELDoc> doc, QWidget* parent = nullptr);
    ~GraphWindow() override;
    GraphCanvas* Canvas() const { return canvas_; }
    CSELDoc& Document() { return *doc_; }

private:
    std::unique_ptr<CSELDoc> doc_;
    GraphCanvas* canvas_;
    QLabel* readout_;
};

class EventTableWindow : public QWidget, public CDocView {
    Q_OBJECT

public:
    explicit EventTableWindow(std::unique_ptr<CSELDoc> doc, QWidget* parent = nullptr);
    ~EventTableWindow() override;
    QTableWidget* Table() const { return table_; }
    CSELDoc& Document() { return *doc_; }
    void OnUpdate(CDocView* sender, long hint) override;
    void Fill();

private:
    std::unique_ptr<CSELDoc> doc_;
    QTableWidget* table_;
};

} // namespace gui
