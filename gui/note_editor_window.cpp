#include "gui/note_editor_window.h"

#include "editing/event_clipboard.h"
#include "editing/field_text.h"
#include "gui/editor_switches.h"
#include "gui/event_list_view.h"
#include "gui/main_window.h"
#include "gui/piano_roll.h"
#include "gui/shell.h"
#include "gui/staff_view.h"
#include "gui/wave_view.h"
#include "platform/user_messages.h"
#include "song/play_engine.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace gui {

namespace {

struct NoteCommand {
    const char* name;
    const char* text;
    const char* prompt;
    const char* shortcut;
};

const NoteCommand kCommands[] = {
    {"noteCut", "Cu&t", "Cut the selection and put it on the Clipboard\nCut", "Ctrl+X"},
    {"noteCopy", "&Copy", "Copy the selection and put it on the Clipboard\nCopy", "Ctrl+C"},
    {"notePaste", "&Paste", "Insert Clipboard contents\nPaste", "Ctrl+V"},
    {"noteDelete", "&Delete", "Delete the selection, or make the range silent\nDelete", "Del"},
    {"noteSelectAll", "Select &All", "Select every note of the selected tracks\nSelect All",
     "Ctrl+A"},
    {"noteSelectTrack", "Select Whole &Track", "Select the whole track.", nullptr},
    {"noteRangeMode", "&Range Mode",
     "Toggles the Left-Right mouse button selction of a part.\nRange Mode", nullptr},
    {"noteSelectionParameters", "Selection &Parameters...", "Change the selection parameters.",
     nullptr},
    {"noteDeleteMode", "Delete &Makes Silent",
     "Select to delete selection, or just make it silent.", nullptr},
    {"noteQuantize", "&Quantize...", "Quantize/Randomize Event times.", nullptr},
    {"noteStretch", "&Stretch...", "Stretches/Contracts selected Time.", nullptr},
    {"noteChangeUnits", "Change &Units per Beat...",
     "Change ticks per beat of the file.  May cause slight rounding errors.", nullptr},
    {"noteRemoveTempo", "Remove Tempo C&hanges",
     "This will remove all of the tempo changes in the file.", nullptr},
    {"noteFindNonNote", "&Find Next Non-Note", "Finds the next non note event.", "F3"},
    {"noteSendSelected", "Send &Selected",
     "Makes the Selected region the Playing region.\nSend selected", nullptr},
    {"noteToolSelect", "&Select Tool", "Select, move and resize notes\nSelect", "S"},
    {"noteToolPencil", "&Pencil Tool", "Draw notes\nPencil", "P"},
    {"noteZoomIn", "Zoom &In", "Show less time, larger\nZoom In", "Ctrl++; Ctrl+="},
    {"noteZoomOut", "Zoom &Out", "Show more time\nZoom Out", "Ctrl+-"},
    {"noteZoomFit", "Zoom to &Fit", "Show every note\nZoom to Fit", "Ctrl+0"},
    {"noteFollow", "&Follow Play", "Page along with the play position\nFollow", nullptr},
};

QString StatusOf(const char* prompt) {
    const QString p = QString::fromUtf8(prompt);
    const qsizetype cut = p.indexOf(QLatin1Char('\n'));
    return cut < 0 ? p : p.left(cut);
}

QString TipOf(const char* prompt, const char* text) {
    const QString p = QString::fromUtf8(prompt);
    const qsizetype cut = p.indexOf(QLatin1Char('\n'));
    if (cut >= 0) return p.mid(cut + 1);
    QString t = QString::fromUtf8(text);
    t.remove(QLatin1Char('&'));
    if (t.endsWith(QLatin1String("..."))) t.chop(3);
    return t;
}

QDialogButtonBox* OkCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

// Scroll bars count in steps of this many units at most, to stay within an int.
double ScrollScale(double units) {
    return std::max(1.0, units / 1e8);
}

} // namespace

// ---- Dialogs --------------------------------------------------------------------------------

QuantizeDialog::QuantizeDialog(const editing::QuantizeSettings& v, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("quantizeDialog"));
    setWindowTitle(QStringLiteral("Quantize"));
    auto* form = new QFormLayout;
    divisor_ = new QSpinBox;
    divisor_->setObjectName(QStringLiteral("divisor"));
    divisor_->setRange(1, 1000000);
    divisor_->setValue(v.divisor);
    divisor_->setToolTip(QStringLiteral("The grid is the beat divided by this"));
    strength_ = new QSpinBox;
    strength_->setObjectName(QStringLiteral("strength"));
    strength_->setRange(0, 100);
    strength_->setSuffix(QStringLiteral(" %"));
    strength_->setValue(v.strength);
    randomStrength_ = new QCheckBox(QStringLiteral("A random strength for every event"));
    randomStrength_->setChecked(v.randomStrength);
    randomMode_ = new QCheckBox(QStringLiteral("Randomize instead of quantizing"));
    randomMode_->setChecked(v.randomMode);
    onsets_ = new QCheckBox(QStringLiteral("Onsets"));
    onsets_->setChecked(v.onsets);
    durations_ = new QCheckBox(QStringLiteral("Durations"));
    durations_->setChecked(v.durations);
    form->addRow(QStringLiteral("Grid divisor:"), divisor_);
    form->addRow(QStringLiteral("Strength:"), strength_);
    form->addRow(QString(), randomStrength_);
    form->addRow(QString(), randomMode_);
    auto* what = new QHBoxLayout;
    what->addWidget(onsets_);
    what->addWidget(durations_);
    what->addStretch(1);
    form->addRow(QStringLiteral("Quantize:"), what);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

editing::QuantizeSettings QuantizeDialog::Values() const {
    editing::QuantizeSettings v;
    v.divisor = divisor_->value();
    v.strength = strength_->value();
    v.randomStrength = randomStrength_->isChecked();
    v.randomMode = randomMode_->isChecked();
    v.onsets = onsets_->isChecked();
    v.durations = durations_->isChecked();
    return v;
}

StretchDialog::StretchDialog(const editing::StretchSettings& v, uint32_t rangeLength,
                             QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("stretchDialog"));
    setWindowTitle(QStringLiteral("Stretch"));
    auto* form = new QFormLayout;
    factor_ = new QDoubleSpinBox;
    factor_->setObjectName(QStringLiteral("factor"));
    factor_->setDecimals(4);
    factor_->setRange(0.0001, 1000);
    factor_->setValue(v.factor);
    length_ = new QSpinBox;
    length_->setObjectName(QStringLiteral("newLength"));
    length_->setRange(1, int(editing::kMaxEditTime));
    length_->setValue(int(v.newLength ? v.newLength : std::max<uint32_t>(1, rangeLength)));
    length_->setSuffix(QStringLiteral(" units"));
    byLength_ = new QCheckBox(QStringLiteral("Stretch to the new length"));
    byLength_->setChecked(v.byLength);
    onsets_ = new QCheckBox(QStringLiteral("Onsets"));
    onsets_->setChecked(v.onsets);
    durations_ = new QCheckBox(QStringLiteral("Durations"));
    durations_->setChecked(v.durations);
    form->addRow(QStringLiteral("Factor:"), factor_);
    form->addRow(QStringLiteral("New length:"), length_);
    form->addRow(QString(), byLength_);
    auto* what = new QHBoxLayout;
    what->addWidget(onsets_);
    what->addWidget(durations_);
    what->addStretch(1);
    form->addRow(QStringLiteral("Stretch:"), what);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

editing::StretchSettings StretchDialog::Values() const {
    editing::StretchSettings v;
    v.factor = factor_->value();
    v.newLength = uint32_t(length_->value());
    v.byLength = byLength_->isChecked();
    v.onsets = onsets_->isChecked();
    v.durations = durations_->isChecked();
    return v;
}

SelectionDialog::SelectionDialog(const QString& start, const QString& end, int tracks,
                                 QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("selectionDialog"));
    setWindowTitle(QStringLiteral("Selection Parameters"));
    auto* form = new QFormLayout;
    start_ = new QLineEdit(start);
    start_->setObjectName(QStringLiteral("rangeStart"));
    end_ = new QLineEdit(end);
    end_->setObjectName(QStringLiteral("rangeEnd"));
    target_ = new QComboBox;
    target_->setObjectName(QStringLiteral("targetTrack"));
    target_->addItem(QStringLiteral("(stay where they are)"), 0);
    for (int t = 1; t <= tracks; ++t) target_->addItem(QStringLiteral("Track %1").arg(t), t);
    form->addRow(QStringLiteral("Range start (beats):"), start_);
    form->addRow(QStringLiteral("Range end (beats):"), end_);
    form->addRow(QStringLiteral("Move the selection to:"), target_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this));
}

QString SelectionDialog::StartText() const {
    return start_->text();
}
QString SelectionDialog::EndText() const {
    return end_->text();
}
int SelectionDialog::TargetTrack() const {
    return target_->currentData().toInt();
}

// ---- The window -----------------------------------------------------------------------------

NoteEditorWindow::NoteEditorWindow(CChanDoc& doc, uint32_t kind, Shell& shell, bool readOnly,
                                   QWidget* parent)
    : DocumentWindow(doc, kind, parent), shell_(shell), readOnly_(readOnly) {
    setObjectName(QStringLiteral("noteEditorWindow"));
    editor_ = std::make_unique<editing::NoteEditor>(doc);
    editor_->SetSilenceSource([] { return EditorSwitches().DeleteMakesSilent(); });
    editor_->SetListener([this] { ModelChanged(); });

    roll_ = new PianoRoll;
    roll_->SetReadOnly(readOnly);
    staff_ = new StaffView;
    list_ = new EventListView;
    list_->SetTimeStyle([this] {
        return shell_.FloatingPointTimes() ? editing::TimeStyle::kDecimal
                                           : editing::TimeStyle::kColon;
    });
    if (readOnly) list_->Table()->setEditTriggers(QAbstractItemView::NoEditTriggers);

    hbar_ = new QScrollBar(Qt::Horizontal);
    hbar_->setObjectName(QStringLiteral("pianoRollHorizontal"));
    vbar_ = new QScrollBar(Qt::Vertical);
    vbar_->setObjectName(QStringLiteral("pianoRollVertical"));
    auto* rollPage = new QWidget;
    auto* grid = new QGridLayout(rollPage);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(0);
    grid->addWidget(roll_, 0, 0);
    grid->addWidget(vbar_, 0, 1);
    grid->addWidget(hbar_, 1, 0);

    tabs_ = new QTabWidget;
    tabs_->setObjectName(QStringLiteral("noteViews"));
    tabs_->setDocumentMode(true);
    tabs_->addTab(rollPage, QStringLiteral("Piano Roll"));
    tabs_->addTab(staff_, QStringLiteral("Staff"));
    tabs_->addTab(list_, QStringLiteral("Event List"));

    MakeActions();
    MakeBar();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* menus = new QMenuBar;
    menus->setObjectName(QStringLiteral("noteMenuBar"));
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
        return m;
    };
    addMenu(QStringLiteral("&Edit"), "noteEditMenu",
            {"noteCut", "noteCopy", "notePaste", "noteDelete", nullptr, "noteSelectAll",
             "noteSelectTrack", "noteRangeMode", "noteSelectionParameters", nullptr,
             "noteDeleteMode"});
    addMenu(QStringLiteral("&Notes"), "noteNotesMenu",
            {"noteQuantize", "noteStretch", nullptr, "noteChangeUnits", "noteRemoveTempo",
             "noteFindNonNote", nullptr, "noteSendSelected"});
    addMenu(QStringLiteral("&View"), "noteViewMenu",
            {"noteToolSelect", "noteToolPencil", nullptr, "noteZoomIn", "noteZoomOut",
             "noteZoomFit", nullptr, "noteFollow"});
    layout->setMenuBar(menus);
    layout->addWidget(bar_);
    layout->addWidget(tabs_, 1);

    context_ = new QMenu(this);
    for (const char* name : {"noteCut", "noteCopy", "notePaste", "noteDelete", "", "noteQuantize",
                             "noteSelectionParameters"}) {
        if (!*name)
            context_->addSeparator();
        else
            context_->addAction(Action(QString::fromUtf8(name)));
    }
    roll_->SetContextMenu(context_);
    list_->Table()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_->Table(), &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        context_->popup(list_->Table()->viewport()->mapToGlobal(p));
    });

    roll_->SetModel(editor_.get(), &cache_);
    staff_->SetModel(editor_.get(), &cache_);
    list_->SetEditor(editor_.get());
    FillTracks();

    connect(roll_, &PianoRoll::viewChanged, this, &NoteEditorWindow::UpdateScrollBars);
    connect(roll_, &PianoRoll::edited, this, &NoteEditorWindow::AfterEdit);
    connect(list_, &EventListView::edited, this, &NoteEditorWindow::AfterEdit);
    connect(hbar_, &QScrollBar::valueChanged, this, [this](int v) {
        if (updatingBars_) return;
        roll_->SetOriginTime(v * ScrollScale(roll_->ContentUnits()));
    });
    connect(vbar_, &QScrollBar::valueChanged, this, [this](int v) {
        if (!updatingBars_) roll_->SetOriginY(v);
    });
    connect(staff_, &StaffView::viewChanged, this, [this] {
        // The staff keeps to the piano roll's time.
        if (std::abs(staff_->OriginTime() - roll_->OriginTime()) > 0.5)
            roll_->SetOriginTime(staff_->OriginTime());
    });
    connect(tabs_, &QTabWidget::currentChanged, this, [this] {
        if (tabs_->currentWidget() == list_) {
            list_->Rebuild();
            list_->FollowSelection();
        }
        staff_->SetOriginTime(roll_->OriginTime());
    });
    connect(&shell_, &Shell::playStateChanged, this, &NoteEditorWindow::UpdatePlayPosition);
    connect(&EditorSwitches(), &EditorSwitchesObject::changed, this,
            &NoteEditorWindow::UpdateActions);
    Refresh();
}

NoteEditorWindow::~NoteEditorWindow() {
    Detach();
}

void NoteEditorWindow::Detach() {
    if (editor_) {
        roll_->SetModel(nullptr, nullptr);
        staff_->SetModel(nullptr, nullptr);
        list_->SetEditor(nullptr);
        editor_.reset();
        cache_.Clear();
    }
    DocumentWindow::Detach();
}

QAction* NoteEditorWindow::Action(const QString& name) const {
    return findChild<QAction*>(name);
}

void NoteEditorWindow::MakeActions() {
    for (const NoteCommand& c : kCommands) {
        auto* a = new QAction(QString::fromUtf8(c.text), this);
        a->setObjectName(QString::fromUtf8(c.name));
        a->setStatusTip(StatusOf(c.prompt));
        a->setToolTip(TipOf(c.prompt, c.text));
        if (c.shortcut) {
            a->setShortcuts(QKeySequence::listFromString(QString::fromUtf8(c.shortcut)));
            a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        addAction(a);
    }
    auto on = [this](const char* name, auto slot) {
        connect(Action(QString::fromUtf8(name)), &QAction::triggered, this, slot);
    };
    auto edit = [this](bool done) {
        if (done) AfterEdit();
    };
    on("noteCut", [this, edit] { edit(editor_ && editor_->Cut()); });
    on("noteCopy", [this] {
        if (editor_) editor_->Copy();
        UpdateActions();
    });
    on("notePaste", [this, edit] { edit(editor_ && editor_->Paste()); });
    on("noteDelete", [this, edit] { edit(editor_ && editor_->Delete()); });
    on("noteSelectAll", [this] {
        if (editor_) editor_->SelectRect(0, UINT32_MAX, 0, 127, editing::SelectMode::Replace);
    });
    on("noteSelectTrack", [this] {
        if (editor_) editor_->SelectWholeTrack();
    });
    QAction* range = Action(QStringLiteral("noteRangeMode"));
    range->setCheckable(true);
    connect(range, &QAction::toggled, this, [this](bool checked) {
        if (editor_ && editor_->RangeMode() != checked) editor_->ToggleRangeMode();
    });
    on("noteSelectionParameters", [this] {
        if (!editor_) return;
        SelectionDialog dialog(TimeText(editor_->RangeStart()), TimeText(editor_->RangeEnd()),
                               editor_->TrackCount(), this);
        if (dialog.exec() == QDialog::Accepted)
            ApplySelection(dialog.StartText(), dialog.EndText(), dialog.TargetTrack());
    });
    QAction* silent = Action(QStringLiteral("noteDeleteMode"));
    silent->setCheckable(true);
    connect(silent, &QAction::toggled, this,
            [](bool checked) { EditorSwitches().SetDeleteMakesSilent(checked); });
    on("noteQuantize", [this] {
        QuantizeDialog dialog(quantize_, this);
        if (dialog.exec() == QDialog::Accepted) {
            quantize_ = dialog.Values();
            Quantize(quantize_);
        }
    });
    on("noteStretch", [this] {
        if (!editor_) return;
        StretchDialog dialog(stretch_, editor_->RangeEnd() - editor_->RangeStart(), this);
        if (dialog.exec() == QDialog::Accepted) {
            stretch_ = dialog.Values();
            Stretch(stretch_);
        }
    });
    on("noteChangeUnits", [this] {
        if (!editor_) return;
        bool ok = false;
        const int units = QInputDialog::getInt(
            this, QStringLiteral("Units per Beat"),
            QStringLiteral("Units per beat (may cause slight rounding errors):"),
            int(editor_->Doc().GetTicksPerBeat(kUnitsPerBeat)), 1, 1000000, 1, &ok);
        if (ok) ChangeUnits(uint32_t(units));
    });
    on("noteRemoveTempo", [this, edit] { edit(editor_ && editor_->RemoveTempoChanges()); });
    on("noteFindNonNote", [this] {
        if (!editor_) return;
        const int channel =
            std::clamp(editor_->Doc().GetCurrentChannel(), 1, std::max(1, editor_->TrackCount()));
        const SongEvent* from = nullptr;
        uint32_t time = 0;
        for (const editing::EventRef& r : editor_->Selection())
            if (r.channel == channel) {
                from = r.event;
                time = r.time;
            }
        if (auto next = editor_->FindNextNonNote(channel, from, time)) {
            editor_->Click(next->channel, next->event, next->time, editing::SelectMode::Replace);
            roll_->SetOriginTime(next->time - roll_->VisibleUnits() * 0.1);
            if (tabs_->currentWidget() == list_) list_->ShowEvent(next->event);
        } else {
            shell_.Window()->statusBar()->showMessage(
                QStringLiteral("No further event that is not a note."), 4000);
        }
    });
    on("noteSendSelected", [this] { SendSelected(); });
    auto* tools = new QActionGroup(this);
    for (const char* name : {"noteToolSelect", "noteToolPencil"}) {
        QAction* a = Action(QString::fromUtf8(name));
        a->setCheckable(true);
        tools->addAction(a);
    }
    Action(QStringLiteral("noteToolSelect"))->setChecked(true);
    on("noteToolSelect", [this] { roll_->SetTool(PianoRoll::Tool::Select); });
    on("noteToolPencil", [this] { roll_->SetTool(PianoRoll::Tool::Pencil); });
    on("noteZoomIn", [this] {
        roll_->SetPixelsPerBeat(roll_->PixelsPerBeat() * 1.5, roll_->NoteArea().center().x());
        staff_->SetPixelsPerBeat(staff_->PixelsPerBeat() * 1.5);
    });
    on("noteZoomOut", [this] {
        roll_->SetPixelsPerBeat(roll_->PixelsPerBeat() / 1.5, roll_->NoteArea().center().x());
        staff_->SetPixelsPerBeat(staff_->PixelsPerBeat() / 1.5);
    });
    on("noteZoomFit", [this] { roll_->ZoomToFit(); });
    QAction* follow = Action(QStringLiteral("noteFollow"));
    follow->setCheckable(true);
    follow->setChecked(true);
    if (readOnly_)
        for (const char* name :
             {"noteCut", "notePaste", "noteDelete", "noteQuantize", "noteStretch",
              "noteChangeUnits", "noteRemoveTempo", "noteToolPencil"})
            Action(QString::fromUtf8(name))->setVisible(false);
}

void NoteEditorWindow::MakeBar() {
    bar_ = new QToolBar;
    bar_->setObjectName(QStringLiteral("noteToolBar"));
    bar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    bar_->addAction(Action(QStringLiteral("noteToolSelect")));
    if (!readOnly_) bar_->addAction(Action(QStringLiteral("noteToolPencil")));
    bar_->addSeparator();
    auto* gridLabel = new QLabel(QStringLiteral(" Grid "));
    bar_->addWidget(gridLabel);
    snap_ = new QComboBox;
    snap_->setObjectName(QStringLiteral("noteGrid"));
    snap_->setToolTip(
        QStringLiteral("The grid that drags and drawn notes snap to (Shift bypasses it)"));
    snap_->addItem(QStringLiteral("Off"), 0);
    for (int d : {1, 2, 3, 4, 6, 8, 12, 16, 32})
        snap_->addItem(d == 1 ? QStringLiteral("Beat") : QStringLiteral("1/%1 beat").arg(d), d);
    snap_->setCurrentIndex(snap_->findData(4));
    connect(snap_, &QComboBox::currentIndexChanged, this, [this] {
        roll_->SetSnapDivisor(snap_->currentData().toInt());
        staff_->SetGridDivisor(snap_->currentData().toInt());
        staff_->update();
    });
    bar_->addWidget(snap_);
    bar_->addSeparator();
    bar_->addWidget(new QLabel(QStringLiteral(" Track ")));
    tracks_ = new QComboBox;
    tracks_->setObjectName(QStringLiteral("noteTracks"));
    tracks_->setToolTip(QStringLiteral("The tracks the views show and the commands act on"));
    connect(tracks_, &QComboBox::activated, this, [this] {
        if (!editor_) return;
        const int t = tracks_->currentData().toInt();
        if (t == 0) {
            for (int ch = 1; ch <= editor_->TrackCount(); ++ch) editor_->SetTrackSelected(ch, true);
        } else {
            editor_->SelectOnlyTrack(t);
            editor_->Doc().SetCurrentChannel(t);
        }
        list_->Rebuild();
        staff_->NotesChanged();
    });
    bar_->addWidget(tracks_);
    bar_->addSeparator();
    for (const char* name : {"noteZoomIn", "noteZoomOut", "noteZoomFit"})
        bar_->addAction(Action(QString::fromUtf8(name)));
}

void NoteEditorWindow::FillTracks() {
    if (!editor_) return;
    const int count = editor_->TrackCount();
    if (tracks_->count() == count + 1) return;
    tracks_->clear();
    tracks_->addItem(QStringLiteral("All"), 0);
    for (int t = 1; t <= count; ++t) tracks_->addItem(QStringLiteral("%1").arg(t), t);
    tracks_->setEnabled(count > 1);
}

const NoteCache& NoteEditorWindow::Cache() {
    if (dirty_ && editor_) {
        cache_.Build(editor_->Doc());
        dirty_ = false;
    }
    return cache_;
}

void NoteEditorWindow::OnUpdate(CDocView*, long) {
    dirty_ = true;
    Refresh();
}

uint32_t NoteEditorWindow::Signature() {
    // What changes with the events without a word to the views (a recording merged by hand, a
    // tree solved again): the counts and the resolution.
    if (!editor_) return 0;
    CChanDoc& doc = editor_->Doc();
    uint32_t s = doc.GetTicksPerBeat(kUnitsPerBeat) * 31u + uint32_t(doc.GetChannelCount());
    for (int ch = 1; ch <= doc.GetChannelCount(); ++ch)
        if (CEventTree* t = doc.GetChannelEvents(ch)) s = s * 131u + uint32_t(t->GetCount());
    return s;
}

void NoteEditorWindow::Refresh() {
    if (!editor_) return;
    const uint32_t signature = Signature();
    if (signature != signature_) {
        signature_ = signature;
        dirty_ = true;
    }
    if (dirty_) {
        Cache();
        FillTracks();
        staff_->NotesChanged();
        if (tabs_->currentWidget() == list_) {
            list_->Rebuild();
            list_->FollowSelection();
        }
        roll_->update();
        UpdateScrollBars();
    }
    UpdateActions();
    UpdatePlayPosition();
}

void NoteEditorWindow::ModelChanged() {
    if (!editor_) return;
    roll_->update();
    staff_->update();
    if (tabs_->currentWidget() == list_) list_->FollowSelection();
    QAction* range = Action(QStringLiteral("noteRangeMode"));
    if (range->isChecked() != editor_->RangeMode()) range->setChecked(editor_->RangeMode());
    UpdateActions();
}

void NoteEditorWindow::AfterEdit() {
    // The document told its views already; the main window's Undo names the step.
    if (MainWindow* w = shell_.Window()) w->UpdateCommands();
    UpdateActions();
}

void NoteEditorWindow::UpdateActions() {
    const bool on = editor_ != nullptr;
    auto enable = [this](const char* name, bool e) {
        Action(QString::fromUtf8(name))->setEnabled(e);
    };
    const bool edit = on && !readOnly_;
    enable("noteCut", edit && editor_->CanCut());
    enable("noteCopy", on && editor_->CanCopy());
    enable("notePaste", edit && editor_->CanPaste());
    enable("noteDelete", edit && editor_->CanDelete());
    enable("noteSelectAll", on);
    enable("noteSelectTrack", on);
    enable("noteRangeMode", on);
    enable("noteSelectionParameters", edit);
    enable("noteQuantize", edit && editor_->CanQuantize());
    enable("noteStretch", edit && editor_->CanStretch());
    enable("noteChangeUnits", edit);
    enable("noteRemoveTempo", edit);
    enable("noteFindNonNote", on);
    enable("noteSendSelected", on && Markers().has_value());
    const bool silent = EditorSwitches().DeleteMakesSilent();
    QAction* mode = Action(QStringLiteral("noteDeleteMode"));
    if (mode->isChecked() != silent) mode->setChecked(silent);
    Action(QStringLiteral("noteDelete"))
        ->setText(on && editor_->HasRange() && silent ? QStringLiteral("Make &Silent")
                                                      : QStringLiteral("&Delete"));
}

void NoteEditorWindow::UpdateScrollBars() {
    updatingBars_ = true;
    const double scale = ScrollScale(roll_->ContentUnits());
    hbar_->setRange(
        0, int(std::max(0.0, roll_->ContentUnits() - roll_->VisibleUnits() * 0.5) / scale));
    hbar_->setPageStep(std::max(1, int(roll_->VisibleUnits() / scale)));
    hbar_->setSingleStep(std::max(1, int(roll_->VisibleUnits() / scale / 20)));
    hbar_->setValue(int(roll_->OriginTime() / scale));
    const int visible = roll_->NoteArea().height();
    vbar_->setRange(0, std::max(0, int(roll_->ContentHeight()) - visible));
    vbar_->setPageStep(std::max(1, visible));
    vbar_->setSingleStep(std::max(1, int(roll_->RowHeight())));
    vbar_->setValue(int(roll_->OriginY()));
    updatingBars_ = false;
    if (std::abs(staff_->OriginTime() - roll_->OriginTime()) > 0.5)
        staff_->SetOriginTime(roll_->OriginTime());
}

void NoteEditorWindow::UpdatePlayPosition() {
    if (!editor_) return;
    std::optional<uint32_t> at;
    if (shell_.IsPlaying() && shell_.PlayingDocument() == Document())
        at = shell_.CurrentBeat() * editor_->Doc().GetTicksPerBeat(kUnitsPerBeat);
    const bool follow = Action(QStringLiteral("noteFollow"))->isChecked();
    roll_->SetPlayPosition(at, follow);
    staff_->SetPlayPosition(at);
}

void NoteEditorWindow::showEvent(QShowEvent* event) {
    DocumentWindow::showEvent(event);
    if (!fitted_ && editor_) {
        fitted_ = true;
        // The first look: the first bars at a readable size, around the notes' keys.
        Cache();
        roll_->SetPixelsPerBeat(
            std::max(24, fontMetrics().horizontalAdvance(QStringLiteral("0000")) * 2));
        if (!cache_.Notes().empty())
            roll_->CentreKey((cache_.LowKey() + cache_.HighKey()) / 2);
        else
            roll_->CentreKey(60);
        UpdateScrollBars();
    }
}

QString NoteEditorWindow::TimeText(uint32_t units) const {
    if (!editor_) return {};
    return QString::fromStdString(editing::FormatTime(
        units, std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat)),
        shell_.FloatingPointTimes() ? editing::TimeStyle::kDecimal : editing::TimeStyle::kColon));
}

bool NoteEditorWindow::Quantize(const editing::QuantizeSettings& settings) {
    const bool done = editor_ && !readOnly_ && editor_->Quantize(settings);
    if (done) AfterEdit();
    return done;
}

bool NoteEditorWindow::Stretch(const editing::StretchSettings& settings) {
    const bool done = editor_ && !readOnly_ && editor_->Stretch(settings);
    if (done) AfterEdit();
    return done;
}

bool NoteEditorWindow::ApplySelection(const QString& start, const QString& end, int targetTrack) {
    if (!editor_) return false;
    const uint32_t units = std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat));
    const auto s = editing::ParseTime(start.toStdString(), units);
    const auto e = editing::ParseTime(end.toStdString(), units);
    if (!s || !e) {
        platform::Messages().Show("Please enter the times in beats, such as 2.5 or 2:500.",
                                  platform::MessageKind::Warning);
        return false;
    }
    const auto clamp = [](uint64_t v) {
        return uint32_t(std::min<uint64_t>(v, editing::kMaxEditTime));
    };
    // The selection moves first; the range then shows in range mode.
    const bool done =
        editor_->ApplySelectionParameters(clamp(*s), clamp(*e), readOnly_ ? 0 : targetTrack);
    if (done && !editor_->RangeMode()) {
        editor_->ToggleRangeMode();
        editor_->SetRange(clamp(*s), clamp(*e));
    }
    AfterEdit();
    return done;
}

bool NoteEditorWindow::ChangeUnits(uint32_t unitsPerBeat) {
    const bool done = editor_ && !readOnly_ && editor_->ChangeUnitsPerBeat(unitsPerBeat);
    if (done) AfterEdit();
    return done;
}

std::optional<std::pair<int, int>> NoteEditorWindow::Markers() {
    if (!editor_) return std::nullopt;
    const uint32_t units = std::max<uint32_t>(1, editor_->Doc().GetTicksPerBeat(kUnitsPerBeat));
    uint32_t from = 0, to = 0;
    if (editor_->HasRange()) {
        from = editor_->RangeStart();
        to = editor_->RangeEnd();
    } else if (editor_->HasSelection()) {
        from = UINT32_MAX;
        for (const editing::EventRef& r : editor_->Selection()) {
            from = std::min(from, r.time);
            to = std::max<uint32_t>(to, r.time + std::max<uint32_t>(1, r.event->GetDuration()));
        }
    } else {
        return std::nullopt;
    }
    // Whole beats around the region.
    const int start = int(std::min<uint32_t>(from / units, 4000));
    const int end = int(std::min<uint32_t>((to + units - 1) / units, 4000));
    return std::make_pair(start, std::max(end, start + 1));
}

bool NoteEditorWindow::SendSelected() {
    const auto m = Markers();
    if (!m) return false;
    CPlayEngine& engine = shell_.Engine();
    engine.SetLoopStart(uint32_t(m->first));
    engine.SetLoopEnd(uint32_t(m->second));
    if (MainWindow* w = shell_.Window())
        w->statusBar()->showMessage(
            QStringLiteral("Playing region: beats %1 to %2").arg(m->first).arg(m->second), 4000);
    Q_EMIT shell_.playStateChanged();
    return true;
}

// ---- Registration ---------------------------------------------------------------------------

void RegisterEditorWindows() {
    const DocumentWindowMaker notes = [](CAmpDoc& doc, uint32_t kind, Shell& shell,
                                         QWidget* parent) -> DocumentWindow* {
        return new NoteEditorWindow(static_cast<CChanDoc&>(doc), kind, shell, false, parent);
    };
    RegisterDocumentWindow(kDocKindMidi, notes);
    RegisterDocumentWindow(kDocKindWordList, notes);
    RegisterDocumentWindow(
        kDocKindWave,
        [](CAmpDoc& doc, uint32_t kind, Shell& shell, QWidget* parent) -> DocumentWindow* {
            return new WaveEditorWindow(static_cast<CWaveDoc&>(doc), kind, shell, parent);
        });
}

} // namespace gui
