#include "gui/staff_view.h"

#include "editing/event_editor.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>

namespace gui {

namespace {

// The diatonic steps of the treble staff's lines (E4 G4 B4 D5 F5) and the bass staff's (G2 B2 D3
// F3 A3), counted from C-1.
constexpr int kStepC4 = 35;
constexpr int kTrebleBottom = kStepC4 + 2; // E4
constexpr int kBassBottom = kStepC4 - 10;  // G2
constexpr int kMaxNotesDrawn = 6000;

// Pitch classes of the major scale on C.
constexpr std::array<bool, 12> kMajor = {true,  false, true,  false, true,  true,
                                         false, true,  false, true,  false, true};

// The tonic of a signature's major key (pitch class).
int TonicOf(int signature) {
    return ((signature * 7) % 12 + 12) % 12;
}

} // namespace

int BestKeySignature(const NoteCache& cache, const editing::NoteEditor* editor) {
    std::array<int64_t, 12> count{};
    for (const NoteBar& b : cache.Notes())
        if (!editor || editor->IsTrackSelected(b.channel)) ++count[b.key % 12];
    int best = 0;
    int64_t bestScore = -1;
    // Signatures by their number of accidentals, so that a tie keeps the simpler key.
    for (int n : {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6}) {
        const int tonic = TonicOf(n);
        int64_t score = 0;
        for (int pc = 0; pc < 12; ++pc)
            if (kMajor[size_t((pc - tonic + 12) % 12)]) score += count[size_t(pc)];
        if (score > bestScore) {
            bestScore = score;
            best = n;
        }
    }
    return best;
}

QString KeyNameOf(int signature) {
    static const char* const sharps[] = {"C", "G", "D", "A", "E", "B", "F\u266F"};
    static const char* const flats[] = {"C",       "F",       "B\u266D", "E\u266D",
                                        "A\u266D", "D\u266D", "G\u266D"};
    const int n = std::clamp(std::abs(signature), 0, 6);
    return QString::fromUtf8(signature >= 0 ? sharps[n] : flats[n]) + QStringLiteral(" major");
}

StaffPitch SpellKey(int key, int signature) {
    // Steps of the pitch classes, spelt with sharps or with flats.
    static const int sharpStep[] = {0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5, 6};
    static const int sharpAcc[] = {0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0};
    static const int flatStep[] = {0, 1, 1, 2, 2, 3, 4, 4, 5, 5, 6, 6};
    static const int flatAcc[] = {0, -1, 0, -1, 0, 0, -1, 0, -1, 0, -1, 0};
    const int pc = key % 12, octave = key / 12;
    const bool flats = signature < 0;
    StaffPitch s;
    s.step = octave * 7 + (flats ? flatStep[pc] : sharpStep[pc]);
    const int written = flats ? flatAcc[pc] : sharpAcc[pc];
    // Which letters the signature alters: sharps F C G D A E B, flats B E A D G C F.
    static const int sharpOrder[] = {3, 0, 4, 1, 5, 2, 6};
    static const int flatOrder[] = {6, 2, 5, 1, 4, 0, 3};
    const int letter = s.step % 7;
    int altered = 0;
    for (int i = 0; i < std::abs(signature) && i < 7; ++i)
        if ((flats ? flatOrder[i] : sharpOrder[i]) == letter) altered = flats ? -1 : 1;
    if (written == altered)
        s.accidental = 0;
    else
        s.accidental = written == 0 ? 2 : written;
    return s;
}

StaffView::StaffView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("staffView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(200, 160);
}

void StaffView::SetModel(editing::NoteEditor* editor, NoteCache* cache) {
    editor_ = editor;
    cache_ = cache;
    NotesChanged();
}

void StaffView::NotesChanged() {
    signature_ = cache_ ? BestKeySignature(*cache_, editor_) : 0;
    update();
}

uint32_t StaffView::UnitsPerBeat() const {
    return editor_ ? std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat))
                   : kDefaultUnitsPerBeat;
}

void StaffView::SetPixelsPerBeat(double px) {
    pxPerBeat_ = std::clamp(px, 4.0, 1000.0);
    update();
    Q_EMIT viewChanged();
}

void StaffView::SetOriginTime(double units) {
    origin_ = std::max(0.0, units);
    update();
    Q_EMIT viewChanged();
}

void StaffView::SetPlayPosition(std::optional<uint32_t> units) {
    if (units == playPosition_) return;
    playPosition_ = units;
    update();
}

double StaffView::StepHeight() const {
    // Half a staff space; the staves fill the height with room for ledger lines.
    return std::clamp(height() / 44.0, fontMetrics().height() / 3.0, fontMetrics().height() * 0.9);
}

double StaffView::YOfStep(int step) const {
    const double middle = height() / 2.0;
    return middle - (step - kStepC4) * StepHeight();
}

int StaffView::LeftMargin() const {
    return int(StepHeight() * 10 + 7 * StepHeight() * 1.6);
}

double StaffView::XOfTime(double units) const {
    return LeftMargin() + (units - origin_) * pxPerBeat_ / UnitsPerBeat();
}

double StaffView::TimeAtX(double x) const {
    return origin_ + (x - LeftMargin()) * UnitsPerBeat() / pxPerBeat_;
}

void StaffView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    p.setRenderHint(QPainter::Antialiasing, true);
    PaintStaves(p);
    p.save();
    p.setClipRect(QRect(LeftMargin(), 0, width() - LeftMargin(), height()));
    PaintNotes(p);
    p.restore();
}

void StaffView::PaintStaves(QPainter& p) {
    const QColor ink = palette().color(QPalette::Text);
    const double h = StepHeight();
    p.setPen(QPen(ink, 1));
    for (int bottom : {kTrebleBottom, kBassBottom})
        for (int i = 0; i < 5; ++i) {
            const double y = YOfStep(bottom + 2 * i);
            p.drawLine(QPointF(h, y), QPointF(width(), y));
        }
    // The brace line joining the staves.
    p.drawLine(QPointF(h, YOfStep(kTrebleBottom + 8)), QPointF(h, YOfStep(kBassBottom)));

    // Clefs: the musical symbols from a font that has them, else the clefs' letters.
    QFont clef = font();
    clef.setFamilies({QStringLiteral("DejaVu Math TeX Gyre"), QStringLiteral("Symbola"),
                      QStringLiteral("FreeSerif"), font().family()});
    clef.setPixelSize(int(h * 7.5));
    const bool symbols =
        QFontMetrics(clef).inFontUcs4(0x1D11E) && QFontMetrics(clef).inFontUcs4(0x1D122);
    if (!symbols) {
        clef.setFamilies({font().family()});
        clef.setBold(true);
        clef.setItalic(true);
        clef.setPixelSize(int(h * 5));
    }
    p.setFont(clef);
    p.drawText(QRectF(h * 1.5, YOfStep(kTrebleBottom + 12), h * 6, h * 16),
               Qt::AlignLeft | Qt::AlignVCenter,
               symbols ? QString::fromUcs4(U"\U0001D11E") : QStringLiteral("G"));
    if (symbols) clef.setPixelSize(int(h * 6.5));
    p.setFont(clef);
    p.drawText(QRectF(h * 1.5, YOfStep(kBassBottom + 8) - h, h * 6, h * 8),
               Qt::AlignLeft | Qt::AlignVCenter,
               symbols ? QString::fromUcs4(U"\U0001D122") : QStringLiteral("F"));

    // The key signature.
    QFont acc = font();
    acc.setPixelSize(int(h * 3.2));
    p.setFont(acc);
    static const int sharpSteps[] = {3, 0, 4, 1, -2, 2, -1};  // F C G D A E B, from C5 (treble)
    static const int flatSteps[] = {-1, 2, -2, 1, -3, 0, -4}; // B E A D G C F
    const int n = std::abs(signature_);
    for (int i = 0; i < n && i < 7; ++i) {
        const int rel = signature_ > 0 ? sharpSteps[i] : flatSteps[i];
        const double x = h * 8.5 + i * h * 1.6;
        for (int base : {kStepC4 + 7, kStepC4 - 7}) { // C5 on the treble staff, C3 on the bass
            const double y = YOfStep(base + rel);
            p.drawText(QRectF(x, y - h * 3, h * 2, h * 6), Qt::AlignCenter,
                       signature_ > 0 ? QStringLiteral("\u266F") : QStringLiteral("\u266D"));
        }
    }

    // Bar lines and numbers.
    const double upb = UnitsPerBeat();
    const double barUnits = upb * 4;
    double step = 1;
    while (step * 4 * pxPerBeat_ < 24) step *= 2;
    p.setFont(font());
    const double first = std::floor(std::max(0.0, TimeAtX(LeftMargin())) / barUnits / step) * step;
    for (double bar = first; XOfTime(bar * barUnits) <= width(); bar += step) {
        const double x = std::round(XOfTime(bar * barUnits)) + 0.5;
        if (x < LeftMargin() - 1) continue;
        p.setPen(QPen(ink, 1));
        p.drawLine(QPointF(x, YOfStep(kTrebleBottom + 8)), QPointF(x, YOfStep(kBassBottom)));
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(QPointF(x + 2, YOfStep(kTrebleBottom + 8) - h * 7),
                   QString::number(int64_t(bar) + 1));
    }
    p.setPen(palette().color(QPalette::PlaceholderText));
    p.drawText(QRectF(h, 2, width() - 2 * h, fontMetrics().height()), Qt::AlignLeft | Qt::AlignTop,
               KeyNameOf(signature_));
}

void StaffView::PaintNotes(QPainter& p) {
    if (!cache_ || !editor_) return;
    const QColor ink = palette().color(QPalette::Text);
    const QColor chosen = palette().color(QPalette::Highlight);
    const double h = StepHeight();
    const double upb = UnitsPerBeat();
    const double grid = grid_ > 0 ? std::max(1.0, std::floor(upb / grid_)) : std::max(1.0, upb / 4);
    const double t0 = std::max(0.0, TimeAtX(LeftMargin() - h * 4));
    const double t1 = TimeAtX(width() + h * 4);
    const std::vector<NoteBar>& notes = cache_->Notes();
    size_t i = cache_->FirstFrom(uint32_t(t0));
    const size_t end = cache_->FirstFrom(uint32_t(std::min(t1, double(UINT32_MAX))));
    if (end - i > size_t(kMaxNotesDrawn)) {
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(rect(), Qt::AlignCenter,
                   QStringLiteral("Zoom in to see the notes on the staves"));
        return;
    }
    QFont acc = font();
    acc.setPixelSize(int(h * 3.2));
    p.setFont(acc);
    const bool anySelected = editor_->HasSelection();
    for (; i < end; ++i) {
        const NoteBar& b = notes[i];
        if (!editor_->IsTrackSelected(b.channel)) continue;
        const bool sel = anySelected && editor_->IsSelected(b.event);
        const QColor c = sel ? chosen : ink;
        p.setPen(QPen(c, 1.2));
        p.setBrush(c);
        // The length on the grid, in beats.
        const double units = std::max(grid, std::round((b.end - b.time) / grid) * grid);
        const double beats = units / upb;
        static const double values[] = {4, 3, 2, 1.5, 1, 0.75, 0.5, 0.375, 0.25, 0.125};
        double value = 0.125;
        for (double v : values)
            if (beats + 1e-9 >= v) {
                value = v;
                break;
            }
        const bool dotted = value == 3 || value == 1.5 || value == 0.75 || value == 0.375;
        const double plain = dotted ? value / 1.5 : value;
        const StaffPitch sp = SpellKey(b.key, signature_);
        const double x = XOfTime(b.time) + h * 1.2;
        const double y = YOfStep(sp.step);
        // Ledger lines.
        const bool treble = b.key >= 60;
        const int bottom = treble ? kTrebleBottom : kBassBottom;
        const int top = bottom + 8;
        p.setPen(QPen(c, 1));
        for (int s = bottom - 2; s >= sp.step; s -= 2)
            p.drawLine(QPointF(x - h * 1.7, YOfStep(s)), QPointF(x + h * 1.7, YOfStep(s)));
        for (int s = top + 2; s <= sp.step; s += 2)
            p.drawLine(QPointF(x - h * 1.7, YOfStep(s)), QPointF(x + h * 1.7, YOfStep(s)));
        if (sp.step == kStepC4) // middle C between the staves
            p.drawLine(QPointF(x - h * 1.7, y), QPointF(x + h * 1.7, y));
        // The head: hollow for halves and wholes.
        p.setPen(QPen(c, 1.3));
        p.setBrush(plain >= 2 ? Qt::NoBrush : QBrush(c));
        p.save();
        p.translate(x, y);
        p.rotate(-20);
        p.drawEllipse(QPointF(0, 0), h * 1.25, h * 0.85);
        p.restore();
        if (dotted)
            p.drawEllipse(QPointF(x + h * 2, y - (sp.step % 2 == 0 ? h * 0.5 : 0)), h * 0.25,
                          h * 0.25);
        // Stem and flags (no stem on a whole note).
        if (plain < 4) {
            const bool up = sp.step < bottom + 4;
            const double sx = up ? x + h * 1.15 : x - h * 1.15;
            const double sy = up ? y - h * 7 : y + h * 7;
            p.drawLine(QPointF(sx, y), QPointF(sx, sy));
            const int flags = plain <= 0.125 ? 3 : plain <= 0.25 ? 2 : plain <= 0.5 ? 1 : 0;
            for (int f = 0; f < flags; ++f) {
                const double fy = sy + (up ? 1 : -1) * f * h * 1.4;
                QPainterPath flag;
                flag.moveTo(sx, fy);
                flag.cubicTo(sx + h * 0.4, fy + (up ? h * 1.5 : -h * 1.5), sx + h * 2.2,
                             fy + (up ? h * 2 : -h * 2), sx + h * 1.4, fy + (up ? h * 4 : -h * 4));
                p.setBrush(Qt::NoBrush);
                p.drawPath(flag);
            }
        }
        // The accidental.
        if (sp.accidental != 0) {
            const QString sign = sp.accidental == 1    ? QStringLiteral("\u266F")
                                 : sp.accidental == -1 ? QStringLiteral("\u266D")
                                                       : QStringLiteral("\u266E");
            p.setPen(c);
            p.drawText(QRectF(x - h * 4.2, y - h * 3, h * 2.6, h * 6), Qt::AlignCenter, sign);
        }
    }
    p.setBrush(Qt::NoBrush);
    if (playPosition_) {
        p.setPen(QPen(QColor(220, 40, 40), 2));
        const double x = XOfTime(*playPosition_);
        p.drawLine(QPointF(x, 0), QPointF(x, height()));
    }
    if (!editor_->RangeMode()) {
        p.setPen(QPen(palette().color(QPalette::PlaceholderText), 1, Qt::DashLine));
        const double x = XOfTime(editor_->InsertionPoint());
        p.drawLine(QPointF(x, 0), QPointF(x, height()));
    }
}

const NoteBar* StaffView::NoteAt(QPoint pos) const {
    if (!cache_ || !editor_) return nullptr;
    const double h = StepHeight();
    const double t = TimeAtX(pos.x() - h * 1.2);
    const double slack = h * 1.6 * UnitsPerBeat() / pxPerBeat_;
    const std::vector<NoteBar>& notes = cache_->Notes();
    const NoteBar* best = nullptr;
    double bestDistance = h * 1.6;
    for (size_t i = cache_->FirstFrom(uint32_t(std::max(0.0, t - slack)));
         i < notes.size() && notes[i].time <= t + slack; ++i) {
        const NoteBar& b = notes[i];
        if (!editor_->IsTrackSelected(b.channel)) continue;
        const double dx = XOfTime(b.time) + h * 1.2 - pos.x();
        const double dy = YOfStep(SpellKey(b.key, signature_).step) - pos.y();
        const double d = std::hypot(dx, dy);
        if (d < bestDistance) {
            bestDistance = d;
            best = &b;
        }
    }
    return best;
}

void StaffView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (!editor_ || event->button() != Qt::LeftButton) return;
    const QPoint pos = event->position().toPoint();
    const editing::SelectMode mode =
        (event->modifiers() & Qt::ControlModifier) ? editing::SelectMode::Toggle
        : (event->modifiers() & Qt::ShiftModifier) ? editing::SelectMode::Add
                                                   : editing::SelectMode::Replace;
    if (const NoteBar* hit = NoteAt(pos)) {
        editor_->Click(hit->channel, hit->event, hit->time, mode);
        return;
    }
    if (mode == editing::SelectMode::Replace) editor_->ClearSelection();
    if (pos.x() >= LeftMargin())
        editor_->SetInsertionPoint(uint32_t(std::max(0.0, TimeAtX(pos.x()))));
}

void StaffView::wheelEvent(QWheelEvent* event) {
    const QPoint d = event->angleDelta();
    const double steps = (d.y() != 0 ? d.y() : d.x()) / 120.0;
    if (event->modifiers() & Qt::ControlModifier) {
        const double at = TimeAtX(event->position().x());
        pxPerBeat_ = std::clamp(pxPerBeat_ * std::pow(1.25, steps), 4.0, 1000.0);
        SetOriginTime(at - (event->position().x() - LeftMargin()) * UnitsPerBeat() / pxPerBeat_);
    } else {
        SetOriginTime(origin_ -
                      steps * (width() - LeftMargin()) * UnitsPerBeat() / pxPerBeat_ / 10);
    }
    event->accept();
}

} // namespace gui
