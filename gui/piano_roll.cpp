#include "gui/piano_roll.h"

#include "editing/event_editor.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace gui {

namespace {

constexpr double kMinPxPerBeat = 0.002;
constexpr double kMaxPxPerBeat = 4000;
constexpr double kMinRow = 3;
constexpr double kMaxRow = 48;
// Pixels at a note's right end that grab it for resizing.
constexpr int kResizeGrip = 5;
// A press that moves less than this is a click.
constexpr int kClickSlack = 3;

bool IsBlackKey(int key) {
    switch (key % 12) {
    case 1:
    case 3:
    case 6:
    case 8:
    case 10:
        return true;
    default:
        return false;
    }
}

QColor Blend(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t),
                            float(a.greenF() * (1 - t) + b.greenF() * t),
                            float(a.blueF() * (1 - t) + b.blueF() * t));
}

// The colour of a document channel's notes.
QColor TrackColor(int channel) {
    return QColor::fromHsv((200 + channel * 67) % 360, 150, 215);
}

QString KeyName(int key) {
    static const char* const names[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                        "F#", "G",  "G#", "A",  "A#", "B"};
    return QString::fromLatin1(names[key % 12]) + QString::number(key / 12 - 1);
}

} // namespace

PianoRoll::PianoRoll(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("pianoRoll"));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    rowHeight_ = std::max(8, fontMetrics().height() * 2 / 3);
    setMinimumSize(200, 160);
}

void PianoRoll::SetModel(editing::NoteEditor* editor, NoteCache* cache) {
    editor_ = editor;
    cache_ = cache;
    drag_ = Drag::None;
    update();
}

uint32_t PianoRoll::UnitsPerBeat() const {
    if (!editor_) return kDefaultUnitsPerBeat;
    return std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat));
}

uint32_t PianoRoll::GridUnits() const {
    if (snapDivisor_ <= 0) return 1;
    return std::max<uint32_t>(1, UnitsPerBeat() / uint32_t(snapDivisor_));
}

uint32_t PianoRoll::Snap(int64_t t, bool bypass) const {
    t = std::clamp<int64_t>(t, 0, editing::kMaxEditTime);
    if (bypass || snapDivisor_ <= 0) return uint32_t(t);
    const int64_t g = GridUnits();
    const int64_t s = (t + g / 2) / g * g;
    return uint32_t(std::clamp<int64_t>(s, 0, editing::kMaxEditTime));
}

// ---- The view -------------------------------------------------------------------------------

int PianoRoll::KeyboardWidth() const {
    return fontMetrics().horizontalAdvance(QStringLiteral("C#-1")) + fontMetrics().height() * 2;
}

int PianoRoll::RulerHeight() const {
    return fontMetrics().height() + 10;
}

int PianoRoll::LaneHeight() const {
    return std::min(fontMetrics().height() * 4, std::max(0, height() / 4));
}

QRect PianoRoll::NoteArea() const {
    const int top = RulerHeight();
    return QRect(KeyboardWidth(), top, std::max(1, width() - KeyboardWidth()),
                 std::max(1, height() - top - LaneHeight() - 1));
}

QRect PianoRoll::LaneArea() const {
    const int h = LaneHeight();
    return QRect(KeyboardWidth(), height() - h, std::max(1, width() - KeyboardWidth()), h);
}

double PianoRoll::XOfTime(double units) const {
    return NoteArea().left() + (units - origin_) * pxPerBeat_ / UnitsPerBeat();
}

double PianoRoll::TimeAtX(double x) const {
    return origin_ + (x - NoteArea().left()) * UnitsPerBeat() / pxPerBeat_;
}

double PianoRoll::YOfKey(int key) const {
    return NoteArea().top() + (127 - key) * rowHeight_ - originY_;
}

int PianoRoll::KeyAtY(double y) const {
    const int row = int(std::floor((y - NoteArea().top() + originY_) / rowHeight_));
    return std::clamp(127 - row, 0, 127);
}

QRectF PianoRoll::NoteRect(const NoteBar& bar) const {
    const double x0 = XOfTime(bar.time);
    const double x1 = std::max(XOfTime(bar.end), x0 + 1);
    return QRectF(x0, YOfKey(bar.key), x1 - x0, rowHeight_);
}

double PianoRoll::VisibleUnits() const {
    return NoteArea().width() * double(UnitsPerBeat()) / pxPerBeat_;
}

double PianoRoll::ContentUnits() const {
    const double end = cache_ ? double(cache_->End()) : 0.0;
    // Room for a few bars after the last note, to draw into.
    return std::max(end, origin_) + 4.0 * kBeatsPerBar * UnitsPerBeat();
}

void PianoRoll::ClampOrigin() {
    origin_ = std::clamp(origin_, 0.0, std::max(0.0, ContentUnits() - VisibleUnits() * 0.5));
    originY_ = std::clamp(originY_, 0.0, std::max(0.0, ContentHeight() - NoteArea().height()));
}

void PianoRoll::SetPixelsPerBeat(double px, double anchorX) {
    px = std::clamp(px, kMinPxPerBeat, kMaxPxPerBeat);
    if (anchorX < 0) anchorX = NoteArea().left();
    const double at = TimeAtX(anchorX);
    pxPerBeat_ = px;
    origin_ = at - (anchorX - NoteArea().left()) * UnitsPerBeat() / pxPerBeat_;
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void PianoRoll::SetRowHeight(double px) {
    const double middle = (originY_ + NoteArea().height() / 2.0) / rowHeight_;
    rowHeight_ = std::clamp(px, kMinRow, kMaxRow);
    originY_ = middle * rowHeight_ - NoteArea().height() / 2.0;
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void PianoRoll::SetOriginTime(double units) {
    origin_ = units;
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void PianoRoll::SetOriginY(double y) {
    originY_ = y;
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void PianoRoll::CentreKey(int key) {
    SetOriginY((127 - key + 0.5) * rowHeight_ - NoteArea().height() / 2.0);
}

void PianoRoll::ZoomToFit() {
    const double end = cache_ && cache_->End() > 0 ? cache_->End() : 4.0 * UnitsPerBeat();
    origin_ = 0;
    pxPerBeat_ =
        std::clamp(NoteArea().width() * 0.97 * UnitsPerBeat() / end, kMinPxPerBeat, kMaxPxPerBeat);
    if (cache_ && !cache_->Notes().empty()) {
        const int span = cache_->HighKey() - cache_->LowKey() + 3;
        rowHeight_ = std::clamp(double(NoteArea().height()) / span, kMinRow, kMaxRow);
        CentreKey((cache_->HighKey() + cache_->LowKey()) / 2);
    }
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void PianoRoll::SetPlayPosition(std::optional<uint32_t> units, bool follow) {
    if (units == playPosition_) return;
    playPosition_ = units;
    if (units && follow) {
        const double visible = VisibleUnits();
        if (*units < origin_ || *units > origin_ + visible * 0.95)
            SetOriginTime(*units - visible * 0.05);
    }
    update();
}

// ---- Painting -------------------------------------------------------------------------------

void PianoRoll::paintEvent(QPaintEvent*) {
    QPainter p(this);
    PaintAll(p);
}

void PianoRoll::PaintAll(QPainter& p) {
    const QRect area = NoteArea();
    p.fillRect(rect(), palette().color(QPalette::Window));
    p.save();
    p.setClipRect(area);
    PaintGrid(p, area);
    PaintNotes(p, area);
    p.restore();
    const QRect lane = LaneArea();
    p.save();
    p.setClipRect(lane);
    PaintLane(p, lane);
    p.restore();
    PaintRuler(p);
    PaintKeyboard(p);
    // The separator above the lane.
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(0, lane.top() - 1, width(), lane.top() - 1);
}

double PianoRoll::LineStepBeats() const {
    // Beats, or bars, or multiples of bars, or fractions of a beat, at least 8 pixels apart.
    double step = 1;
    if (snapDivisor_ > 0 && pxPerBeat_ / snapDivisor_ >= 8) return 1.0 / snapDivisor_;
    while (step * pxPerBeat_ < 8) step *= step < kBeatsPerBar ? kBeatsPerBar : 2;
    return step;
}

void PianoRoll::PaintGrid(QPainter& p, const QRect& area) {
    const QColor base = palette().color(QPalette::Base);
    const QColor text = palette().color(QPalette::Text);
    p.fillRect(area, base);
    const QColor black = Blend(base, text, 0.06);
    const QColor octave = Blend(base, text, 0.18);
    const int top = KeyAtY(area.top()), bottom = KeyAtY(area.bottom());
    if (rowHeight_ >= 4) {
        for (int key = top; key >= bottom; --key) {
            const double y = YOfKey(key);
            if (IsBlackKey(key))
                p.fillRect(QRectF(area.left(), y, area.width(), rowHeight_), black);
            if (key % 12 == 0) {
                p.setPen(octave);
                p.drawLine(QPointF(area.left(), y + rowHeight_),
                           QPointF(area.right(), y + rowHeight_));
            }
        }
    }
    const double upb = UnitsPerBeat();
    const double step = LineStepBeats();
    const double firstBeat = std::floor(TimeAtX(area.left()) / upb / step) * step;
    const double lastBeat = TimeAtX(area.right() + 1) / upb;
    const QColor beatLine = Blend(base, text, 0.12);
    const QColor barLine = Blend(base, text, 0.3);
    const QColor fine = Blend(base, text, 0.06);
    for (double b = std::max(0.0, firstBeat); b <= lastBeat; b += step) {
        const double x = std::round(XOfTime(b * upb)) + 0.5;
        const bool bar = std::fmod(b, kBeatsPerBar) < 1e-9;
        const bool beat = std::fmod(b, 1.0) < 1e-9;
        p.setPen(bar ? barLine : beat ? beatLine : fine);
        p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom() + 1));
    }
    // The range of range mode.
    if (editor_ && editor_->RangeMode()) {
        QColor shade = palette().color(QPalette::Highlight);
        shade.setAlphaF(0.18f);
        const double x0 = XOfTime(editor_->RangeStart()), x1 = XOfTime(editor_->RangeEnd());
        p.fillRect(QRectF(x0, area.top(), std::max(1.0, x1 - x0), area.height()), shade);
    }
}

int64_t PianoRoll::DragTimeDelta(bool bypass) const {
    const double raw = (dragAt_.x() - pressAt_.x()) * double(UnitsPerBeat()) / pxPerBeat_;
    if (drag_ == Drag::Move) {
        const int64_t start = int64_t(dragNote_.time) + int64_t(std::llround(raw));
        return int64_t(Snap(start, bypass)) - int64_t(dragNote_.time);
    }
    if (drag_ == Drag::Resize) {
        const int64_t end = int64_t(dragNote_.end) + int64_t(std::llround(raw));
        const int64_t snapped = std::max<int64_t>(Snap(end, bypass), int64_t(dragNote_.time) + 1);
        return snapped - int64_t(dragNote_.end);
    }
    return 0;
}

int PianoRoll::DragKeyDelta() const {
    if (drag_ != Drag::Move) return 0;
    return KeyAtY(dragAt_.y()) - KeyAtY(pressAt_.y());
}

void PianoRoll::PaintNotes(QPainter& p, const QRect& area) {
    if (!cache_ || !editor_) return;
    const std::vector<NoteBar>& notes = cache_->Notes();
    const double t0 = std::max(0.0, TimeAtX(area.left()));
    const double t1 = TimeAtX(area.right() + 1);
    const size_t first = cache_->FirstSounding(uint32_t(t0));
    const size_t last = cache_->FirstFrom(uint32_t(std::min(t1 + 1, double(UINT32_MAX))));
    const int keyTop = KeyAtY(area.top()), keyBottom = KeyAtY(area.bottom());
    const bool anySelected = editor_->HasSelection();
    const bool moving = drag_ == Drag::Move || drag_ == Drag::Resize;
    const bool bypass = QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier;
    const int64_t dt = moving ? DragTimeDelta(bypass) : 0;
    const int dk = DragKeyDelta();
    const QColor selected = palette().color(QPalette::Highlight);

    if (last - first > kDetailLimit) {
        // Many notes: spans written into the image, one colour per track.
        const qreal dpr = devicePixelRatioF();
        const QSize size(int(std::ceil(area.width() * dpr)), int(std::ceil(area.height() * dpr)));
        if (layer_.size() != size) layer_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
        layer_.fill(Qt::transparent);
        std::array<uint32_t, 16> colors;
        for (int i = 0; i < 16; ++i) colors[size_t(i)] = TrackColor(i).rgba();
        const uint32_t sel = selected.rgba();
        uchar* bits = layer_.bits();
        const qsizetype bpl = layer_.bytesPerLine();
        const int w = size.width(), h = size.height();
        const double scale = pxPerBeat_ / UnitsPerBeat() * dpr;
        const double left = (area.left() - XOfTime(0)) * dpr; // pixels from time 0
        const double rowPx = rowHeight_ * dpr;
        const double topPx = (NoteArea().top() - area.top() - originY_) * dpr;
        const int gap = rowPx >= 4 ? 1 : 0;
        for (size_t i = first; i < last; ++i) {
            const NoteBar& b = notes[i];
            const bool isSel = anySelected && editor_->IsSelected(b.event);
            int key = b.key;
            double start = b.time, end = b.end;
            if (isSel && moving) {
                if (drag_ == Drag::Move) {
                    key = std::clamp(key + dk, 0, 127);
                    start += double(dt);
                    end += double(dt);
                } else {
                    end = std::max(start + 1, end + double(dt));
                }
            }
            if (key > keyTop || key < keyBottom) continue;
            const double x0 = start * scale - left;
            const double x1 = end * scale - left;
            int ix0 = int(std::floor(x0));
            int ix1 = std::max(ix0 + 1, int(std::ceil(x1)));
            ix0 = std::max(ix0, 0);
            ix1 = std::min(ix1, w);
            if (ix1 <= ix0) continue;
            const double y0 = topPx + (127 - key) * rowPx;
            const int iy0 = std::max(0, int(std::round(y0)));
            const int iy1 = std::min(h, std::max(iy0 + 1, int(std::round(y0 + rowPx)) - gap));
            const uint32_t c = isSel ? sel : colors[size_t(b.channel % 16)];
            for (int y = iy0; y < iy1; ++y)
                std::fill_n(reinterpret_cast<uint32_t*>(bits + y * bpl) + ix0, ix1 - ix0, c);
        }
        layer_.setDevicePixelRatio(dpr);
        p.drawImage(area.topLeft(), layer_);
    } else {
        // Few notes: framed bars, lighter for quieter notes. The colours are worked out once per
        // paint (16 tracks by 8 loudness steps) and the frames drawn in one call per colour.
        p.setRenderHint(QPainter::Antialiasing, false);
        const QColor text = palette().color(QPalette::Text);
        const QColor base = palette().color(QPalette::Base);
        const bool names = rowHeight_ >= fontMetrics().height() - 2;
        std::array<std::array<QColor, 8>, 17> bodies;
        std::array<QColor, 17> frames;
        for (int t = 0; t < 17; ++t) {
            const QColor fill = t == 16 ? selected : TrackColor(t);
            frames[size_t(t)] = t == 16 ? text : fill.darker(150);
            for (int v = 0; v < 8; ++v)
                bodies[size_t(t)][size_t(v)] = Blend(base, fill, 0.45 + 0.55 * (v + 1) / 8.0);
        }
        std::array<QVector<QRect>, 17> outlines;
        const double nameWidth = fontMetrics().horizontalAdvance(QStringLiteral("C#0")) + 4;
        for (size_t i = first; i < last; ++i) {
            const NoteBar& b = notes[i];
            if (b.end < t0) continue;
            const bool isSel = anySelected && editor_->IsSelected(b.event);
            NoteBar shown = b;
            if (isSel && moving) {
                if (drag_ == Drag::Move) {
                    shown.key = uint8_t(std::clamp(int(b.key) + dk, 0, 127));
                    shown.time = uint32_t(std::max<int64_t>(0, int64_t(b.time) + dt));
                    shown.end = uint32_t(std::max<int64_t>(shown.time + 1, int64_t(b.end) + dt));
                } else {
                    shown.end = uint32_t(std::max<int64_t>(b.time + 1, int64_t(b.end) + dt));
                }
            }
            if (shown.key > keyTop || shown.key < keyBottom) continue;
            // Whole pixels: the painter's fastest fill.
            const QRectF f = NoteRect(shown);
            const int x0 = int(std::lround(f.left())), y0 = int(std::lround(f.top()));
            const QRect r(
                x0, y0, std::max(1, int(std::lround(f.right())) - x0),
                std::max(1, int(std::lround(f.bottom())) - y0 - (rowHeight_ >= 4 ? 1 : 0)));
            const size_t t = isSel ? 16 : size_t(b.channel % 16);
            p.fillRect(r, bodies[t][size_t(std::min(7, b.velocity / 16))]);
            if (r.width() >= 3 && r.height() >= 3) outlines[t].append(r.adjusted(0, 0, -1, -1));
            if (names && r.width() > nameWidth) {
                p.setPen(isSel ? palette().color(QPalette::HighlightedText) : text);
                p.drawText(r.adjusted(3, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft,
                           KeyName(shown.key));
            }
        }
        p.setBrush(Qt::NoBrush);
        for (size_t t = 0; t < outlines.size(); ++t)
            if (!outlines[t].isEmpty()) {
                p.setPen(frames[t]);
                p.drawRects(outlines[t]);
            }
    }

    // The insertion point, the play position and the rubber band.
    const QColor text = palette().color(QPalette::Text);
    if (!editor_->RangeMode()) {
        QPen pen(Blend(palette().color(QPalette::Base), text, 0.55), 1, Qt::DashLine);
        p.setPen(pen);
        const double x = std::round(XOfTime(editor_->InsertionPoint())) + 0.5;
        p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom() + 1));
    }
    if (playPosition_) {
        p.setPen(QPen(QColor(220, 40, 40), 2));
        const double x = XOfTime(*playPosition_);
        p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom() + 1));
    }
    if (drag_ == Drag::Band) {
        QColor fill = selected;
        fill.setAlphaF(0.2f);
        const QRect band = QRect(pressAt_, dragAt_).normalized();
        p.fillRect(band, fill);
        p.setPen(selected);
        p.drawRect(band.adjusted(0, 0, -1, -1));
    }
}

void PianoRoll::PaintLane(QPainter& p, const QRect& lane) {
    const QColor base = palette().color(QPalette::Base);
    const QColor text = palette().color(QPalette::Text);
    p.fillRect(lane, base);
    p.setPen(Blend(base, text, 0.12));
    p.drawLine(lane.left(), lane.top() + lane.height() / 2, lane.right(),
               lane.top() + lane.height() / 2);
    if (!cache_ || !editor_ || lane.height() < 6) return;
    const std::vector<NoteBar>& notes = cache_->Notes();
    const double t0 = std::max(0.0, TimeAtX(lane.left()));
    const double t1 = TimeAtX(lane.right() + 1);
    const size_t first = cache_->FirstFrom(uint32_t(t0));
    const size_t last = cache_->FirstFrom(uint32_t(std::min(t1 + 1, double(UINT32_MAX))));
    const bool anySelected = editor_->HasSelection();
    const double usable = lane.height() - 4;
    const int bottom = lane.bottom() - 1;
    const QColor selected = palette().color(QPalette::Highlight);
    if (last - first > kDetailLimit) {
        // The highest velocity of each pixel column.
        std::vector<uint8_t> column(size_t(lane.width()), 0);
        std::vector<uint8_t> chosen(size_t(lane.width()), 0);
        const double scale = pxPerBeat_ / UnitsPerBeat();
        for (size_t i = first; i < last; ++i) {
            const NoteBar& b = notes[i];
            const int x = int((b.time - origin_) * scale);
            if (x < 0 || x >= lane.width()) continue;
            if (b.velocity >= column[size_t(x)]) column[size_t(x)] = b.velocity;
            if (anySelected && editor_->IsSelected(b.event)) chosen[size_t(x)] = 1;
        }
        const QColor plain = TrackColor(1);
        for (int x = 0; x < lane.width(); ++x) {
            const uint8_t v = column[size_t(x)];
            if (!v) continue;
            p.setPen(chosen[size_t(x)] ? selected : plain);
            p.drawLine(lane.left() + x, bottom, lane.left() + x, bottom - int(usable * v / 127));
        }
        return;
    }
    // Stems with a knob on top, two rectangles each.
    std::array<QColor, 16> colors;
    for (int t = 0; t < 16; ++t) colors[size_t(t)] = TrackColor(t);
    const int knob = std::max(3, fontMetrics().height() / 4);
    for (size_t i = first; i < last; ++i) {
        const NoteBar& b = notes[i];
        const bool isSel = anySelected && editor_->IsSelected(b.event);
        const int x = int(std::round(XOfTime(b.time)));
        const int y = int(bottom - usable * b.velocity / 127.0);
        const QColor& c = isSel ? selected : colors[size_t(b.channel % 16)];
        p.fillRect(QRect(x, y, 2, bottom - y + 1), c);
        p.fillRect(QRect(x - knob / 2, y - knob / 2, knob + 1, knob), c);
    }
    if (drag_ == Drag::Velocity) {
        p.setPen(QPen(selected, 1, Qt::DashLine));
        p.drawLine(lane.left(), dragAt_.y(), lane.right(), dragAt_.y());
    }
}

void PianoRoll::PaintRuler(QPainter& p) {
    const QRect ruler(KeyboardWidth(), 0, width() - KeyboardWidth(), RulerHeight());
    const QColor window = palette().color(QPalette::Window);
    const QColor text = palette().color(QPalette::WindowText);
    p.fillRect(ruler, Blend(window, palette().color(QPalette::Base), 0.5));
    p.save();
    p.setClipRect(ruler);
    const double upb = UnitsPerBeat();
    // Bar numbers where there is room for them; beat ticks where they do not crowd.
    const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 6;
    double barStep = 1;
    while (barStep * kBeatsPerBar * pxPerBeat_ < labelWidth) barStep *= 2;
    const double firstBar =
        std::floor(TimeAtX(ruler.left()) / upb / kBeatsPerBar / barStep) * barStep;
    const double lastBar = TimeAtX(ruler.right() + 1) / upb / kBeatsPerBar;
    p.setPen(text);
    for (double bar = std::max(0.0, firstBar); bar <= lastBar; bar += barStep) {
        const double x = std::round(XOfTime(bar * kBeatsPerBar * upb)) + 0.5;
        p.drawLine(QPointF(x, ruler.bottom() - fontMetrics().height() / 2.0 - 4),
                   QPointF(x, ruler.bottom()));
        p.drawText(QRectF(x + 3, 1, labelWidth, ruler.height() - 4),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::number(int64_t(bar) + 1));
    }
    if (pxPerBeat_ >= 6) {
        const double firstBeat = std::floor(TimeAtX(ruler.left()) / upb);
        for (double b = std::max(0.0, firstBeat); b <= lastBar * kBeatsPerBar; b += 1) {
            const double x = std::round(XOfTime(b * upb)) + 0.5;
            p.drawLine(QPointF(x, ruler.bottom() - 3), QPointF(x, ruler.bottom()));
        }
    }
    // Events that are not notes (tempo, controllers, programs...) as marks on the ruler.
    if (cache_) {
        const std::vector<EventMark>& marks = cache_->Marks();
        const double t0 = TimeAtX(ruler.left()), t1 = TimeAtX(ruler.right());
        auto it = std::lower_bound(marks.begin(), marks.end(), uint32_t(std::max(0.0, t0)),
                                   [](const EventMark& m, uint32_t v) { return m.time < v; });
        int lastX = -1;
        p.setPen(Blend(window, text, 0.45));
        for (; it != marks.end() && it->time <= t1; ++it) {
            const int x = int(XOfTime(it->time));
            if (x == lastX) continue;
            lastX = x;
            p.drawLine(x, ruler.bottom() - 6, x, ruler.bottom() - 3);
        }
    }
    // The insertion point as a triangle, the range as a bar.
    if (editor_) {
        p.setRenderHint(QPainter::Antialiasing, true);
        if (editor_->RangeMode()) {
            QColor shade = palette().color(QPalette::Highlight);
            const double x0 = XOfTime(editor_->RangeStart()), x1 = XOfTime(editor_->RangeEnd());
            p.fillRect(QRectF(x0, ruler.bottom() - 3, std::max(1.0, x1 - x0), 3), shade);
        } else {
            const double x = XOfTime(editor_->InsertionPoint());
            const double s = fontMetrics().height() / 3.0;
            const QPointF tri[3] = {{x - s, double(ruler.bottom()) - s},
                                    {x + s, double(ruler.bottom()) - s},
                                    {x, double(ruler.bottom())}};
            p.setPen(Qt::NoPen);
            p.setBrush(text);
            p.drawPolygon(tri, 3);
        }
        if (playPosition_) {
            p.setPen(QPen(QColor(220, 40, 40), 2));
            const double x = XOfTime(*playPosition_);
            p.drawLine(QPointF(x, 0), QPointF(x, ruler.bottom()));
        }
    }
    p.restore();
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(0, ruler.bottom(), width(), ruler.bottom());
}

void PianoRoll::PaintKeyboard(QPainter& p) {
    const QRect area = NoteArea();
    const QRect keys(0, area.top(), KeyboardWidth(), area.height());
    p.fillRect(QRect(0, 0, keys.width(), RulerHeight()), palette().color(QPalette::Window));
    p.fillRect(QRect(0, LaneArea().top(), keys.width(), LaneArea().height()),
               palette().color(QPalette::Window));
    p.save();
    p.setClipRect(keys);
    p.fillRect(keys, QColor(250, 250, 250));
    const int top = KeyAtY(area.top()), bottom = KeyAtY(area.bottom());
    const int blackWidth = keys.width() * 3 / 5;
    const bool labels = rowHeight_ * 12 >= fontMetrics().height() * 1.2;
    p.setFont(font());
    for (int key = top; key >= bottom; --key) {
        const double y = YOfKey(key);
        if (IsBlackKey(key)) {
            p.fillRect(QRectF(0, y, blackWidth, rowHeight_), QColor(40, 40, 40));
        } else if (key % 12 == 0 || key % 12 == 5) {
            p.setPen(QColor(170, 170, 170));
            p.drawLine(QPointF(0, y + rowHeight_), QPointF(keys.width(), y + rowHeight_));
        }
        if (key % 12 == 0 && labels) {
            p.setPen(QColor(60, 60, 60));
            p.drawText(QRectF(blackWidth, y + rowHeight_ - fontMetrics().height() - 1,
                              keys.width() - blackWidth - 3, fontMetrics().height()),
                       Qt::AlignRight | Qt::AlignBottom, KeyName(key));
        }
    }
    p.restore();
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(keys.right(), 0, keys.right(), height());
    // The lane's scale.
    const QRect lane = LaneArea();
    p.setPen(palette().color(QPalette::WindowText));
    if (lane.height() >= fontMetrics().height() * 2)
        p.drawText(QRect(2, lane.top(), keys.width() - 6, lane.height()),
                   Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Vel"));
}

// ---- Input ----------------------------------------------------------------------------------

const NoteBar* PianoRoll::NoteAt(QPoint pos) const {
    if (!cache_ || !NoteArea().contains(pos)) return nullptr;
    const int key = KeyAtY(pos.y());
    const double t = TimeAtX(pos.x());
    if (t < 0) return nullptr;
    const std::vector<NoteBar>& notes = cache_->Notes();
    const NoteBar* found = nullptr;
    // A bar at least a pixel wide: a note shorter than a pixel is hit on its pixel.
    const double slack = UnitsPerBeat() / pxPerBeat_;
    const size_t last = cache_->FirstFrom(uint32_t(std::min(t + 1, double(UINT32_MAX))));
    for (size_t i = cache_->FirstSounding(uint32_t(std::max(0.0, t - slack))); i < last; ++i) {
        const NoteBar& b = notes[i];
        if (b.key == key && (b.end > t || b.time + slack > t) && editor_ &&
            editor_->IsTrackSelected(b.channel))
            found = &b;
    }
    return found;
}

void PianoRoll::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (!editor_ || event->button() != Qt::LeftButton) return;
    pressAt_ = dragAt_ = event->position().toPoint();
    pressModifiers_ = event->modifiers();
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const editing::SelectMode mode = ctrl    ? editing::SelectMode::Toggle
                                     : shift ? editing::SelectMode::Add
                                             : editing::SelectMode::Replace;
    const QRect area = NoteArea();
    const double t = std::max(0.0, TimeAtX(pressAt_.x()));

    if (pressAt_.y() < RulerHeight() && pressAt_.x() >= area.left()) {
        // The ruler: the insertion point, or in range mode the start of a range.
        if (editor_->RangeMode()) {
            rangeAnchor_ = Snap(int64_t(t), shift);
            editor_->SetRange(rangeAnchor_, rangeAnchor_);
            drag_ = Drag::Range;
        } else {
            editor_->SetInsertionPoint(Snap(int64_t(t), shift));
        }
        return;
    }
    if (LaneArea().contains(pressAt_)) {
        if (!readOnly_) drag_ = Drag::Velocity;
        update();
        return;
    }
    if (pressAt_.x() < area.left()) {
        // A key of the keyboard: its notes.
        const int key = KeyAtY(pressAt_.y());
        editor_->SelectRect(0, UINT32_MAX, key, key, mode);
        return;
    }
    if (!area.contains(pressAt_)) return;
    if (editor_->RangeMode()) {
        rangeAnchor_ = Snap(int64_t(t), shift);
        editor_->SetRange(rangeAnchor_, rangeAnchor_);
        drag_ = Drag::Range;
        return;
    }
    if (const NoteBar* hit = NoteAt(pressAt_)) {
        const NoteBar bar = *hit;
        if (mode != editing::SelectMode::Replace || !editor_->IsSelected(bar.event))
            editor_->Click(bar.channel, bar.event, bar.time, mode);
        if (!readOnly_ && editor_->IsSelected(bar.event)) {
            dragNote_ = bar;
            const QRectF r = NoteRect(bar);
            drag_ = r.width() > 3 * kResizeGrip && pressAt_.x() >= r.right() - kResizeGrip
                        ? Drag::Resize
                        : Drag::Move;
        }
        return;
    }
    if (tool_ == Tool::Pencil && !readOnly_) {
        const int channel =
            std::clamp(editor_->Doc().GetCurrentChannel(), 1, std::max(1, editor_->TrackCount()));
        const uint32_t at = Snap(int64_t(t) - (snapDivisor_ > 0 ? GridUnits() / 2 : 0), shift);
        const int key = KeyAtY(pressAt_.y());
        const uint32_t length = GridUnits() > 1 ? GridUnits() : UnitsPerBeat();
        if (editor_->InsertNote(channel, at, key, length, velocity_,
                                cache_ ? cache_->MidiChannelOf(channel) : 0)) {
            Edited();
            // Dragging on lengthens the new note.
            dragNote_ = NoteBar{};
            dragNote_.time = at;
            dragNote_.end = at + length;
            dragNote_.key = uint8_t(key);
            drag_ = Drag::Resize;
        }
        return;
    }
    drag_ = Drag::Band;
}

void PianoRoll::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (drag_ == Drag::None) {
        // The cursor tells what a press would do.
        const NoteBar* hit = NoteArea().contains(pos) ? NoteAt(pos) : nullptr;
        if (hit && !readOnly_ && pos.x() >= NoteRect(*hit).right() - kResizeGrip &&
            NoteRect(*hit).width() > 3 * kResizeGrip)
            setCursor(Qt::SizeHorCursor);
        else if (!hit && tool_ == Tool::Pencil && !readOnly_ && NoteArea().contains(pos))
            setCursor(Qt::CrossCursor);
        else
            unsetCursor();
        return;
    }
    dragAt_ = pos;
    if (drag_ == Drag::Range) {
        const bool shift = event->modifiers() & Qt::ShiftModifier;
        editor_->SetRange(rangeAnchor_, Snap(int64_t(std::max(0.0, TimeAtX(pos.x()))), shift));
    }
    update();
}

void PianoRoll::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || drag_ == Drag::None) return;
    dragAt_ = event->position().toPoint();
    FinishDrag(event);
}

void PianoRoll::FinishDrag(QMouseEvent* event) {
    const Drag drag = drag_;
    drag_ = Drag::None;
    if (!editor_) return;
    const bool bypass = event->modifiers() & Qt::ShiftModifier;
    const bool click = (dragAt_ - pressAt_).manhattanLength() < kClickSlack;
    switch (drag) {
    case Drag::Band: {
        const editing::SelectMode mode =
            (pressModifiers_ & Qt::ControlModifier) ? editing::SelectMode::Toggle
            : (pressModifiers_ & Qt::ShiftModifier) ? editing::SelectMode::Add
                                                    : editing::SelectMode::Replace;
        if (click) {
            if (mode == editing::SelectMode::Replace) editor_->ClearSelection();
            editor_->SetInsertionPoint(Snap(int64_t(std::max(0.0, TimeAtX(pressAt_.x()))),
                                            pressModifiers_ & Qt::ShiftModifier));
        } else {
            const QRect band = QRect(pressAt_, dragAt_).normalized();
            const uint32_t from = uint32_t(std::max(0.0, TimeAtX(band.left())));
            const uint32_t to = uint32_t(std::max(0.0, TimeAtX(band.right())));
            editor_->SelectRect(from, to, KeyAtY(band.bottom()), KeyAtY(band.top()), mode);
        }
        break;
    }
    case Drag::Move: {
        drag_ = Drag::Move; // the deltas read the kind of drag
        const int64_t dt = DragTimeDelta(bypass);
        const int dk = DragKeyDelta();
        drag_ = Drag::None;
        if (!click && (dt != 0 || dk != 0) && editor_->MoveSelection(dt, dk)) Edited();
        break;
    }
    case Drag::Resize: {
        drag_ = Drag::Resize;
        const int64_t dd = DragTimeDelta(bypass);
        drag_ = Drag::None;
        if (!click && dd != 0 && editor_->ResizeSelection(dd)) Edited();
        break;
    }
    case Drag::Velocity: {
        const QRect lane = LaneArea();
        const double usable = lane.height() - 4;
        const int v = std::clamp(
            int(std::lround((lane.bottom() - 1 - dragAt_.y()) * 127.0 / usable)), 1, 127);
        // The note whose stem is nearest to the press, within a few pixels.
        if (cache_) {
            const double t = TimeAtX(pressAt_.x());
            const double slack = 4.0 * UnitsPerBeat() / pxPerBeat_;
            const std::vector<NoteBar>& notes = cache_->Notes();
            const NoteBar* best = nullptr;
            for (size_t i = cache_->FirstFrom(uint32_t(std::max(0.0, t - slack)));
                 i < notes.size() && notes[i].time <= t + slack; ++i)
                if (editor_->IsTrackSelected(notes[i].channel) &&
                    (!best || std::abs(notes[i].time - t) < std::abs(best->time - t)))
                    best = &notes[i];
            if (best) {
                editing::EventChange change;
                change.data2 = v;
                const editing::EventRef ref{best->channel, best->event, best->time};
                if (editor_->EditEvent(ref, change)) Edited();
            }
        }
        break;
    }
    case Drag::Range:
    case Drag::None:
        break;
    }
    update();
}

void PianoRoll::Edited() {
    Q_EMIT edited();
}

void PianoRoll::wheelEvent(QWheelEvent* event) {
    const QPoint delta = event->angleDelta();
    const double steps = (delta.y() != 0 ? delta.y() : delta.x()) / 120.0;
    if (steps == 0) return;
    const Qt::KeyboardModifiers mods = event->modifiers();
    if ((mods & Qt::ControlModifier) && (mods & Qt::ShiftModifier)) {
        SetRowHeight(rowHeight_ * std::pow(1.15, steps));
    } else if (mods & Qt::ControlModifier) {
        SetPixelsPerBeat(pxPerBeat_ * std::pow(1.25, steps), event->position().x());
    } else if ((mods & Qt::ShiftModifier) || delta.x() != 0) {
        SetOriginTime(origin_ - steps * VisibleUnits() / 10);
    } else {
        SetOriginY(originY_ - steps * rowHeight_ * 3);
    }
    event->accept();
}

void PianoRoll::keyPressEvent(QKeyEvent* event) {
    if (!editor_) return QWidget::keyPressEvent(event);
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool alt = event->modifiers() & Qt::AltModifier;
    int64_t dt = 0;
    int dk = 0;
    switch (event->key()) {
    case Qt::Key_Left:
        dt = -int64_t(alt ? 1 : GridUnits());
        break;
    case Qt::Key_Right:
        dt = int64_t(alt ? 1 : GridUnits());
        break;
    case Qt::Key_Up:
        dk = shift ? 12 : 1;
        break;
    case Qt::Key_Down:
        dk = shift ? -12 : -1;
        break;
    case Qt::Key_Escape:
        editor_->ClearSelection();
        return;
    default:
        return QWidget::keyPressEvent(event);
    }
    if (!readOnly_ && editor_->MoveSelection(dt, dk)) Edited();
    event->accept();
}

void PianoRoll::contextMenuEvent(QContextMenuEvent* event) {
    if (!menu_ || !editor_) return;
    // A right click on a note that is not selected selects it first.
    if (const NoteBar* hit = NoteAt(event->pos()); hit && !editor_->IsSelected(hit->event))
        editor_->Click(hit->channel, hit->event, hit->time, editing::SelectMode::Replace);
    menu_->popup(event->globalPos());
}

void PianoRoll::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ClampOrigin();
    Q_EMIT viewChanged();
}

} // namespace gui
