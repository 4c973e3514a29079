#include "gui/keyboard_bar.h"

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QSlider>
#include <QSpinBox>

#include <algorithm>
#include <cmath>

namespace gui {

namespace {

// The drawn keyboard's height in the model's pixels: the black keys' row and the white keys'.
constexpr int kModelHeight = 44;
constexpr int kModelWidth = editing::VirtualKeyboard::kWidth + 1;

bool IsBlack(int key) {
    switch (((key % 12) + 12) % 12) {
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

// Runs of equal keys along one row of the model's keyboard: [from, to) in model pixels.
struct Run {
    int from;
    int to;
    int key;
};

std::vector<Run> RunsOfRow(const editing::VirtualKeyboard& k, int y) {
    std::vector<Run> runs;
    for (int x = 0; x < kModelWidth; ++x) {
        const int key = k.KeyAt(k.LeftEdge() + x, y);
        if (!runs.empty() && runs.back().key == key)
            runs.back().to = x + 1;
        else
            runs.push_back({x, x + 1, key});
    }
    return runs;
}

} // namespace

// ---- The drawn keyboard ----

KeyboardView::KeyboardView(editing::VirtualKeyboard& keyboard, QWidget* parent)
    : QWidget(parent), keyboard_(keyboard) {
    setObjectName(QStringLiteral("keyboardView"));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(QStringLiteral("Click the keys, or give this keyboard focus and type letters"));
    setStatusTip(QStringLiteral("Plays notes: click the keys, or type letters while it has focus"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

double KeyboardView::Scale() const {
    // Follows the font, so that the keyboard grows with the text on large displays.
    return std::max(1.0, fontMetrics().height() / 15.0);
}

QSize KeyboardView::sizeHint() const {
    const double s = Scale();
    return QSize(int(std::ceil(kModelWidth * s)) + 2, int(std::ceil(kModelHeight * s)) + 2);
}

QPoint KeyboardView::ToModel(const QPoint& p) const {
    const double s = Scale();
    return QPoint(keyboard_.LeftEdge() + int(std::floor((p.x() - 1) / s)),
                  int(std::floor((p.y() - 1) / s)));
}

QPoint KeyboardView::CentreOfKey(int key) const {
    const double s = Scale();
    const int upper = editing::VirtualKeyboard::kUpperHeight;
    const int y = IsBlack(key) ? upper / 2 : (upper + kModelHeight) / 2;
    for (const Run& r : RunsOfRow(keyboard_, y))
        if (r.key == key) return QPoint(1 + int((r.from + r.to) * s / 2), 1 + int(y * s));
    return {-1, -1};
}

void KeyboardView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Window));
    p.setRenderHint(QPainter::Antialiasing, false);
    const double s = Scale();
    const int upper = editing::VirtualKeyboard::kUpperHeight;
    const std::optional<int> held = keyboard_.HeldKey();
    const int octave = keyboard_.Octave() * 12;
    const QColor pressed = pal.color(QPalette::Highlight);
    const QColor edge = pal.color(QPalette::Mid);
    auto rectOf = [&](const Run& r, int top, int bottom) {
        return QRectF(1 + r.from * s, 1 + top * s, (r.to - r.from) * s, (bottom - top) * s);
    };
    // The white keys: the runs of the lower row.
    for (const Run& r : RunsOfRow(keyboard_, upper + 1)) {
        if (r.key < 0) continue;
        const bool down = held && *held == r.key + octave;
        p.setPen(QPen(edge, 1));
        p.setBrush(down ? pressed : QColor(0xfa, 0xfa, 0xf7));
        p.drawRect(rectOf(r, 0, kModelHeight - 1));
    }
    // The black keys: the runs of the upper row that are black notes.
    for (const Run& r : RunsOfRow(keyboard_, 0)) {
        if (r.key < 0 || !IsBlack(r.key)) continue;
        const bool down = held && *held == r.key + octave;
        p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
        p.setBrush(down ? pressed : QColor(0x28, 0x28, 0x2c));
        p.drawRect(rectOf(r, 0, upper));
    }
    if (hasFocus()) {
        p.setPen(QPen(pal.color(QPalette::Highlight), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(1, 1, -1, -1));
    }
}

void KeyboardView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const QPoint m = ToModel(event->position().toPoint());
    keyboard_.MouseDown(m.x(), m.y());
    update();
}

void KeyboardView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint m = ToModel(event->position().toPoint());
    keyboard_.MouseMove(m.x(), m.y());
    update();
}

void KeyboardView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    const QPoint m = ToModel(event->position().toPoint());
    keyboard_.MouseUp(m.x(), m.y());
    update();
}

void KeyboardView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseDoubleClickEvent(event);
    const QPoint m = ToModel(event->position().toPoint());
    keyboard_.DoubleClick(m.x(), m.y());
    update();
}

int KeyboardView::KeyOf(const QKeyEvent* event) {
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return 0;
    const int key = event->key();
    // Qt's codes of letters and of ; ' [ ] are their upper-case characters.
    if (key <= 0 || key >= 128) return 0;
    return editing::VirtualKeyboard::KeyNumberOfKey(key) < 0 ? 0 : key;
}

void KeyboardView::keyPressEvent(QKeyEvent* event) {
    const int key = KeyOf(event);
    if (!key) return QWidget::keyPressEvent(event);
    if (keyboard_.KeyDown(key, event->isAutoRepeat())) down_.push_back(key);
    event->accept();
    update();
}

void KeyboardView::keyReleaseEvent(QKeyEvent* event) {
    const int key = KeyOf(event);
    if (!key) return QWidget::keyReleaseEvent(event);
    // An auto-repeat's release is followed by its press again: the note keeps sounding.
    if (event->isAutoRepeat()) return event->accept();
    keyboard_.KeyUp(key);
    std::erase(down_, key);
    event->accept();
    update();
}

void KeyboardView::focusOutEvent(QFocusEvent* event) {
    // Keys released while another widget has focus never reach us: their notes end now.
    for (int key : down_) keyboard_.KeyUp(key);
    down_.clear();
    QWidget::focusOutEvent(event);
    update();
}

// ---- The keyboard bar ----

namespace {
QString StatusOf(const char* prompt) {
    return QString::fromUtf8(prompt).section(QLatin1Char('\n'), 0, 0);
}
QString TipOf(const char* prompt) {
    return QString::fromUtf8(prompt).section(QLatin1Char('\n'), 1, 1);
}
} // namespace

KeyboardBar::KeyboardBar(editing::VirtualKeyboard& keyboard, QWidget* parent)
    : QToolBar(QString::fromUtf8(kTitle), parent), keyboard_(keyboard) {
    setObjectName(QStringLiteral("keyboardBar"));
    using VK = editing::VirtualKeyboard;

    octave_ = new QSpinBox;
    octave_->setObjectName(QStringLiteral("keyboardOctave"));
    octave_->setRange(VK::kMinOctave, VK::kMaxOctave);
    octave_->setStatusTip(StatusOf(VK::kOctavePrompt));
    octave_->setToolTip(TipOf(VK::kOctavePrompt));
    velocity_ = new QSpinBox;
    velocity_->setObjectName(QStringLiteral("keyboardVelocity"));
    velocity_->setRange(1, 127);
    velocity_->setStatusTip(StatusOf(VK::kVelocityPrompt));
    velocity_->setToolTip(TipOf(VK::kVelocityPrompt));
    send_ = new QCheckBox(TipOf(VK::kSendPrompt));
    send_->setObjectName(QStringLiteral("keyboardSend"));
    send_->setStatusTip(StatusOf(VK::kSendPrompt));
    view_ = new KeyboardView(keyboard_);

    auto* octaveLabel = new QLabel(QStringLiteral(" &Octave "));
    octaveLabel->setBuddy(octave_);
    auto* velocityLabel = new QLabel(QStringLiteral(" &Velocity "));
    velocityLabel->setBuddy(velocity_);
    addWidget(octaveLabel);
    addWidget(octave_);
    addWidget(velocityLabel);
    addWidget(velocity_);
    addWidget(send_);
    addSeparator();
    addWidget(view_);

    connect(octave_, &QSpinBox::valueChanged, this, [this](int v) { keyboard_.SetOctave(v); });
    connect(velocity_, &QSpinBox::valueChanged, this, [this](int v) { keyboard_.SetVelocity(v); });
    connect(send_, &QCheckBox::toggled, this, [this](bool on) { keyboard_.SetSend(on); });
    Refresh();
}

KeyboardBar::~KeyboardBar() = default;

void KeyboardBar::Refresh() {
    const QSignalBlocker b1(octave_), b2(velocity_), b3(send_);
    octave_->setValue(keyboard_.Octave());
    velocity_->setValue(keyboard_.Velocity());
    send_->setChecked(keyboard_.Send());
    view_->update();
}

// ---- The pitch wheel bar ----

PitchWheelBar::PitchWheelBar(editing::VirtualKeyboard& keyboard, QWidget* parent)
    : QToolBar(QString::fromUtf8(kTitle), parent), keyboard_(keyboard) {
    setObjectName(QStringLiteral("pitchWheelBar"));
    using VK = editing::VirtualKeyboard;
    wheel_ = new QSlider(Qt::Vertical);
    wheel_->setObjectName(QStringLiteral("pitchWheel"));
    // The model's wheel has 0 at the top; a vertical slider has its minimum at the bottom.
    wheel_->setInvertedAppearance(true);
    wheel_->setInvertedControls(true);
    wheel_->setRange(0, VK::kWheelMax);
    wheel_->setPageStep(VK::kWheelMax / 16);
    wheel_->setSingleStep(VK::kWheelMax / 128);
    wheel_->setMinimumHeight(fontMetrics().height() * 3);
    wheel_->setStatusTip(QStringLiteral("Bends the pitch of the notes played"));
    wheel_->setToolTip(QStringLiteral("Pitch wheel"));
    addWidget(wheel_);
    tune_ = addAction(TipOf(VK::kTunePrompt));
    tune_->setObjectName(QStringLiteral("keyboardTune"));
    tune_->setStatusTip(StatusOf(VK::kTunePrompt));
    connect(wheel_, &QSlider::valueChanged, this, [this](int v) { keyboard_.SetWheel(v); });
    connect(tune_, &QAction::triggered, this, [this] { keyboard_.Tune(); });
    Refresh();
}

void PitchWheelBar::Refresh() {
    const QSignalBlocker block(wheel_);
    wheel_->setValue(keyboard_.WheelPosition());
}

} // namespace gui
