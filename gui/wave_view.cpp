#include "gui/wave_view.h"

#include "formats/sample_format.h"
#include "formats/wave_data.h"
#include "gui/editor_switches.h"
#include "gui/main_window.h"
#include "gui/shell.h"
#include "platform/named_mutex.h"
#include "song/play_engine.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace gui {

namespace {

constexpr double kMinFpp = 1.0 / 64;
// How long a paint waits for the wave's mutex before drawing without the samples.
constexpr uint32_t kPaintLockMs = 20;

QColor Blend(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t),
                            float(a.greenF() * (1 - t) + b.greenF() * t),
                            float(a.blueF() * (1 - t) + b.blueF() * t));
}

QString SecondsText(double s, double step) {
    const int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
    const int minutes = int(s / 60);
    const double rest = s - minutes * 60;
    const QString sec = QString::number(rest, 'f', decimals);
    return QStringLiteral("%1:%2").arg(minutes).arg(rest < 10 ? QStringLiteral("0") + sec : sec);
}

double ScrollScale(double frames) {
    return std::max(1.0, frames / 1e8);
}

struct WaveCommand {
    const char* name;
    const char* text;
    const char* prompt;
    const char* shortcut;
};

const WaveCommand kWaveCommands[] = {
    {"waveCut", "Cu&t", "Cut the selection and put it on the Clipboard\nCut", "Ctrl+X"},
    {"waveCopy", "&Copy", "Copy the selection and put it on the Clipboard\nCopy", "Ctrl+C"},
    {"wavePaste", "&Paste", "Insert Clipboard contents\nPaste", "Ctrl+V"},
    {"waveDelete", "&Delete", "Delete the selection, or make it silent\nDelete", "Del"},
    {"waveSelectAll", "Select &All", "Select the whole sound\nSelect All", "Ctrl+A"},
    {"waveInsertSilence", "&Insert Silence...", "Insert silence at the cursor\nInsert Silence",
     nullptr},
    {"waveDeleteMode", "Delete &Makes Silent",
     "Select to delete selection, or just make it silent.", nullptr},
    {"wavePasteInsert", "Paste &Inserts", "Paste puts the clipboard in, moving the rest on",
     nullptr},
    {"wavePasteOverwrite", "Paste &Overwrites", "Paste writes the clipboard over the sound",
     nullptr},
    {"wavePasteMixAverage", "Paste Mixes (&Average)", "Paste mixes the clipboard in at half level",
     nullptr},
    {"wavePasteMixAdd", "Paste Mixes (A&dd)", "Paste adds the clipboard to the sound", nullptr},
    {"waveFormat", "&Format...", "Set the wave display properties\nFormat", nullptr},
    {"wavePlaySelection", "Play &Selection", "Play the selection\nPlay Selection", nullptr},
    {"wavePlayCursor", "Play from &Cursor", "Play from the cursor\nPlay from Cursor", nullptr},
    {"waveZoomIn", "Zoom &In", "Show less time, larger\nZoom In", "Ctrl++; Ctrl+="},
    {"waveZoomOut", "Zoom &Out", "Show more time\nZoom Out", "Ctrl+-"},
    {"waveZoomFit", "Zoom to &Fit", "Show the whole sound\nZoom to Fit", "Ctrl+0"},
};

} // namespace

// ---- WaveView -------------------------------------------------------------------------------

WaveView::WaveView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("waveView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(200, 120);
}

void WaveView::SetModel(editing::WaveEditor* editor, PeakCache* peaks) {
    editor_ = editor;
    peaks_ = peaks;
    dragging_ = false;
    update();
}

uint32_t WaveView::Frames() const {
    return editor_ ? editor_->Doc().FrameCount() : 0;
}

uint32_t WaveView::Rate() const {
    if (!editor_ || !editor_->Doc().Data()) return 0;
    return editor_->Doc().Data()->Format().nSamplesPerSec;
}

int WaveView::RulerHeight() const {
    return fontMetrics().height() + 10;
}

QRect WaveView::WaveArea() const {
    return QRect(0, RulerHeight(), width(), std::max(1, height() - RulerHeight()));
}

double WaveView::XOfFrame(double frame) const {
    return (frame - origin_) / fpp_;
}

double WaveView::FrameAtX(double x) const {
    return origin_ + x * fpp_;
}

uint32_t WaveView::FrameAt(double x) const {
    return uint32_t(std::clamp(std::llround(FrameAtX(x)), 0LL, (long long)Frames()));
}

void WaveView::ClampOrigin() {
    const double visible = width() * fpp_;
    origin_ = std::clamp(origin_, 0.0, std::max(0.0, Frames() - visible * 0.5));
}

void WaveView::SetFramesPerPixel(double fpp, double anchorX) {
    const double maxFpp = std::max(1.0, double(Frames()) / std::max(1, width() / 4));
    fpp = std::clamp(fpp, kMinFpp, std::max(maxFpp, kMinFpp));
    if (anchorX < 0) anchorX = width() / 2.0;
    const double at = FrameAtX(anchorX);
    fpp_ = fpp;
    origin_ = at - anchorX * fpp_;
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void WaveView::SetOriginFrame(double frame) {
    origin_ = frame;
    ClampOrigin();
    update();
    Q_EMIT viewChanged();
}

void WaveView::ZoomToFit() {
    origin_ = 0;
    fpp_ = std::max(kMinFpp, double(std::max<uint32_t>(Frames(), 1)) / std::max(1, width()));
    update();
    Q_EMIT viewChanged();
}

void WaveView::SetPlayPosition(std::optional<uint32_t> frame) {
    if (frame == playPosition_) return;
    playPosition_ = frame;
    update();
}

void WaveView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    PaintAll(p);
}

void WaveView::PaintAll(QPainter& p) {
    p.fillRect(rect(), palette().color(QPalette::Base));
    PaintRuler(p);
    const QRect area = WaveArea();
    const int channels = editor_ && peaks_ && peaks_->Channels() > 0 ? peaks_->Channels() : 1;
    const int laneHeight = area.height() / channels;
    for (int c = 0; c < channels; ++c) {
        const QRect lane(area.left(), area.top() + c * laneHeight, area.width(),
                         c == channels - 1 ? area.height() - c * laneHeight : laneHeight);
        PaintChannel(p, c, lane);
        if (c > 0) {
            p.setPen(palette().color(QPalette::Mid));
            p.drawLine(lane.left(), lane.top(), lane.right(), lane.top());
        }
    }
    if (!editor_) return;
    // The end of the sound, the selection, the cursor and the play position.
    const double endX = XOfFrame(Frames());
    if (endX < width())
        p.fillRect(QRectF(endX, area.top(), width() - endX, area.height()),
                   palette().color(QPalette::Window));
    if (editor_->HasSelection()) {
        QColor shade = palette().color(QPalette::Highlight);
        shade.setAlphaF(0.28f);
        const double x0 = XOfFrame(editor_->SelectionStart());
        const double x1 = XOfFrame(editor_->SelectionEnd());
        p.fillRect(QRectF(x0, area.top(), std::max(1.0, x1 - x0), area.height()), shade);
    }
    p.setPen(palette().color(QPalette::Text));
    const double cx = std::round(XOfFrame(editor_->Cursor())) + 0.5;
    p.drawLine(QPointF(cx, 0), QPointF(cx, height()));
    if (playPosition_) {
        p.setPen(QPen(QColor(220, 40, 40), 2));
        const double x = XOfFrame(*playPosition_);
        p.drawLine(QPointF(x, 0), QPointF(x, height()));
    }
}

void WaveView::PaintRuler(QPainter& p) {
    const QRect ruler(0, 0, width(), RulerHeight());
    const QColor window = palette().color(QPalette::Window);
    const QColor text = palette().color(QPalette::WindowText);
    p.fillRect(ruler, Blend(window, palette().color(QPalette::Base), 0.5));
    const uint32_t rate = Rate();
    if (rate > 0) {
        const double secondsPerPixel = fpp_ / rate;
        const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("00:00.000")) + 10;
        static const double steps[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                       0.05,   0.1,    0.2,    0.5,   1,     2,     5,    10,
                                       15,     30,     60,     120,   300,   600,   1800, 3600};
        double step = 3600;
        for (double s : steps)
            if (s / secondsPerPixel >= labelWidth) {
                step = s;
                break;
            }
        const double first = std::floor(FrameAtX(0) / rate / step) * step;
        p.setPen(text);
        for (double s = std::max(0.0, first); XOfFrame(s * rate) < width(); s += step) {
            const double x = std::round(XOfFrame(s * rate)) + 0.5;
            p.drawLine(QPointF(x, ruler.bottom() - 6), QPointF(x, ruler.bottom()));
            p.drawText(QRectF(x + 3, 0, labelWidth, ruler.height() - 2),
                       Qt::AlignLeft | Qt::AlignVCenter, SecondsText(s, step));
            for (int i = 1; i < 5; ++i) {
                const double xm = std::round(XOfFrame((s + step * i / 5) * rate)) + 0.5;
                p.drawLine(QPointF(xm, ruler.bottom() - 2), QPointF(xm, ruler.bottom()));
            }
        }
    }
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(0, ruler.bottom(), width(), ruler.bottom());
}

void WaveView::PaintChannel(QPainter& p, int channel, const QRect& lane) {
    const QColor base = palette().color(QPalette::Base);
    const QColor text = palette().color(QPalette::Text);
    const QColor wave = QColor(40, 110, 200);
    const double mid = lane.top() + lane.height() / 2.0;
    const double half = lane.height() / 2.0 - 2;
    p.setPen(Blend(base, text, 0.2));
    p.drawLine(QPointF(lane.left(), mid), QPointF(lane.right(), mid));
    if (!editor_ || !peaks_ || Frames() == 0) return;
    auto y = [&](int v) { return mid - v * half / 32768.0; };
    const int columns = lane.width();
    if (fpp_ >= PeakCache::kBaseBlock && peaks_->Frames() > 0) {
        lo_.resize(size_t(columns));
        hi_.resize(size_t(columns));
        valid_.resize(size_t(columns));
        peaks_->Columns(channel, origin_, fpp_, columns, lo_.data(), hi_.data(), valid_.data());
        QVector<QLineF> lines;
        lines.reserve(columns);
        QVector<QLineF> pending;
        const double end = XOfFrame(Frames());
        for (int c = 0; c < columns; ++c) {
            const double x = lane.left() + c + 0.5;
            if (valid_[size_t(c)])
                lines.append(QLineF(x, y(hi_[size_t(c)]), x, y(lo_[size_t(c)]) + 0.01));
            else if (x < end && FrameAtX(c) >= 0)
                pending.append(QLineF(x, mid - 2, x, mid + 2));
        }
        p.setPen(wave);
        p.drawLines(lines);
        if (!pending.isEmpty()) {
            p.setPen(Blend(base, text, 0.35));
            p.drawLines(pending);
        }
        return;
    }
    // Fine zoom: the samples themselves.
    sound::WaveData* data = editor_->Doc().Data();
    EventWave* w = editor_->Doc().Wave();
    if (!data || !w) return;
    const WAVEFORMATEX& f = data->Format();
    const int channels = std::max<int>(1, f.nChannels);
    const int width = f.wBitsPerSample / 8;
    const uint32_t frameBytes = uint32_t(channels * width);
    const uint64_t first = uint64_t(std::max(0.0, std::floor(origin_)));
    const uint64_t last = std::min<uint64_t>(Frames(), uint64_t(std::ceil(FrameAtX(columns))) + 2);
    if (last <= first || channel >= channels) return;
    const uint32_t n = uint32_t(last - first);
    samples_.resize(size_t(n) * frameBytes);
    uint32_t got = 0;
    {
        platform::NamedLock lock(w->mutex, kPaintLockMs);
        if (lock || !w->mutex)
            got = data->ReadAt(uint32_t(first * frameBytes), samples_.data(), n * frameBytes) /
                  frameBytes;
    }
    auto sample = [&](uint32_t i) -> int {
        const uint8_t* s = samples_.data() + size_t(i) * frameBytes + size_t(channel * width);
        return width == 2 ? int(int16_t(uint16_t(s[0] | s[1] << 8))) : (int(s[0]) - 128) * 256;
    };
    p.setPen(wave);
    if (fpp_ >= 1) {
        QVector<QLineF> lines;
        lines.reserve(columns);
        for (int c = 0; c < columns; ++c) {
            const double f0 = FrameAtX(c), f1 = FrameAtX(c + 1);
            const int64_t i0 = std::max<int64_t>(0, int64_t(std::floor(f0)) - int64_t(first));
            const int64_t i1 = std::min<int64_t>(got, int64_t(std::ceil(f1)) - int64_t(first));
            if (i1 <= i0) continue;
            int lo = INT16_MAX, hi = INT16_MIN;
            for (int64_t i = i0; i < i1; ++i) {
                const int v = sample(uint32_t(i));
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            const double x = lane.left() + c + 0.5;
            lines.append(QLineF(x, y(hi), x, y(lo) + 0.01));
        }
        p.drawLines(lines);
    } else {
        QPolygonF line;
        line.reserve(int(got));
        for (uint32_t i = 0; i < got; ++i)
            line.append(QPointF(lane.left() + XOfFrame(double(first + i)), y(sample(i))));
        p.setRenderHint(QPainter::Antialiasing, true);
        p.drawPolyline(line);
        if (1 / fpp_ >= 6) {
            p.setBrush(wave);
            for (const QPointF& pt : line) p.drawEllipse(pt, 1.8, 1.8);
            p.setBrush(Qt::NoBrush);
        }
        p.setRenderHint(QPainter::Antialiasing, false);
    }
}

void WaveView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (!editor_ || event->button() != Qt::LeftButton) return;
    editor_->Press(FrameAt(event->position().x()), event->modifiers() & Qt::ShiftModifier);
    dragging_ = true;
}

void WaveView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !editor_) return;
    editor_->Drag(FrameAt(event->position().x()));
}

void WaveView::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && editor_ && event->button() == Qt::LeftButton)
        editor_->Drag(FrameAt(event->position().x()));
    dragging_ = false;
}

void WaveView::wheelEvent(QWheelEvent* event) {
    const QPoint d = event->angleDelta();
    const double steps = (d.y() != 0 ? d.y() : d.x()) / 120.0;
    if (steps == 0) return;
    if (event->modifiers() & Qt::ControlModifier)
        SetFramesPerPixel(fpp_ / std::pow(1.25, steps), event->position().x());
    else
        SetOriginFrame(origin_ - steps * width() * fpp_ / 10);
    event->accept();
}

void WaveView::contextMenuEvent(QContextMenuEvent* event) {
    if (menu_) menu_->popup(event->globalPos());
}

void WaveView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ClampOrigin();
    Q_EMIT viewChanged();
}

// ---- The format dialog ----------------------------------------------------------------------

WaveFormatDialog::WaveFormatDialog(uint32_t flag, uint32_t rate, bool compress, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("waveFormatDialog"));
    setWindowTitle(QStringLiteral("Wave Format"));
    formats_ = new QListWidget;
    formats_->setObjectName(QStringLiteral("waveFormats"));
    for (int i = 0; i < sound::kStandardFormatCount; ++i) {
        auto* item =
            new QListWidgetItem(QString::fromUtf8(sound::FlagLabel(sound::StandardFormatFlag(i))));
        item->setData(Qt::UserRole, sound::StandardFormatFlag(i));
        formats_->addItem(item);
    }
    const int index = sound::FlagIndex(flag);
    if (index >= 0) formats_->setCurrentRow(index);
    formats_->setMinimumHeight(formats_->sizeHintForRow(0) * 12 + 2 * formats_->frameWidth());
    rate_ = new QSpinBox;
    rate_->setObjectName(QStringLiteral("sampleRate"));
    rate_->setRange(1000, 192000);
    rate_->setSuffix(QStringLiteral(" Hz"));
    rate_->setValue(int(rate));
    rate_->setToolTip(QStringLiteral("A new rate alone plays the same samples faster or slower"));
    compress_ = new QCheckBox(QStringLiteral("Compress wave files when saving (IMA ADPCM)"));
    compress_->setObjectName(QStringLiteral("compressWaves"));
    compress_->setChecked(compress);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Format:"), formats_);
    form->addRow(QStringLiteral("Sample rate:"), rate_);
    form->addRow(QString(), compress_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

uint32_t WaveFormatDialog::Flag() const {
    const QListWidgetItem* item = formats_->currentItem();
    return item ? item->data(Qt::UserRole).toUInt() : 0;
}

uint32_t WaveFormatDialog::Rate() const {
    return uint32_t(rate_->value());
}

bool WaveFormatDialog::Compress() const {
    return compress_->isChecked();
}

// ---- The window -----------------------------------------------------------------------------

WaveEditorWindow::WaveEditorWindow(CWaveDoc& doc, uint32_t kind, Shell& shell, QWidget* parent)
    : DocumentWindow(doc, kind, parent), shell_(shell) {
    setObjectName(QStringLiteral("waveEditorWindow"));
    editor_ = std::make_unique<editing::WaveEditor>(doc);
    editor_->SetSilenceSource([] { return EditorSwitches().DeleteMakesSilent(); });
    editor_->SetListener([this] {
        view_->update();
        UpdateActions();
    });
    view_ = new WaveView;
    hbar_ = new QScrollBar(Qt::Horizontal);
    hbar_->setObjectName(QStringLiteral("waveHorizontal"));
    MakeActions();

    auto* menus = new QMenuBar;
    menus->setObjectName(QStringLiteral("waveMenuBar"));
    menus->setNativeMenuBar(false);
    auto addMenu = [&](const QString& title, const char* name,
                       std::initializer_list<const char*> items) {
        QMenu* m = menus->addMenu(title);
        m->setObjectName(QString::fromUtf8(name));
        for (const char* item : items) {
            if (!item)
                m->addSeparator();
            else
                m->addAction(Action(QString::fromUtf8(item)));
        }
    };
    addMenu(QStringLiteral("&Edit"), "waveEditMenu",
            {"waveCut", "waveCopy", "wavePaste", "waveDelete", nullptr, "waveSelectAll",
             "waveInsertSilence", nullptr, "wavePasteInsert", "wavePasteOverwrite",
             "wavePasteMixAverage", "wavePasteMixAdd", nullptr, "waveDeleteMode"});
    addMenu(QStringLiteral("&Sound"), "waveSoundMenu",
            {"waveFormat", nullptr, "wavePlaySelection", "wavePlayCursor"});
    addMenu(QStringLiteral("&View"), "waveViewMenu", {"waveZoomIn", "waveZoomOut", "waveZoomFit"});

    bar_ = new QToolBar;
    bar_->setObjectName(QStringLiteral("waveToolBar"));
    bar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    for (const char* name : {"wavePlaySelection", "wavePlayCursor", "", "waveZoomIn", "waveZoomOut",
                             "waveZoomFit", "", "waveFormat"}) {
        if (!*name)
            bar_->addSeparator();
        else
            bar_->addAction(Action(QString::fromUtf8(name)));
    }

    context_ = new QMenu(this);
    for (const char* name : {"waveCut", "waveCopy", "wavePaste", "waveDelete", "",
                             "waveInsertSilence", "wavePlaySelection"}) {
        if (!*name)
            context_->addSeparator();
        else
            context_->addAction(Action(QString::fromUtf8(name)));
    }
    view_->SetContextMenu(context_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menus);
    layout->addWidget(bar_);
    layout->addWidget(view_, 1);
    layout->addWidget(hbar_);

    view_->SetModel(editor_.get(), &peaks_);
    progress_ = new QTimer(this);
    progress_->setInterval(50);
    connect(progress_, &QTimer::timeout, this, [this] {
        view_->update();
        if (!peaks_.Running()) progress_->stop();
    });
    connect(view_, &WaveView::viewChanged, this, [this] {
        if (!fitted_ && view_->width() > 0 && view_->isVisible()) {
            fitted_ = true;
            view_->ZoomToFit();
        }
        UpdateScrollBar();
    });
    connect(hbar_, &QScrollBar::valueChanged, this, [this](int v) {
        if (!updatingBar_) view_->SetOriginFrame(v * ScrollScale(view_->Frames()));
    });
    connect(&shell_, &Shell::playStateChanged, this, &WaveEditorWindow::UpdatePlayPosition);
    connect(&EditorSwitches(), &EditorSwitchesObject::changed, this,
            &WaveEditorWindow::UpdateActions);
    Refresh();
}

WaveEditorWindow::~WaveEditorWindow() {
    Detach();
}

void WaveEditorWindow::Detach() {
    peaks_.Clear();
    if (editor_) {
        view_->SetModel(nullptr, nullptr);
        editor_.reset();
    }
    DocumentWindow::Detach();
}

QAction* WaveEditorWindow::Action(const QString& name) const {
    return findChild<QAction*>(name);
}

void WaveEditorWindow::MakeActions() {
    for (const WaveCommand& c : kWaveCommands) {
        auto* a = new QAction(QString::fromUtf8(c.text), this);
        a->setObjectName(QString::fromUtf8(c.name));
        const QString prompt = QString::fromUtf8(c.prompt);
        const qsizetype cut = prompt.indexOf(QLatin1Char('\n'));
        a->setStatusTip(cut < 0 ? prompt : prompt.left(cut));
        if (cut >= 0) a->setToolTip(prompt.mid(cut + 1));
        if (c.shortcut) {
            a->setShortcuts(QKeySequence::listFromString(QString::fromUtf8(c.shortcut)));
            a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        addAction(a);
    }
    auto on = [this](const char* name, auto slot) {
        connect(Action(QString::fromUtf8(name)), &QAction::triggered, this, slot);
    };
    auto command = [this](bool (editing::WaveEditor::*f)()) {
        return [this, f] {
            if (editor_ && Run([this, f] { return (editor_.get()->*f)(); })) AfterEdit();
        };
    };
    on("waveCut", command(&editing::WaveEditor::Cut));
    on("waveCopy", [this] {
        if (editor_) Run([this] { return editor_->Copy(); });
        UpdateActions();
    });
    on("wavePaste", command(&editing::WaveEditor::Paste));
    on("waveDelete", command(&editing::WaveEditor::Delete));
    on("waveSelectAll", [this] {
        if (editor_) editor_->SelectAll();
    });
    on("waveInsertSilence", [this] {
        bool ok = false;
        const double seconds = QInputDialog::getDouble(this, QStringLiteral("Insert Silence"),
                                                       QStringLiteral("Seconds of silence:"), 1.0,
                                                       0.001, 3600, 3, &ok);
        if (ok) InsertSilence(seconds);
    });
    QAction* silent = Action(QStringLiteral("waveDeleteMode"));
    silent->setCheckable(true);
    connect(silent, &QAction::toggled, this,
            [](bool checked) { EditorSwitches().SetDeleteMakesSilent(checked); });
    auto* modes = new QActionGroup(this);
    const std::pair<const char*, CWaveDoc::PasteMode> pasteModes[] = {
        {"wavePasteInsert", CWaveDoc::PasteMode::Insert},
        {"wavePasteOverwrite", CWaveDoc::PasteMode::Overwrite},
        {"wavePasteMixAverage", CWaveDoc::PasteMode::MixAverage},
        {"wavePasteMixAdd", CWaveDoc::PasteMode::MixAdd}};
    for (const auto& [name, mode] : pasteModes) {
        QAction* a = Action(QString::fromUtf8(name));
        a->setCheckable(true);
        modes->addAction(a);
        const CWaveDoc::PasteMode m = mode;
        connect(a, &QAction::triggered, this, [this, m] {
            if (editor_) editor_->SetPasteMode(m);
        });
    }
    Action(QStringLiteral("wavePasteInsert"))->setChecked(true);
    on("waveFormat", [this] {
        if (!editor_ || !editor_->Doc().Data()) return;
        const WAVEFORMATEX& f = editor_->Doc().Data()->Format();
        WaveFormatDialog dialog(sound::FormatToFlag(f), f.nSamplesPerSec, CWaveDoc::CompressWaves(),
                                this);
        if (dialog.exec() == QDialog::Accepted)
            ApplyFormat(dialog.Flag(), dialog.Rate(), dialog.Compress());
    });
    on("wavePlaySelection", [this] { PlaySelection(); });
    on("wavePlayCursor", [this] { PlayFromCursor(); });
    on("waveZoomIn", [this] { view_->SetFramesPerPixel(view_->FramesPerPixel() / 1.5); });
    on("waveZoomOut", [this] { view_->SetFramesPerPixel(view_->FramesPerPixel() * 1.5); });
    on("waveZoomFit", [this] { view_->ZoomToFit(); });
}

bool WaveEditorWindow::Run(const std::function<bool()>& command) {
    // The document reads its store without the wave's mutex while it edits: no worker then.
    peaks_.Stop();
    const sound::WaveData* data = editor_ ? editor_->Doc().Data() : nullptr;
    const bool writable = data && data->IsWritable();
    bool done = command();
    // A sound opened read only asks for a temporary copy on the first edit; with the copy made
    // the edit the user asked for is made at once.
    if (!done && data && !writable && editor_ && editor_->Doc().Data() &&
        editor_->Doc().Data()->IsWritable())
        done = command();
    if (peaksStale_)
        Refresh();
    else
        peaks_.Resume();
    if (peaks_.Running()) progress_->start();
    return done;
}

void WaveEditorWindow::StartPeaks() {
    peaksStale_ = false;
    if (!editor_) return;
    CWaveDoc& doc = editor_->Doc();
    sound::WaveData* data = doc.Data();
    EventWave* wave = doc.Wave();
    if (!data || !wave || doc.FrameCount() == 0) {
        peaks_.Clear();
        view_->update();
        return;
    }
    const WAVEFORMATEX f = data->Format();
    platform::NamedMutex* mutex = wave->mutex;
    peaks_.Start(doc.FrameCount(), f.nChannels, f.wBitsPerSample,
                 [data, mutex](uint32_t offset, void* out, uint32_t bytes) -> uint32_t {
                     platform::NamedLock lock(mutex, 0);
                     return data->ReadAt(offset, out, bytes);
                 });
    progress_->start();
    view_->update();
}

void WaveEditorWindow::OnUpdate(CDocView*, long) {
    peaksStale_ = true;
    Refresh();
}

void WaveEditorWindow::Refresh() {
    if (!editor_) return;
    // A sound changed without a word (a recording appended to it) shows as a new length.
    if (peaks_.Frames() != editor_->Doc().FrameCount()) peaksStale_ = true;
    if (peaksStale_) {
        StartPeaks();
        UpdateScrollBar();
    }
    UpdateActions();
    UpdatePlayPosition();
}

void WaveEditorWindow::AfterEdit() {
    if (MainWindow* w = shell_.Window()) w->UpdateCommands();
    UpdateActions();
}

void WaveEditorWindow::UpdateActions() {
    const bool on = editor_ != nullptr;
    auto enable = [this](const char* name, bool e) {
        Action(QString::fromUtf8(name))->setEnabled(e);
    };
    enable("waveCut", on && editor_->CanCut());
    enable("waveCopy", on && editor_->CanCopy());
    enable("wavePaste", on && editor_->CanPaste());
    enable("waveDelete", on && editor_->CanDelete());
    enable("waveSelectAll", on && editor_->Doc().FrameCount() > 0);
    enable("waveInsertSilence", on && editor_->Doc().Data());
    enable("waveFormat", on && editor_->Doc().Data());
    enable("wavePlaySelection", on && editor_->HasSelection() && shell_.CanPlay(Document()));
    enable("wavePlayCursor", on && shell_.CanPlay(Document()));
    const bool silent = EditorSwitches().DeleteMakesSilent();
    QAction* mode = Action(QStringLiteral("waveDeleteMode"));
    if (mode->isChecked() != silent) mode->setChecked(silent);
    Action(QStringLiteral("waveDelete"))
        ->setText(silent ? QStringLiteral("&Silence") : QStringLiteral("&Delete"));
}

void WaveEditorWindow::UpdateScrollBar() {
    updatingBar_ = true;
    const double frames = view_->Frames();
    const double scale = ScrollScale(frames);
    const double visible = view_->width() * view_->FramesPerPixel();
    hbar_->setRange(0, int(std::max(0.0, frames - visible * 0.5) / scale));
    hbar_->setPageStep(std::max(1, int(visible / scale)));
    hbar_->setSingleStep(std::max(1, int(visible / scale / 20)));
    hbar_->setValue(int(view_->OriginFrame() / scale));
    updatingBar_ = false;
}

void WaveEditorWindow::UpdatePlayPosition() {
    if (!editor_) return;
    std::optional<uint32_t> at;
    if (shell_.IsPlaying() && shell_.PlayingDocument() == Document() && editor_->Doc().Data())
        at = shell_.CurrentBeat() * editor_->Doc().GetTicksPerBeat(kUnitsPerBeat);
    view_->SetPlayPosition(at);
}

bool WaveEditorWindow::InsertSilence(double seconds) {
    if (!editor_ || !editor_->Doc().Data() || !(seconds > 0)) return false;
    const double frames = seconds * editor_->Doc().Data()->Format().nSamplesPerSec;
    const uint32_t n = uint32_t(std::clamp(std::llround(frames), 1LL, (long long)INT32_MAX));
    const bool done = Run([this, n] { return editor_->InsertSilence(n); });
    if (done) AfterEdit();
    return done;
}

bool WaveEditorWindow::ApplyFormat(uint32_t flag, uint32_t rate, bool compress) {
    if (!editor_ || !editor_->Doc().Data()) return false;
    CWaveDoc::SetCompressWaves(compress);
    bool done = false;
    const WAVEFORMATEX before = editor_->Doc().Data()->Format();
    if (flag != 0 && flag != sound::FormatToFlag(before))
        done |= Run([this, flag] { return editor_->ChangeFormat(flag); });
    // A rate typed in besides the format's own is set without converting.
    const uint32_t now = editor_->Doc().Data() ? editor_->Doc().Data()->Format().nSamplesPerSec : 0;
    if (rate != 0 && rate != now && rate != before.nSamplesPerSec)
        done |= Run([this, rate] { return editor_->SetSampleRate(rate); });
    if (done) AfterEdit();
    return done;
}

bool WaveEditorWindow::PlaySelection() {
    if (!editor_ || !editor_->HasSelection()) return false;
    const uint32_t perBeat = std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat));
    if (shell_.IsPlaying()) shell_.Stop();
    const uint32_t start = editor_->SelectionStart() / perBeat;
    const uint32_t end = std::max(start + 1, (editor_->SelectionEnd() + perBeat - 1) / perBeat);
    shell_.Engine().SetLoopStart(start);
    shell_.Engine().SetCurrentBeat(start);
    return shell_.Play(Document(), end);
}

bool WaveEditorWindow::PlayFromCursor() {
    if (!editor_) return false;
    const uint32_t perBeat = std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat));
    if (shell_.IsPlaying()) shell_.Stop();
    shell_.Engine().SetCurrentBeat(editor_->Cursor() / perBeat);
    return shell_.Play(Document());
}

} // namespace gui
