// The tree view: draws a tree document's function tree from its top node by halves and forwards
// clicks, keys and the wheel to the tree editor's model (editing/tree_editor.h).
//
// Layout (the same one the model's hit test walks): rows of equal height from the top node; the
// top node spans the whole drawing width, and each row down halves the span of its parent, the
// left half holding inner branch 1 and the right half inner branch 2. The drawing width is the
// viewport's width times the zoom; the row height is the viewport's height divided by the number
// of rows the user set ("Set the number of rows"). Deeper rows are reached by scrolling. Each
// node shows its icon (a glyph in its family's colour with the type's initials, drawn as vectors
// so it stays sharp at any scale), its name and its type; the selected node is marked, the node
// waiting for a pick is outlined, branches are lines.
//
// Input: a click selects (a second click on the selected node climbs to its visual parent), a
// double click makes the node the top node, a right click either completes a pending pick or asks
// for the node's context menu (menuRequested; the window shows it), Ctrl+wheel zooms at the
// cursor, Shift+wheel scrolls sideways, the wheel scrolls. Keys: Home the Root, Left and Right
// the branches, Up the visual parent, Down the first branch, Enter the node's first menu entry
// (menuEntryWanted), Escape cancels a pending pick. Hovering shows the node's GetInfo text.
//
// Choices made where the behaviour was open:
// - Zoom is horizontal only (the halving squeezes the width, not the height); rows set the height.
// - A span narrower than two pixels is not drawn (nothing there can be hit at that zoom either).
// - Keyboard navigation above the top node makes the reached node the top node, so the
//   selection always stays in view.
//
// Used on the user-interface thread only; the view must not outlive its editor.
#pragma once

#include "editing/tree_editor.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QRect>

#include <vector>

class ProtoType;

namespace gui {

class TreeView : public QAbstractScrollArea {
    Q_OBJECT

public:
    static constexpr int kDefaultRows = 4;
    static constexpr int kMaxRows = 16;
    static constexpr double kMaxZoom = 256.0;

    explicit TreeView(TreeEditor& editor, QWidget* parent = nullptr);
    ~TreeView() override;

    TreeEditor& Editor() { return editor_; }

    int Rows() const { return rows_; }
    // Held to [1, kMaxRows].
    void SetRows(int rows);
    double Zoom() const { return zoom_; }
    // Held to [1, kMaxZoom]; the point `at` of the viewport keeps showing the same place.
    void SetZoom(double zoom, QPoint at);
    void ZoomToFit() { SetZoom(1.0, QPoint(0, 0)); }

    // What the model's hit test needs: the drawing width, the rows' height, the scroll position.
    TreeViewGeometry Geometry() const;
    int RowHeight() const;
    // Where a node's icon is drawn, in viewport coordinates (empty when the node is not under
    // the top node or lies deeper than the view can split).
    QRect NodeRect(const ProtoType* node) const;
    // Scrolls so that the node's icon is in view.
    void EnsureVisible(const ProtoType* node);
    // The tree changed: the depth is measured again and the view repainted.
    void TreeChanged();

    // The family colour and initials of a type's glyph.
    static QColor FamilyColor(const ProtoType& node);
    static QString Initials(const std::string& typeName);

Q_SIGNALS:
    // A right click without a pending pick, on a node (null: on no node).
    void menuRequested(ProtoType* node, QPoint globalPos);
    // Enter on the selected node.
    void activated(ProtoType* node);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Span {
        double x;
        double width;
        int row;
    };
    // The span of `node` under the top node, false when it is not under it.
    bool SpanOf(const ProtoType* node, Span& span) const;
    QRect IconRect(const Span& span) const;
    void DrawNode(QPainter& p, ProtoType* node, const Span& span, const QRect& clip);
    void UpdateScrollBars();
    void UpdateCursor();
    int Depth() const;

    TreeEditor& editor_;
    int listener_ = 0;
    int rows_ = kDefaultRows;
    double zoom_ = 1.0;
    int depth_ = 1; // rows the tree takes from the top node
};

} // namespace gui
