#include "gui/graph_window.h"

#include "events/event_tree.h"
#include "events/song_event.h"

#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace gui {

namespace {

// A tick spacing of 1, 2 or 5 times a power of ten giving at most `most` ticks over `range`.
double TickStep(double range, int most) {
    if (!(range > 0.0) || most < 1) return 1.0;
    const double raw = range / most;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10.0 * p;
}

QString Number(double v) {
    return QString::number(v, 'g', 6);
}

} // namespace

// ---- GraphCanvas ----

GraphCanvas::GraphCanvas(CSELDoc& doc, QWidget* parent) : QWidget(parent), doc_(doc) {
    setObjectName(QStringLiteral("graphCanvas"));
    setMouseTracking(true);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    Reload();
}

QSize GraphCanvas::sizeHint() const {
    return QSize(fontMetrics().averageCharWidth() * 90, fontMetrics().height() * 24);
}

void GraphCanvas::Reload() {
    marks_.clear();
    const double units = std::max<uint32_t>(1, doc_.UnitsPerBeat());
    CEventTree& events = doc_.GetEvents();
    int valueCount = 0;
    for (SongEvent* e = events.First(); e; e = events.Next()) {
        const double beat = e->time / units;
        if (e->IsValue()) {
            marks_.push_back({beat, 0.0, e->GetValue()});
            ++valueCount;
        } else if (e->IsNote()) {
            marks_.push_back({beat, e->GetDuration() / units, double(e->GetData1())});
        }
    }
    values_ = valueCount * 2 > static_cast<int>(marks_.size());
    if (values_)
        marks_.erase(std::remove_if(marks_.begin(), marks_.end(),
                                    [](const Mark& m) { return m.length != 0.0; }),
                     marks_.end());
    low_ = 1e300;
    high_ = -1e300;
    end_ = 0.0;
    for (const Mark& m : marks_) {
        low_ = std::min(low_, m.y);
        high_ = std::max(high_, m.y);
        end_ = std::max(end_, m.beat + m.length);
    }
    if (marks_.empty()) low_ = 0.0, high_ = values_ ? 1.0 : 127.0;
    if (!values_) low_ -= 1.0, high_ += 1.0;
    if (high_ - low_ < 1e-9) low_ -= 0.5, high_ += 0.5;
    end_ = std::max(1.0, std::ceil(end_));
    first_ = 0.0;
    span_ = end_;
    update();
}

void GraphCanvas::SetView(double firstBeat, double beats) {
    span_ = std::clamp(beats, 1.0 / 64.0, std::max(1.0, end_));
    first_ = std::clamp(firstBeat, 0.0, std::max(0.0, end_ - span_));
    update();
}

QRect GraphCanvas::Plot() const {
    const QFontMetrics fm = fontMetrics();
    const int left = fm.horizontalAdvance(QStringLiteral("-00000.0")) + 8;
    return rect().adjusted(left, fm.height() / 2 + 2, -fm.averageCharWidth() * 2,
                           -(fm.height() * 2 + 4));
}

double GraphCanvas::XOf(double beat) const {
    const QRect p = Plot();
    return p.left() + (beat - first_) / span_ * p.width();
}

double GraphCanvas::YOf(double y) const {
    const QRect p = Plot();
    return p.bottom() - (y - low_) / (high_ - low_) * p.height();
}

void GraphCanvas::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect plot = Plot();
    const QFontMetrics fm = fontMetrics();
    const QColor grid = palette().color(QPalette::Midlight);
    const QColor text = palette().color(QPalette::Text);

    // Axes: beats below, values or pitches to the left.
    const double xStep = TickStep(span_, std::max(1, plot.width() / (fm.averageCharWidth() * 8)));
    p.setPen(QPen(grid, 0));
    for (double b = std::ceil(first_ / xStep) * xStep; b <= first_ + span_ + 1e-9; b += xStep) {
        const double x = XOf(b);
        p.setPen(QPen(grid, 0));
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        p.setPen(text);
        p.drawText(QRectF(x - 40, plot.bottom() + 2, 80, fm.height()), Qt::AlignHCenter, Number(b));
    }
    const double yStep = TickStep(high_ - low_, std::max(1, plot.height() / (fm.height() * 2)));
    for (double v = std::ceil(low_ / yStep) * yStep; v <= high_ + 1e-9; v += yStep) {
        const double y = YOf(v);
        p.setPen(QPen(grid, 0));
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(text);
        p.drawText(QRectF(0, y - fm.height() / 2.0, plot.left() - 6, fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, Number(v));
    }
    p.setPen(text);
    p.drawText(QRect(plot.left(), plot.bottom() + fm.height() + 2, plot.width(), fm.height()),
               Qt::AlignHCenter, values_ ? tr("beats (sampled values)") : tr("beats (notes)"));
    p.setPen(QPen(palette().color(QPalette::Mid), 0));
    p.setBrush(Qt::NoBrush);
    p.drawRect(plot);

    p.setClipRect(plot);
    const QColor ink = palette().color(QPalette::Highlight);
    if (values_) {
        p.setPen(QPen(ink, 1.5));
        QPointF last;
        bool have = false;
        for (const Mark& m : marks_) {
            const QPointF at(XOf(m.beat), YOf(m.y));
            if (have) {
                p.drawLine(last, QPointF(at.x(), last.y()));
                p.drawLine(QPointF(at.x(), last.y()), at);
            }
            last = at;
            have = true;
        }
        p.setBrush(ink);
        for (const Mark& m : marks_) p.drawEllipse(QPointF(XOf(m.beat), YOf(m.y)), 2.0, 2.0);
    } else {
        const double h = std::max(2.0, plot.height() / (high_ - low_) * 0.8);
        p.setPen(QPen(ink.darker(130), 0));
        p.setBrush(ink);
        for (const Mark& m : marks_) {
            const double x = XOf(m.beat);
            const double w = std::max(2.0, XOf(m.beat + m.length) - x);
            p.drawRect(QRectF(x, YOf(m.y) - h / 2.0, w, h));
        }
    }
}

QString GraphCanvas::Readout(QPoint at) const {
    const QRect plot = Plot();
    if (!plot.contains(at)) return {};
    const double beat = first_ + double(at.x() - plot.left()) / plot.width() * span_;
    const double y = low_ + double(plot.bottom() - at.y()) / plot.height() * (high_ - low_);
    if (values_) return tr("beat %1, value %2").arg(beat, 0, 'f', 3).arg(y, 0, 'g', 5);
    return tr("beat %1, pitch %2").arg(beat, 0, 'f', 3).arg(std::lround(y));
}

void GraphCanvas::mouseMoveEvent(QMouseEvent* event) {
    Q_EMIT readoutChanged(Readout(event->position().toPoint()));
}

void GraphCanvas::wheelEvent(QWheelEvent* event) {
    const double steps = event->angleDelta().y() / 120.0;
    if (event->modifiers() & Qt::ControlModifier) {
        const QRect plot = Plot();
        const double at =
            first_ + double(event->position().x() - plot.left()) / plot.width() * span_;
        const double span = span_ / std::pow(1.25, steps);
        const double ratio = (at - first_) / span_;
        SetView(at - ratio * span, span);
    } else {
        SetView(first_ - steps * span_ / 10.0, span_);
    }
    event->accept();
}

// ---- GraphWindow ----

GraphWindow::GraphWindow(std::unique_ptr<CSELDoc> doc, QWidget* parent)
    : QWidget(parent, Qt::Window), doc_(std::move(doc)) {
    setObjectName(QStringLiteral("graphWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    canvas_ = new GraphCanvas(*doc_);
    readout_ = new QLabel(QStringLiteral(" "));
    readout_->setObjectName(QStringLiteral("graphReadout"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(canvas_, 1);
    layout->addWidget(readout_);
    connect(canvas_, &GraphCanvas::readoutChanged, readout_, &QLabel::setText);
    setWindowTitle(tr("Graph of %1").arg(QString::fromStdString(doc_->GetTitle())));
}

GraphWindow::~GraphWindow() = default;

// ---- EventTableWindow ----

EventTableWindow::EventTableWindow(std::unique_ptr<CSELDoc> doc, QWidget* parent)
    : QWidget(parent, Qt::Window), doc_(std::move(doc)) {
    setObjectName(QStringLiteral("eventTableWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    table_ = new QTableWidget(0, 6);
    table_->setObjectName(QStringLiteral("eventTable"));
    table_->setHorizontalHeaderLabels(
        {tr("Beat"), tr("Event"), tr("Channel"), tr("Data 1"), tr("Data 2"), tr("Duration")});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_);
    setWindowTitle(tr("%1 (read-only)").arg(QString::fromStdString(doc_->GetTitle())));
    doc_->AddView(this);
    Fill();
    resize(fontMetrics().averageCharWidth() * 80, fontMetrics().height() * 24);
}

EventTableWindow::~EventTableWindow() {
    doc_->RemoveView(this);
    // The editor lets go of the Word's events before it goes.
    doc_->OnCloseDocument();
}

void EventTableWindow::OnUpdate(CDocView*, long) {
    Fill();
}

void EventTableWindow::Fill() {
    CEventTree& events = doc_->GetEvents();
    const double units = std::max<uint32_t>(1, doc_->UnitsPerBeat());
    table_->setRowCount(0);
    int row = 0;
    for (SongEvent* e = events.First(); e; e = events.Next(), ++row) {
        std::string type;
        e->GetTypeName(type);
        table_->insertRow(row);
        const QStringList cells = {QString::number(e->time / units, 'f', 3),
                                   QString::fromStdString(type),
                                   QString::number(e->GetChannel() + 1),
                                   QString::number(e->GetData1()),
                                   QString::number(e->GetData2()),
                                   QString::number(e->GetDuration() / units, 'f', 3)};
        for (int c = 0; c < cells.size(); ++c)
            table_->setItem(row, c, new QTableWidgetItem(cells[c]));
    }
}

} // namespace gui
