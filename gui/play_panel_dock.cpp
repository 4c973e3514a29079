#include "gui/play_panel_dock.h"

#include "gui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QToolButton>

namespace gui {

namespace {

QLineEdit* NumberField(const char* name, const QString& widest) {
    auto* f = new QLineEdit;
    f->setObjectName(QString::fromUtf8(name));
    f->setAlignment(Qt::AlignRight);
    // Room for the widest value and the frame, in the font of the moment.
    f->setMinimumWidth(f->fontMetrics().horizontalAdvance(widest) +
                       4 * f->fontMetrics().height() / 3);
    f->setMaximumWidth(f->minimumWidth() * 3 / 2);
    return f;
}

QLabel* Caption(const QString& text, QWidget* buddy) {
    auto* l = new QLabel(text);
    l->setBuddy(buddy);
    l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return l;
}

} // namespace

PlayPanelDock::PlayPanelDock(editing::PlayPanel& panel, MainWindow& window)
    : QDockWidget(QString::fromUtf8(kTitle), &window), panel_(panel) {
    setObjectName(QStringLiteral("playPanel"));
    setFeatures(DockWidgetMovable | DockWidgetFloatable | DockWidgetClosable);
    auto* body = new QWidget;
    body->setObjectName(QStringLiteral("playPanelBody"));

    // The buttons: the window's own commands.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    for (const char* name : {"playPlay", "playStop", "playRecord", "playEndRecord", "",
                             "playGotoStart", "playInitialize", "playSendSelected"}) {
        if (!*name) {
            buttons->addSpacing(fontMetrics().height() / 2);
            continue;
        }
        QAction* a = window.Action(QString::fromUtf8(name));
        if (!a) continue;
        auto* b = new QToolButton;
        b->setDefaultAction(a);
        b->setObjectName(QString::fromUtf8(name) + QStringLiteral("Button"));
        b->setToolButtonStyle(a->icon().isNull() ? Qt::ToolButtonTextOnly
                                                 : Qt::ToolButtonTextBesideIcon);
        b->setAutoRaise(true);
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    loop_ = new QCheckBox(QStringLiteral("&Loop"));
    loop_->setObjectName(QStringLiteral("playLoop"));
    loop_->setStatusTip(QStringLiteral("Play the region from Start to End over and over"));
    buttons->addWidget(loop_);

    // The fields.
    start_ = NumberField("playStart", QStringLiteral("40000"));
    now_ = NumberField("playNow", QStringLiteral("40000"));
    end_ = NumberField("playEnd", QStringLiteral("40000"));
    tempo_ = NumberField("playTempo", QStringLiteral("960.000"));
    start_->setStatusTip(QStringLiteral("The first beat of the region to play"));
    now_->setStatusTip(QStringLiteral("The beat playing starts from"));
    end_->setStatusTip(QStringLiteral("The beat playing ends at"));
    tempo_->setStatusTip(QStringLiteral("The tempo in beats per minute (30 to 960)"));
    goto_ = new QComboBox;
    goto_->setObjectName(QStringLiteral("playGotoPoint"));
    goto_->setEditable(true);
    goto_->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& c : editing::PlayPanel::GotoChoices())
        goto_->addItem(QString::fromStdString(c));
    goto_->lineEdit()->setMaxLength(int(editing::PlayPanel::kMaxGotoText));
    goto_->setStatusTip(
        QString::fromUtf8(editing::PlayPanel::CommandPrompt(editing::PlayPanel::kIdGoto))
            .section(QLatin1Char('\n'), 0, 0));
    goto_->setMinimumContentsLength(6);
    auto* gotoButton = new QToolButton;
    gotoButton->setObjectName(QStringLiteral("playGotoButton"));
    if (QAction* a = window.Action(QStringLiteral("playGoto"))) gotoButton->setDefaultAction(a);

    auto* fields = new QHBoxLayout;
    fields->addWidget(Caption(QStringLiteral("&Start"), start_));
    fields->addWidget(start_);
    fields->addSpacing(fontMetrics().height() / 2);
    fields->addWidget(Caption(QStringLiteral("&Now"), now_));
    fields->addWidget(now_);
    fields->addSpacing(fontMetrics().height() / 2);
    fields->addWidget(Caption(QStringLiteral("&End"), end_));
    fields->addWidget(end_);
    fields->addSpacing(fontMetrics().height());
    fields->addWidget(Caption(QStringLiteral("&Tempo"), tempo_));
    fields->addWidget(tempo_);
    fields->addSpacing(fontMetrics().height());
    fields->addWidget(Caption(QStringLiteral("&Goto"), goto_));
    fields->addWidget(goto_);
    fields->addWidget(gotoButton);
    fields->addStretch(1);

    scroll_ = new QScrollBar(Qt::Horizontal);
    scroll_->setObjectName(QStringLiteral("playScroll"));
    scroll_->setSingleStep(1);
    scroll_->setPageStep(8);
    scroll_->setStatusTip(QStringLiteral("The playing position between Start and End"));
    position_ = new QLabel;
    position_->setObjectName(QStringLiteral("playPanelPosition"));
    position_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    position_->setMinimumWidth(
        position_->fontMetrics().horizontalAdvance(QStringLiteral("0000.000")) +
        position_->fontMetrics().height());
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(scroll_, 1);
    bottom->addWidget(position_);

    auto* layout = new QVBoxLayout(body);
    const int m = fontMetrics().height() / 3;
    layout->setContentsMargins(m, m, m, m);
    layout->setSpacing(m);
    layout->addLayout(buttons);
    layout->addLayout(fields);
    layout->addLayout(bottom);
    setWidget(body);

    connect(start_, &QLineEdit::editingFinished, this,
            [this] { Confirm(start_, &editing::PlayPanel::SetStartText); });
    connect(now_, &QLineEdit::editingFinished, this,
            [this] { Confirm(now_, &editing::PlayPanel::SetNowText); });
    connect(end_, &QLineEdit::editingFinished, this,
            [this] { Confirm(end_, &editing::PlayPanel::SetEndText); });
    connect(tempo_, &QLineEdit::editingFinished, this,
            [this] { Confirm(tempo_, &editing::PlayPanel::SetTempoText); });
    connect(goto_, &QComboBox::currentTextChanged, this,
            [this](const QString& text) { panel_.SetGotoText(text.toStdString()); });
    // Enter in the goto box goes there.
    connect(goto_->lineEdit(), &QLineEdit::returnPressed, this, [this] {
        panel_.SetGotoText(goto_->currentText().toStdString());
        panel_.Goto();
    });
    connect(loop_, &QCheckBox::toggled, this, [this](bool on) { panel_.SetLoop(on); });
    connect(scroll_, &QScrollBar::actionTriggered, this, &PlayPanelDock::OnScrollAction);

    panel_.SetListener([this] { Refresh(); });
    Refresh();
}

PlayPanelDock::~PlayPanelDock() {
    panel_.SetListener(nullptr);
}

void PlayPanelDock::showEvent(QShowEvent* event) {
    // The clock may have opened since the panel was last drawn.
    Refresh();
    QDockWidget::showEvent(event);
}

void PlayPanelDock::Confirm(QLineEdit* field, bool (editing::PlayPanel::*set)(const std::string&)) {
    // Confirmed once: Enter, then leaving the field, sends nothing more.
    if (!field->isModified()) return;
    field->setModified(false);
    (panel_.*set)(field->text().trimmed().toStdString());
    // Refused text shows the model's value again.
    Refresh();
    if (field == start_) field->setText(QString::number(panel_.Start()));
    if (field == now_) field->setText(QString::number(panel_.Now()));
    if (field == end_) field->setText(QString::number(panel_.End()));
    if (field == tempo_) field->setText(QString::fromStdString(panel_.TempoText()));
}

void PlayPanelDock::OnScrollAction(int action) {
    switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
        panel_.Scroll(editing::ScrollAction::kLineForward);
        break;
    case QAbstractSlider::SliderSingleStepSub:
        panel_.Scroll(editing::ScrollAction::kLineBack);
        break;
    case QAbstractSlider::SliderPageStepAdd:
        panel_.Scroll(editing::ScrollAction::kPageForward);
        break;
    case QAbstractSlider::SliderPageStepSub:
        panel_.Scroll(editing::ScrollAction::kPageBack);
        break;
    case QAbstractSlider::SliderMove:
    case QAbstractSlider::SliderToMinimum:
    case QAbstractSlider::SliderToMaximum:
        panel_.Scroll(editing::ScrollAction::kThumb, scroll_->sliderPosition());
        break;
    default:
        return;
    }
    // The slider sets the position it computed after this call: it takes the model's.
    scroll_->setSliderPosition(panel_.ScrollPos());
}

void PlayPanelDock::Refresh() {
    auto show = [](QLineEdit* f, const QString& text) {
        if (f->hasFocus() && f->isModified()) return; // being typed into
        if (f->text() != text) f->setText(text);
    };
    show(start_, QString::number(panel_.Start()));
    show(now_, QString::number(panel_.Now()));
    show(end_, QString::number(panel_.End()));
    show(tempo_, QString::fromStdString(panel_.TempoText()));
    now_->setReadOnly(panel_.IsPlaying());
    {
        const QSignalBlocker block(loop_);
        loop_->setChecked(panel_.Loop());
    }
    {
        const QSignalBlocker block(scroll_);
        scroll_->setRange(panel_.ScrollMin(), panel_.ScrollMax());
        if (!scroll_->isSliderDown()) scroll_->setValue(panel_.ScrollPos());
    }
    position_->setText(QString::fromStdString(panel_.PositionText()));
}

// ---- The synchronizer dialog ----

SyncDialog::SyncDialog(const editing::SyncDialogModel& model, QWidget* parent)
    : QDialog(parent), model_(model) {
    setObjectName(QStringLiteral("syncDialog"));
    setWindowTitle(QString::fromUtf8(editing::SyncDialogModel::kTitle));
    source_ = new QComboBox;
    source_->setObjectName(QStringLiteral("syncSource"));
    for (const std::string& c : editing::SyncDialogModel::SourceChoices())
        source_->addItem(QString::fromStdString(c));
    source_->setCurrentIndex(model.source);

    auto value = [](const QString& text, const char* name) {
        auto* l = new QLabel(text);
        l->setObjectName(QString::fromUtf8(name));
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return l;
    };
    auto* form = new QFormLayout;
    form->addRow(Caption(QStringLiteral("Synchronization &source:"), source_), source_);
    form->addRow(QStringLiteral("Sync buffer size:"),
                 value(QStringLiteral("%1 messages").arg(model.bufferSize), "syncBuffer"));
    form->addRow(QStringLiteral("Timer period:"),
                 value(QStringLiteral("%1 ms").arg(model.timerPeriod), "syncPeriod"));
    form->addRow(
        QStringLiteral("Resolution:"),
        value(QStringLiteral("%1 ticks per beat").arg(model.resolution), "syncResolution"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

editing::SyncDialogModel SyncDialog::Model() const {
    editing::SyncDialogModel m = model_;
    m.source = source_->currentIndex();
    return m;
}

} // namespace gui
