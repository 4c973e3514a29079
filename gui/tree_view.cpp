#include "gui/tree_view.h"

#include "tree/proto_type.h"
#include "tree/registry.h"

#include <QHash>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace gui {

namespace {

// What the glyph of a type shows, worked out once per type id.
struct Glyph {
    QColor color;
    QString initials;
    QString typeName;
    bool null = false;
};

const Glyph& GlyphOf(const ProtoType& node) {
    static QHash<int, Glyph> glyphs;
    const int id = node.GetTypeId();
    auto it = glyphs.find(id);
    if (it != glyphs.end()) return *it;
    Glyph g;
    const std::string name = node.TypeName();
    g.typeName = QString::fromStdString(name);
    g.initials = TreeView::Initials(name);
    g.color = TreeView::FamilyColor(node);
    g.null = name == "Null";
    return *glyphs.insert(id, g);
}

int Subtree(const ProtoType* node, int levels) {
    if (!node || levels > 4096) return 0;
    return 1 + std::max(Subtree(node->GetInnerChild(1), levels + 1),
                        Subtree(node->GetInnerChild(2), levels + 1));
}

} // namespace

TreeView::TreeView(TreeEditor& editor, QWidget* parent)
    : QAbstractScrollArea(parent), editor_(editor) {
    setObjectName(QStringLiteral("treeView"));
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setMouseTracking(true);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    listener_ = editor_.AddListener([this](long) { TreeChanged(); });
    TreeChanged();
}

TreeView::~TreeView() {
    editor_.RemoveListener(listener_);
}

QColor TreeView::FamilyColor(const ProtoType& node) {
    const std::string type = node.TypeName();
    if (type == "Null") return QColor(0x9e, 0x9e, 0x9e);
    if (type == "Root") return QColor(0x45, 0x4f, 0x5a);
    if (type == "Accrete") return QColor(0x8e, 0x44, 0xad);
    const NodeFactoryEntry* entry = FindNodeType(type);
    const std::string family = entry ? entry->info->family : "";
    if (family == "Basic") return QColor(0x2f, 0x6f, 0xc4);
    if (family == "Midi") return QColor(0x2a, 0x8f, 0x55);
    if (family == "Numerical") return QColor(0xc2, 0x76, 0x12);
    if (family == "Set") return QColor(0xa0, 0x3a, 0x6a);
    if (family == "Wave" || family == "Sound Blaster") return QColor(0x1f, 0x88, 0x96);
    return QColor(0x60, 0x7d, 0x8b);
}

QString TreeView::Initials(const std::string& typeName) {
    // The capitals of the name ("MidiDrumNote": "MDN"), at most three; a name of one word
    // gives its first two letters.
    QString caps;
    for (char c : typeName)
        if (c >= 'A' && c <= 'Z' && caps.size() < 3) caps += QLatin1Char(c);
    if (caps.size() >= 2) return caps;
    return QString::fromStdString(typeName.substr(0, 2));
}

void TreeView::SetRows(int rows) {
    rows = std::clamp(rows, 1, kMaxRows);
    if (rows == rows_) return;
    rows_ = rows;
    UpdateScrollBars();
    viewport()->update();
}

void TreeView::SetZoom(double zoom, QPoint at) {
    zoom = std::clamp(zoom, 1.0, kMaxZoom);
    const double oldWidth = Geometry().width;
    const double place = (at.x() + horizontalScrollBar()->value()) / std::max(1.0, oldWidth);
    zoom_ = zoom;
    UpdateScrollBars();
    const double newWidth = Geometry().width;
    horizontalScrollBar()->setValue(static_cast<int>(std::lround(place * newWidth - at.x())));
    viewport()->update();
}

int TreeView::RowHeight() const {
    return std::max(1, viewport()->height() / rows_);
}

TreeViewGeometry TreeView::Geometry() const {
    TreeViewGeometry g;
    g.width = static_cast<int>(std::lround(viewport()->width() * zoom_));
    g.rows = rows_;
    g.height = RowHeight() * rows_;
    g.scrollX = horizontalScrollBar()->value();
    g.scrollY = verticalScrollBar()->value();
    return g;
}

int TreeView::Depth() const {
    return depth_;
}

void TreeView::TreeChanged() {
    depth_ = std::max(1, Subtree(editor_.Top(), 0));
    UpdateScrollBars();
    UpdateCursor();
    viewport()->update();
}

void TreeView::UpdateScrollBars() {
    const TreeViewGeometry g = Geometry();
    horizontalScrollBar()->setRange(0, std::max(0, g.width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(std::max(1, viewport()->width() / 20));
    const int content = depth_ * RowHeight();
    verticalScrollBar()->setRange(0, std::max(0, content - viewport()->height()));
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(std::max(1, RowHeight() / 4));
}

void TreeView::UpdateCursor() {
    viewport()->setCursor(editor_.PickMode() != 0 ? Qt::CrossCursor : Qt::ArrowCursor);
}

bool TreeView::SpanOf(const ProtoType* node, Span& span) const {
    const ProtoType* top = editor_.Top();
    if (!node || !top) return false;
    // The way up from the node to the top node, through the visual parents.
    std::vector<int> sides;
    const ProtoType* n = node;
    while (n != top) {
        const ProtoType* up = TreeEditor::VisualParent(n);
        if (!up) return false;
        if (up->GetInnerChild(1) == n)
            sides.push_back(1);
        else if (up->GetInnerChild(2) == n)
            sides.push_back(2);
        else
            return false; // not drawn as a branch
        n = up;
    }
    span = Span{0.0, static_cast<double>(Geometry().width), 0};
    for (auto it = sides.rbegin(); it != sides.rend(); ++it) {
        span.width /= 2.0;
        if (*it == 2) span.x += span.width;
        ++span.row;
    }
    return span.width >= 2.0;
}

QRect TreeView::IconRect(const Span& span) const {
    const int rh = RowHeight();
    const int line = fontMetrics().height();
    const double size = std::clamp(std::min({rh * 0.5, span.width * 0.7, line * 3.2}), 4.0,
                                   std::max(4.0, static_cast<double>(rh)));
    const int s = static_cast<int>(size);
    const double cx = span.x + span.width / 2.0 - horizontalScrollBar()->value();
    const int top = span.row * rh - verticalScrollBar()->value() + std::max(2, rh / 14);
    return QRect(static_cast<int>(std::lround(cx - s / 2.0)), top, s, s);
}

QRect TreeView::NodeRect(const ProtoType* node) const {
    Span span{};
    if (!SpanOf(node, span)) return {};
    return IconRect(span);
}

void TreeView::EnsureVisible(const ProtoType* node) {
    const QRect r = NodeRect(node);
    if (r.isNull()) return;
    const QRect vp = viewport()->rect();
    if (r.left() < 0 || r.right() > vp.right())
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() + r.center().x() -
                                        vp.width() / 2);
    if (r.top() < 0 || r.bottom() > vp.bottom())
        verticalScrollBar()->setValue(verticalScrollBar()->value() + r.top() - RowHeight() / 8);
}

void TreeView::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    p.setRenderHint(QPainter::Antialiasing);
    ProtoType* top = editor_.Top();
    if (!top) return;
    const Span span{0.0, static_cast<double>(Geometry().width), 0};
    DrawNode(p, top, span, viewport()->rect());
}

void TreeView::DrawNode(QPainter& p, ProtoType* node, const Span& span, const QRect& clip) {
    const int sx = horizontalScrollBar()->value();
    const int sy = verticalScrollBar()->value();
    const int rh = RowHeight();
    const double left = span.x - sx;
    if (span.width < 2.0 || left > clip.right() + 1 || left + span.width < clip.left()) return;
    const int rowTop = span.row * rh - sy;
    if (rowTop > clip.bottom()) return;
    const QRect icon = IconRect(span);

    // Branches first, so the lines run under the icons.
    for (int which = 1; which <= 2; ++which) {
        ProtoType* c = node->GetInnerChild(which);
        if (!c) continue;
        Span sub{which == 1 ? span.x : span.x + span.width / 2.0, span.width / 2.0, span.row + 1};
        if (sub.width < 2.0) continue;
        const QRect ci = IconRect(sub);
        if (rowTop + rh >= clip.top() || ci.top() >= clip.top()) {
            p.setPen(QPen(palette().color(QPalette::Mid), 0));
            p.drawLine(QPointF(icon.center().x() + 0.5, icon.bottom() + 1),
                       QPointF(ci.center().x() + 0.5, ci.top()));
        }
        DrawNode(p, c, sub, clip);
    }
    if (rowTop + rh < clip.top()) return;

    const Glyph& g = GlyphOf(*node);
    const QFontMetrics fm = fontMetrics();
    const int line = fm.height();
    const int textWidth = static_cast<int>(span.width) - 4;
    const int room = rowTop + rh - icon.bottom() - 2;
    const int lines = textWidth < fm.averageCharWidth() * 2 ? 0 : std::min(2, room / line);

    if (node == editor_.Selected()) {
        const int w =
            std::max(icon.width() + 8, lines ? std::min(textWidth + 4, icon.width() * 3) : 0);
        QRect mark(icon.center().x() - w / 2, icon.top() - 3, w, icon.height() + 6 + lines * line);
        p.setPen(Qt::NoPen);
        p.setBrush(palette().color(QPalette::Highlight));
        p.drawRoundedRect(mark, 4, 4);
    }

    // The glyph.
    const qreal radius = icon.width() / 6.0;
    if (g.null) {
        p.setPen(QPen(g.color, 1.2, Qt::DashLine));
        p.setBrush(palette().color(QPalette::Base));
    } else {
        p.setPen(QPen(g.color.darker(140), 1.0));
        p.setBrush(g.color);
    }
    p.drawRoundedRect(QRectF(icon).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    if (icon.width() >= 12) {
        QFont f = font();
        f.setBold(true);
        f.setPixelSize(
            std::max(6, static_cast<int>(icon.height() * (g.initials.size() > 2 ? 0.30 : 0.38))));
        p.setFont(f);
        p.setPen(g.null ? g.color : QColor(Qt::white));
        p.drawText(icon, Qt::AlignCenter, g.initials);
        p.setFont(font());
    }
    if (node == editor_.Picker()) {
        p.setPen(QPen(QColor(0xd0, 0x30, 0x30), 2.0, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(icon).adjusted(-4, -4, 4, 4), radius + 2, radius + 2);
    }

    // Name and type.
    if (lines > 0) {
        const bool selected = node == editor_.Selected();
        p.setPen(palette().color(selected ? QPalette::HighlightedText : QPalette::Text));
        const int cx = icon.center().x();
        QRect text(cx - textWidth / 2, icon.bottom() + 3, textWidth, line);
        p.drawText(
            text, Qt::AlignHCenter | Qt::AlignTop,
            fm.elidedText(QString::fromStdString(node->GetName()), Qt::ElideRight, textWidth));
        if (lines > 1) {
            p.setPen(
                palette().color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
            text.translate(0, line);
            p.drawText(text, Qt::AlignHCenter | Qt::AlignTop,
                       fm.elidedText(g.typeName, Qt::ElideRight, textWidth));
        }
    }
}

void TreeView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void TreeView::scrollContentsBy(int, int) {
    viewport()->update();
}

void TreeView::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        editor_.LeftClick(at.x(), at.y(), Geometry());
    } else if (event->button() == Qt::RightButton) {
        ProtoType* node = editor_.HitTest(at.x(), at.y(), Geometry());
        if (editor_.PickMode() != 0) {
            editor_.RightClickOn(node); // completes the pick (no menu)
        } else {
            if (node) editor_.Select(node, false);
            Q_EMIT menuRequested(node, event->globalPosition().toPoint());
        }
    }
    event->accept();
}

void TreeView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const QPoint at = event->position().toPoint();
    // The second press of the double click climbed to the parent; the node hit is meant.
    if (ProtoType* node = editor_.HitTest(at.x(), at.y(), Geometry())) editor_.Select(node, false);
    editor_.DoubleClick(at.x(), at.y(), Geometry());
    TreeChanged();
}

void TreeView::wheelEvent(QWheelEvent* event) {
    const QPoint delta = event->angleDelta();
    if (event->modifiers() & Qt::ControlModifier) {
        SetZoom(zoom_ * std::pow(1.25, delta.y() / 120.0), event->position().toPoint());
    } else if (event->modifiers() & Qt::ShiftModifier) {
        const int d = delta.y() != 0 ? delta.y() : delta.x();
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() -
                                        d * horizontalScrollBar()->singleStep() / 40);
    } else {
        verticalScrollBar()->setValue(verticalScrollBar()->value() -
                                      delta.y() * verticalScrollBar()->singleStep() / 40);
        horizontalScrollBar()->setValue(horizontalScrollBar()->value() -
                                        delta.x() * horizontalScrollBar()->singleStep() / 40);
    }
    event->accept();
}

bool TreeView::event(QEvent* event) {
    // While the tree has the focus, its navigation keys go to it and not to the window's
    // shortcuts (Home is also "Goto Start" of the play panel).
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier &&
            (key->key() == Qt::Key_Home || key->key() == Qt::Key_Left ||
             key->key() == Qt::Key_Right || key->key() == Qt::Key_Up ||
             key->key() == Qt::Key_Down)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void TreeView::keyPressEvent(QKeyEvent* event) {
    ProtoType* before = editor_.Selected();
    switch (event->key()) {
    case Qt::Key_Home:
        editor_.GoToRoot();
        break;
    case Qt::Key_Left:
        editor_.GoToLeft();
        break;
    case Qt::Key_Right:
        editor_.GoToRight();
        break;
    case Qt::Key_Up:
        editor_.GoToParent();
        break;
    case Qt::Key_Down:
        if (editor_.Selected() && editor_.Selected()->GetChild(1))
            editor_.GoToLeft();
        else
            editor_.GoToRight();
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (editor_.Selected()) Q_EMIT activated(editor_.Selected());
        return;
    case Qt::Key_Escape:
        if (editor_.PickMode() != 0) {
            editor_.CancelPick();
            return;
        }
        QAbstractScrollArea::keyPressEvent(event);
        return;
    case Qt::Key_Menu: {
        ProtoType* s = editor_.Selected();
        const QRect r = NodeRect(s);
        Q_EMIT menuRequested(s, viewport()->mapToGlobal(r.isNull() ? QPoint() : r.center()));
        return;
    }
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    ProtoType* now = editor_.Selected();
    if (now != before && now && NodeRect(now).isNull()) {
        // Above the top node, or too deep to split: the node becomes the top node.
        Span span{};
        if (!SpanOf(now, span)) editor_.SetTop(now, false);
        TreeChanged();
    }
    EnsureVisible(now);
}

bool TreeView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        ProtoType* node = editor_.HitTest(help->pos().x(), help->pos().y(), Geometry());
        if (!node) {
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        std::string info;
        node->GetInfo(info);
        const QString tip = QStringLiteral("<b>%1</b> (%2)<br>%3")
                                .arg(QString::fromStdString(node->GetName()).toHtmlEscaped(),
                                     GlyphOf(*node).typeName.toHtmlEscaped(),
                                     QString::fromStdString(info).toHtmlEscaped());
        QToolTip::showText(help->globalPos(), tip, viewport(), NodeRect(node));
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

} // namespace gui
