#include "gui/main_window.h"

#include "app/doc_templates.h"
#include "app/document_save.h"
#include "app/settings.h"
#include "documents/channel_document.h"
#include "documents/document.h"
#include "gui/commands.h"
#include "gui/device_list.h"
#include "gui/document_window.h"
#include "gui/file_dialogs.h"
#include "gui/icons.h"
#include "gui/keyboard_bar.h"
#include "gui/note_editor_window.h"
#include "gui/play_panel_dock.h"
#include "gui/render_job.h"
#include "gui/settings_dialog.h"
#include "gui/shell.h"
#include "gui/song_window.h"
#include "gui/tree_window.h"
#include "gui/window_state.h"
#include "platform/user_messages.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QProgressDialog>
#include <QShowEvent>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#ifndef DENDRA_VERSION
#define DENDRA_VERSION "0"
#endif

namespace gui {

namespace {
// How often the commands and the active window are brought up to date while idle.
constexpr int kRefreshMs = 250;

const SaveDialog kRenderDialog{"Wave Files (*.wav)|*.wav||", ".wav"};
const SaveDialog kCollectionDialog{"Collections (*.col)|*.col||", ".col"};

QString DocName(uint32_t kind) {
    // The document name of the kind's type string ("\nSong\nSong\n..."): its second field.
    if (const app::DocTemplate* t = app::TemplateForKind(kind)) {
        const QStringList fields = QString::fromUtf8(t->typeString).split(QLatin1Char('\n'));
        if (fields.size() > 1 && !fields[1].isEmpty()) return fields[1];
    }
    return KindName(kind);
}
} // namespace

// A one-line label that shortens its text with "..." to the room it has (the whole text is its
// tool tip).
class ElidedLabel : public QLabel {
public:
    ElidedLabel() { setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); }
    QSize minimumSizeHint() const override { return QSize(0, QLabel::minimumSizeHint().height()); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = contentsRect();
        p.setPen(palette().color(foregroundRole()));
        p.drawText(r, Qt::AlignVCenter | Qt::AlignLeft,
                   fontMetrics().elidedText(text(), Qt::ElideRight, r.width()));
    }
};

// A document window's frame in the document area: closing it asks for a modified document.
class DocumentSubWindow : public QMdiSubWindow {
public:
    DocumentSubWindow(MainWindow& main, DocumentWindow* content) : main_(main), content_(content) {
        setWidget(content);
        setAttribute(Qt::WA_DeleteOnClose);
    }
    DocumentWindow* Content() const { return content_; }

    // A window on a document another one holds: its own title, no question on close.
    void SetHeld(std::shared_ptr<CChanDoc> doc, CAmpDoc* holder, const QString& title,
                 std::function<void()> closed) {
        held_ = std::move(doc);
        holder_ = holder;
        heldTitle_ = title;
        closed_ = std::move(closed);
    }
    CAmpDoc* Holder() const { return holder_; }
    const QString& HeldTitle() const { return heldTitle_; }

protected:
    void closeEvent(QCloseEvent* event) override {
        if (holder_) {
            content_->Detach();
            if (auto closed = std::move(closed_)) closed();
            QMdiSubWindow::closeEvent(event);
            QTimer::singleShot(0, &main_, &MainWindow::UpdateCommands);
            return;
        }
        CAmpDoc* doc = content_->Document();
        if (doc && !main_.closing_ && doc->IsModified()) {
            if (!main_.ConfirmClose(*doc)) {
                event->ignore();
                return;
            }
        }
        if (doc) {
            content_->Detach();
            main_.ForgetDocument(doc);
        }
        QMdiSubWindow::closeEvent(event);
    }

private:
    MainWindow& main_;
    DocumentWindow* content_;
    std::shared_ptr<CChanDoc> held_; // kept alive while its window is open
    CAmpDoc* holder_ = nullptr;
    QString heldTitle_;
    std::function<void()> closed_;
};

MainWindow::MainWindow(Shell& shell) : shell_(shell) {
    RegisterTreeEditor();
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromUtf8(kTitle));
    setWindowIcon(ProgramIcon());
    setAcceptDrops(true);
    RegisterEditorWindows();
    setDockOptions(AnimatedDocks | AllowTabbedDocks | AllowNestedDocks);

    area_ = new QMdiArea;
    area_->setObjectName(QStringLiteral("documentArea"));
    area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area_->setTabsClosable(true);
    area_->setTabsMovable(true);
    area_->setDocumentMode(true);
    setCentralWidget(area_);
    connect(area_, &QMdiArea::subWindowActivated, this, &MainWindow::UpdateCommands);

    dialogs_ = std::make_unique<FileDialogs>(shell.App(), this);
    dialogPrompt_ = std::make_unique<DialogSavePrompt>(*dialogs_);
    savePrompt_ = dialogPrompt_.get();
    render_ = new RenderJob(this);
    haveRenderer_ = !RenderJob::RendererPath().isEmpty();

    MakeActions();
    MakeMenus();
    MakeBars();
    MakePanels();

    position_ = new QLabel;
    position_->setObjectName(QStringLiteral("playPosition"));
    position_->setMinimumWidth(
        position_->fontMetrics().horizontalAdvance(QStringLiteral("Recording, beat 0000")));
    noSound_ = new ElidedLabel;
    noSound_->setObjectName(QStringLiteral("noSoundNotice"));
    noSound_->hide();
    statusBar()->setObjectName(QStringLiteral("statusBar"));
    statusBar()->addWidget(noSound_, 1);
    statusBar()->addPermanentWidget(position_);

    connect(&shell, &Shell::documentsChanged, this, &MainWindow::SyncDocuments);
    connect(&shell, &Shell::devicesChanged, this, &MainWindow::UpdateCommands);
    connect(&shell, &Shell::devicesChanged, this, [this] {
        if (noSound_->isVisible() && shell_.NoSoundNotice().isEmpty()) ShowNoSoundNotice({});
    });
    connect(&shell, &Shell::playStateChanged, this, &MainWindow::OnPlayState);
    connect(&shell, &Shell::quitRequested, this, &QWidget::close);

    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, [this] {
        UpdateCommands();
        if (QMdiSubWindow* sub = area_->currentSubWindow())
            if (auto* content = static_cast<DocumentSubWindow*>(sub)->Content()) content->Refresh();
    });
    refresh_->start();
    UpdateCommands();
}

MainWindow::~MainWindow() {
    shell_.Keyboard().SetListener(nullptr);
    // Nothing may reach the half-destroyed window while its children go.
    refresh_->stop();
    area_->disconnect(this);
    shell_.disconnect(this);
    DetachAll();
}

QAction* MainWindow::Action(const QString& name) const {
    return findChild<QAction*>(name);
}

void MainWindow::Connect(const char* name, void (MainWindow::*slot)()) {
    QAction* a = Action(QString::fromUtf8(name));
    Q_ASSERT(a);
    connect(a, &QAction::triggered, this, slot);
}

void MainWindow::MakeActions() {
    for (const CommandInfo& c : Commands()) {
        QAction* a = MakeAction(c, this);
        addAction(a); // shortcuts work while the menus are hidden too
    }
    Action(QStringLiteral("fileNewSong"))->setIcon(ActionIcon(ActionGlyph::kNewSong));
    Action(QStringLiteral("fileOpen"))->setIcon(ActionIcon(ActionGlyph::kOpen));
    Action(QStringLiteral("fileSave"))->setIcon(ActionIcon(ActionGlyph::kSave));
    Action(QStringLiteral("playPlay"))->setIcon(ActionIcon(ActionGlyph::kPlay));
    Action(QStringLiteral("playStop"))->setIcon(ActionIcon(ActionGlyph::kStop));
    Action(QStringLiteral("playRecord"))->setIcon(ActionIcon(ActionGlyph::kRecord));
    Action(QStringLiteral("optionsDevices"))->setIcon(ActionIcon(ActionGlyph::kDevices));
    Action(QStringLiteral("fileQuit"))->setMenuRole(QAction::QuitRole);
    Action(QStringLiteral("helpAbout"))->setMenuRole(QAction::AboutRole);
    Action(QStringLiteral("optionsSettings"))->setMenuRole(QAction::PreferencesRole);

    Connect("fileNewSong", &MainWindow::OnNewSong);
    Connect("fileNewTree", &MainWindow::OnNewTree);
    Connect("fileNewEventList", &MainWindow::OnNewEventList);
    Connect("fileOpen", &MainWindow::OnOpen);
    Connect("fileClose", &MainWindow::OnClose);
    Connect("fileSave", &MainWindow::OnSave);
    Connect("fileSaveAs", &MainWindow::OnSaveAs);
    connect(Action(QStringLiteral("fileExportMidi")), &QAction::triggered, this,
            [this] { OnExportMidi(false); });
    connect(Action(QStringLiteral("fileExportMidiType0")), &QAction::triggered, this,
            [this] { OnExportMidi(true); });
    Connect("fileRenderWav", &MainWindow::OnRenderWav);
    connect(Action(QStringLiteral("fileQuit")), &QAction::triggered, this, &QWidget::close);
    Connect("editUndo", &MainWindow::OnUndo);
    Connect("editRedo", &MainWindow::OnRedo);
    Connect("playPlay", &MainWindow::OnPlay);
    Connect("playStop", &MainWindow::OnStop);
    Connect("playRecord", &MainWindow::OnRecord);
    Connect("playEndRecord", &MainWindow::OnEndRecord);
    Connect("playGotoStart", &MainWindow::OnGotoStart);
    Connect("playGoto", &MainWindow::OnGoto);
    Connect("playInitialize", &MainWindow::OnInitialize);
    Connect("playSendSelected", &MainWindow::OnSendSelected);
    Connect("optionsSynchronizer", &MainWindow::OnSynchronizer);
    QAction* deleteMode = Action(QStringLiteral("editDeleteMode"));
    deleteMode->setCheckable(true);
    connect(deleteMode, &QAction::triggered, this, [this](bool on) {
        shell_.Frame().SetDeleteMakesSilent(on);
        UpdateCommands();
    });
    Connect("optionsDevices", &MainWindow::OnDevices);
    Connect("optionsSettings", &MainWindow::OnSettings);
    Connect("helpAbout", &MainWindow::OnAbout);
    connect(Action(QStringLiteral("windowCascade")), &QAction::triggered, area_,
            &QMdiArea::cascadeSubWindows);
    connect(Action(QStringLiteral("windowTile")), &QAction::triggered, area_,
            &QMdiArea::tileSubWindows);
    connect(Action(QStringLiteral("windowNext")), &QAction::triggered, area_,
            &QMdiArea::activateNextSubWindow);
    connect(Action(QStringLiteral("windowPrevious")), &QAction::triggered, area_,
            &QMdiArea::activatePreviousSubWindow);
    connect(Action(QStringLiteral("windowCloseAll")), &QAction::triggered, this,
            [this] { CloseAllDocuments(); });
    QAction* tabbed = Action(QStringLiteral("windowTabbed"));
    tabbed->setCheckable(true);
    connect(tabbed, &QAction::toggled, this, &MainWindow::OnTabbed);
    Action(QStringLiteral("viewToolBar"))->setCheckable(true);
    Action(QStringLiteral("viewStatusBar"))->setCheckable(true);
    Action(QStringLiteral("viewStatusBar"))->setChecked(true);
    connect(Action(QStringLiteral("viewStatusBar")), &QAction::toggled, statusBar(),
            &QWidget::setVisible);

    for (int i = 0; i < app::kRecentFileCount; ++i) {
        auto* a = new QAction(this);
        a->setObjectName(QStringLiteral("fileRecent%1").arg(i + 1));
        a->setStatusTip(QStringLiteral("Open this document"));
        a->setVisible(false);
        connect(a, &QAction::triggered, this, &MainWindow::OnRecentFile);
        recent_.push_back(a);
    }
}

void MainWindow::MakeMenus() {
    auto add = [this](QMenu* m, const char* name) {
        m->addAction(Action(QString::fromUtf8(name)));
    };

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    file->setToolTipsVisible(true);
    QMenu* newMenu = file->addMenu(QStringLiteral("&New"));
    newMenu->setObjectName(QStringLiteral("fileNewMenu"));
    add(newMenu, "fileNewSong");
    add(newMenu, "fileNewTree");
    add(newMenu, "fileNewEventList");
    add(file, "fileOpen");
    add(file, "fileClose");
    file->addSeparator();
    add(file, "fileSave");
    add(file, "fileSaveAs");
    file->addSeparator();
    add(file, "fileExportMidi");
    add(file, "fileExportMidiType0");
    add(file, "fileRenderWav");
    file->addSeparator();
    for (QAction* a : recent_) file->addAction(a);
    QAction* recentEnd = file->addSeparator();
    recentEnd->setObjectName(QStringLiteral("fileRecentEnd"));
    add(file, "fileQuit");

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    edit->setObjectName(QStringLiteral("editMenu"));
    add(edit, "editUndo");
    add(edit, "editRedo");
    edit->addSeparator();
    add(edit, "editDeleteMode");

    viewMenu_ = menuBar()->addMenu(QStringLiteral("&View"));
    viewMenu_->setObjectName(QStringLiteral("viewMenu"));
    add(viewMenu_, "viewToolBar");
    add(viewMenu_, "viewStatusBar");
    viewMenu_->addSeparator();

    QMenu* play = menuBar()->addMenu(QStringLiteral("&Play"));
    play->setObjectName(QStringLiteral("playMenu"));
    add(play, "playPlay");
    add(play, "playStop");
    play->addSeparator();
    add(play, "playRecord");
    add(play, "playEndRecord");
    play->addSeparator();
    add(play, "playGotoStart");
    add(play, "playGoto");
    add(play, "playInitialize");
    add(play, "playSendSelected");

    QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
    options->setObjectName(QStringLiteral("optionsMenu"));
    add(options, "optionsDevices");
    add(options, "optionsSynchronizer");
    add(options, "optionsSettings");

    windowMenu_ = menuBar()->addMenu(QStringLiteral("&Window"));
    windowMenu_->setObjectName(QStringLiteral("windowMenu"));
    connect(windowMenu_, &QMenu::aboutToShow, this, &MainWindow::FillWindowMenu);
    FillWindowMenu();

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    add(help, "helpAbout");
}

void MainWindow::MakeBars() {
    fileBar_ = addToolBar(QStringLiteral("Tool Bar"));
    fileBar_->setObjectName(QStringLiteral("mainToolBar"));
    for (const char* name : {"fileNewSong", "fileOpen", "fileSave"})
        fileBar_->addAction(Action(QString::fromUtf8(name)));
    fileBar_->addSeparator();
    for (const char* name : {"playPlay", "playStop", "playRecord"})
        fileBar_->addAction(Action(QString::fromUtf8(name)));
    fileBar_->addSeparator();
    fileBar_->addAction(Action(QStringLiteral("optionsDevices")));
    QAction* toggle = Action(QStringLiteral("viewToolBar"));
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, fileBar_, &QWidget::setVisible);
    connect(fileBar_, &QToolBar::visibilityChanged, toggle, &QAction::setChecked);
}

void MainWindow::MakePanels() {
    RegisterSongWindow();
    panelDock_ = new PlayPanelDock(shell_.Panel(), *this);
    AddDock(panelDock_, Qt::BottomDockWidgetArea);
    // The tempo is the clock's, which opens and closes with the devices.
    connect(&shell_, &Shell::devicesChanged, panelDock_, &PlayPanelDock::Refresh);
    // Playing began or ended (the Now field is read-only while playing).
    connect(&shell_, &Shell::playStateChanged, panelDock_, &PlayPanelDock::Refresh);
    keyboardBar_ = new KeyboardBar(shell_.Keyboard(), this);
    AddBar(keyboardBar_, Qt::BottomToolBarArea);
    wheelBar_ = new PitchWheelBar(shell_.Keyboard(), this);
    AddBar(wheelBar_, Qt::BottomToolBarArea);
    shell_.Keyboard().SetListener([this] {
        keyboardBar_->Refresh();
        wheelBar_->Refresh();
    });
}

void MainWindow::FillWindowMenu() {
    windowMenu_->clear();
    for (const char* name : {"windowCascade", "windowTile", "windowTabbed"})
        windowMenu_->addAction(Action(QString::fromUtf8(name)));
    windowMenu_->addSeparator();
    for (const char* name : {"windowNext", "windowPrevious", "windowCloseAll"})
        windowMenu_->addAction(Action(QString::fromUtf8(name)));
    const QList<QMdiSubWindow*> windows = area_->subWindowList();
    if (windows.isEmpty()) return;
    windowMenu_->addSeparator();
    auto* group = new QActionGroup(windowMenu_);
    for (int i = 0; i < windows.size(); ++i) {
        QMdiSubWindow* sub = windows[i];
        QString title = sub->windowTitle();
        title.replace(QStringLiteral("[*]"),
                      sub->isWindowModified() ? QStringLiteral("*") : QString());
        QAction* a =
            windowMenu_->addAction((i < 9 ? QStringLiteral("&%1 ").arg(i + 1) : QString()) + title);
        a->setObjectName(QStringLiteral("windowDocument%1").arg(i + 1));
        a->setCheckable(true);
        a->setChecked(sub == area_->currentSubWindow());
        a->setStatusTip(QStringLiteral("Activate this window"));
        group->addAction(a);
        connect(a, &QAction::triggered, this, [this, sub] { area_->setActiveSubWindow(sub); });
    }
}

// ---- Documents ----

QString MainWindow::TitleOf(const CAmpDoc* doc) const {
    return QString::fromStdString(doc->GetTitle()) + QStringLiteral("[*]");
}

QMdiSubWindow* MainWindow::SubWindowOf(const CAmpDoc* doc) const {
    for (QMdiSubWindow* sub : area_->subWindowList())
        if (static_cast<DocumentSubWindow*>(sub)->Content()->Document() == doc) return sub;
    return nullptr;
}

DocumentWindow* MainWindow::WindowOf(const CAmpDoc* doc) const {
    QMdiSubWindow* sub = SubWindowOf(doc);
    return sub ? static_cast<DocumentSubWindow*>(sub)->Content() : nullptr;
}

CAmpDoc* MainWindow::ActiveDocument() const {
    QMdiSubWindow* sub = area_->currentSubWindow();
    return sub ? static_cast<DocumentSubWindow*>(sub)->Content()->Document() : nullptr;
}

QMdiSubWindow* MainWindow::AddWindow(CAmpDoc* doc) {
    const uint32_t kind = shell_.App().DocumentKind(doc);
    DocumentWindow* content = MakeDocumentWindow(*doc, kind, shell_, nullptr);
    auto* sub = new DocumentSubWindow(*this, content);
    sub->setObjectName(QStringLiteral("documentWindow"));
    sub->setWindowIcon(DocumentKindIcon(kind));
    sub->setWindowTitle(TitleOf(doc));
    sub->setWindowModified(doc->IsModified());
    area_->addSubWindow(sub);
    // A window made before the main window shows gets its size when the area has one.
    if (area_->isVisible())
        FitWindow(sub);
    else
        unfitted_.push_back(sub);
    sub->show();
    return sub;
}

void MainWindow::FitWindow(QMdiSubWindow* sub) {
    const QSize room = area_->viewport()->size();
    sub->resize(std::max(room.width() * 3 / 5, std::min(room.width(), 360)),
                std::max(room.height() * 3 / 4, std::min(room.height(), 240)));
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    for (const QPointer<QMdiSubWindow>& sub : unfitted_)
        if (sub) FitWindow(sub);
    unfitted_.clear();
}

void MainWindow::SyncDocuments() {
    app::CDendraApp& app = shell_.App();
    for (const auto& doc : app.Documents())
        if (!SubWindowOf(doc.get())) AddWindow(doc.get());
    if (CAmpDoc* active = app.ActiveDocument())
        if (QMdiSubWindow* sub = SubWindowOf(active)) area_->setActiveSubWindow(sub);
    UpdateCommands();
    shell_.KickIdle();
}

CAmpDoc* MainWindow::OpenPath(const QString& path) {
    CAmpDoc* doc = shell_.App().OpenDocumentFile(path.toStdString());
    if (doc) SyncDocuments();
    return doc;
}

CAmpDoc* MainWindow::NewDocument(uint32_t kind) {
    int& counter = newCounter_[kind == kDocKindSong ? 0 : kind == kDocKindDendra ? 1 : 2];
    const QString title = DocName(kind) + QString::number(++counter);
    CAmpDoc* doc = shell_.App().NewDocument(kind, title.toStdString());
    if (doc) SyncDocuments();
    return doc;
}

bool MainWindow::SaveDocument(CAmpDoc* doc) {
    if (!doc) return false;
    bool ok;
    if (shell_.App().DocumentKind(doc) == kDocKindCollection) {
        if (doc->GetPathName().empty()) return SaveDocumentAs(doc);
        ok = doc->OnSaveDocument(doc->GetPathName());
    } else {
        dialogPrompt_->SetSuggestedName(QString::fromStdString(doc->GetTitle()));
        dialogPrompt_->SetTitle(QString());
        const std::string before = doc->GetPathName();
        ok = ::SaveDocument(static_cast<CChanDoc&>(*doc), *savePrompt_);
        if (ok && doc->GetPathName() != before) shell_.App().AddRecentFile(doc->GetPathName());
    }
    UpdateCommands();
    return ok;
}

bool MainWindow::SaveDocumentAs(CAmpDoc* doc) {
    if (!doc) return false;
    bool ok;
    if (shell_.App().DocumentKind(doc) == kDocKindCollection) {
        std::string path;
        ok = savePrompt_->AskPath(kCollectionDialog, doc->GetPathName(), path) &&
             doc->OnSaveDocument(path);
        if (ok) {
            doc->SetPathName(path);
            doc->SetTitle(QFileInfo(QString::fromStdString(path)).fileName().toStdString());
            shell_.App().AddRecentFile(path);
        }
    } else {
        dialogPrompt_->SetSuggestedName(QString::fromStdString(doc->GetTitle()));
        dialogPrompt_->SetTitle(QString());
        ok = ::SaveDocumentAs(static_cast<CChanDoc&>(*doc), *savePrompt_);
        if (ok && !static_cast<CChanDoc*>(doc)->IsIncluded())
            shell_.App().AddRecentFile(doc->GetPathName());
    }
    UpdateCommands();
    return ok;
}

std::unique_ptr<QMessageBox> MainWindow::MakeCloseQuestion(CAmpDoc& doc) {
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::Warning, QStringLiteral("Dendra"),
        QStringLiteral("Save changes to %1?").arg(QString::fromStdString(doc.GetTitle())),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box->setObjectName(QStringLiteral("saveChangesBox"));
    box->setInformativeText(QStringLiteral("Your changes are lost if you do not save them."));
    box->setDefaultButton(QMessageBox::Save);
    box->setEscapeButton(QMessageBox::Cancel);
    return box;
}

bool MainWindow::ConfirmClose(CAmpDoc& doc) {
    if (!doc.IsModified()) return true;
    if (QMdiSubWindow* sub = SubWindowOf(&doc)) area_->setActiveSubWindow(sub);
    QMessageBox::StandardButton answer;
    if (closeQuestion_) {
        answer = closeQuestion_(doc);
    } else {
        std::unique_ptr<QMessageBox> box = MakeCloseQuestion(doc);
        answer = QMessageBox::StandardButton(box->exec());
    }
    switch (answer) {
    case QMessageBox::Save:
        return SaveDocument(&doc);
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}

QMdiSubWindow* MainWindow::ShowContained(std::shared_ptr<CChanDoc> doc, CAmpDoc* holder,
                                         const QString& title, std::function<void()> closed) {
    if (!doc || !holder) return nullptr;
    const uint32_t kind = doc->GetDocKind();
    DocumentWindow* content = MakeDocumentWindow(*doc, kind, shell_, nullptr);
    auto* sub = new DocumentSubWindow(*this, content);
    sub->SetHeld(doc, holder, title, std::move(closed));
    sub->setObjectName(QStringLiteral("containedWindow"));
    sub->setWindowIcon(DocumentKindIcon(kind));
    sub->setWindowTitle(title);
    area_->addSubWindow(sub);
    if (area_->isVisible()) FitWindow(sub);
    sub->show();
    area_->setActiveSubWindow(sub);
    UpdateCommands();
    return sub;
}

void MainWindow::ForgetDocument(CAmpDoc* doc) {
    // The windows on what the document holds close with it.
    for (QMdiSubWindow* sub : area_->subWindowList())
        if (static_cast<DocumentSubWindow*>(sub)->Holder() == doc) sub->close();
    shell_.ReleaseDocument(doc);
    shell_.App().CloseDocument(doc);
    QTimer::singleShot(0, this, &MainWindow::UpdateCommands);
}

bool MainWindow::CloseDocument(CAmpDoc* doc) {
    QMdiSubWindow* sub = SubWindowOf(doc);
    if (!sub) return false;
    return sub->close();
}

bool MainWindow::CloseAllDocuments() {
    // Ask for every modified document first; a Cancel (or a failed save) keeps everything open.
    for (QMdiSubWindow* sub : area_->subWindowList()) {
        if (static_cast<DocumentSubWindow*>(sub)->Holder()) continue; // saved with its holder
        CAmpDoc* doc = static_cast<DocumentSubWindow*>(sub)->Content()->Document();
        if (doc && !ConfirmClose(*doc)) return false;
    }
    closing_ = true;
    for (QMdiSubWindow* sub : area_->subWindowList()) sub->close();
    closing_ = false;
    UpdateCommands();
    return true;
}

void MainWindow::DetachAll() {
    if (!area_) return;
    for (QMdiSubWindow* sub : area_->subWindowList())
        static_cast<DocumentSubWindow*>(sub)->Content()->Detach();
}

void MainWindow::SetSavePathPrompt(SavePathPrompt* prompt) {
    savePrompt_ = prompt ? prompt : dialogPrompt_.get();
}

// ---- Commands ----

void MainWindow::OnNewSong() {
    NewDocument(kDocKindSong);
}

void MainWindow::OnNewTree() {
    NewDocument(kDocKindDendra);
}

void MainWindow::OnNewEventList() {
    NewDocument(kDocKindWordList);
}

void MainWindow::OnOpen() {
    const QString path = dialogs_->AskOpenPath();
    if (!path.isEmpty()) OpenPath(path);
}

void MainWindow::OnClose() {
    if (CAmpDoc* doc = ActiveDocument()) CloseDocument(doc);
}

void MainWindow::OnSave() {
    SaveDocument(ActiveDocument());
}

void MainWindow::OnSaveAs() {
    SaveDocumentAs(ActiveDocument());
}

void MainWindow::OnExportMidi(bool type0) {
    CAmpDoc* doc = ActiveDocument();
    if (!doc || shell_.App().DocumentKind(doc) == kDocKindCollection) return;
    dialogPrompt_->SetSuggestedName(
        QFileInfo(QString::fromStdString(doc->GetTitle())).completeBaseName());
    dialogPrompt_->SetTitle(QString());
    if (ExportAsMidi(static_cast<CChanDoc&>(*doc), *savePrompt_, type0))
        statusBar()->showMessage(
            QStringLiteral("Exported %1 as MIDI").arg(QString::fromStdString(doc->GetTitle())),
            5000);
}

std::unique_ptr<QProgressDialog> MainWindow::MakeRenderProgress(const QString& title) {
    auto dialog = std::make_unique<QProgressDialog>(QStringLiteral("Rendering %1...").arg(title),
                                                    QStringLiteral("Cancel"), 0, 100, this);
    dialog->setObjectName(QStringLiteral("renderProgress"));
    dialog->setWindowTitle(QStringLiteral("Render to WAV"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumDuration(0);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    return dialog;
}

void MainWindow::OnRenderWav() {
    CAmpDoc* doc = ActiveDocument();
    if (!doc || render_->Running()) return;
    const QString title = QString::fromStdString(doc->GetTitle());
    if (doc->IsModified() || doc->GetPathName().empty()) {
        // The renderer reads the saved file.
        QMessageBox box(
            QMessageBox::Question, QStringLiteral("Render to WAV"),
            QStringLiteral("Save %1 first? The render plays the saved file.").arg(title),
            QMessageBox::Save | QMessageBox::Cancel, this);
        box.setDefaultButton(QMessageBox::Save);
        if (box.exec() != QMessageBox::Save || !SaveDocument(doc) || doc->IsModified()) return;
    }
    const QFileInfo source(QString::fromStdString(doc->GetPathName()));
    const QString suggested = source.absolutePath() + QLatin1Char('/') + source.completeBaseName() +
                              QStringLiteral(".wav");
    const QString path =
        dialogs_->AskSavePath(kRenderDialog, suggested, QStringLiteral("Render to WAV"));
    if (!path.isEmpty()) RenderTo(doc, path);
}

bool MainWindow::RenderTo(CAmpDoc* doc, const QString& path) {
    if (!doc) return false;
    const QString soundFont = QString::fromStdString(
        shell_.App().Settings().GetProfileString(app::kSectionDevices, "SoundFont", ""));
    QString error;
    if (!render_->Start(QString::fromStdString(doc->GetPathName()), path, soundFont, &error)) {
        platform::Messages().Show(error.toStdString(), platform::MessageKind::Error);
        return false;
    }
    QProgressDialog* progress =
        MakeRenderProgress(QString::fromStdString(doc->GetTitle())).release();
    progress->setAttribute(Qt::WA_DeleteOnClose);
    connect(render_, &RenderJob::progress, progress, &QProgressDialog::setValue);
    connect(progress, &QProgressDialog::canceled, render_, &RenderJob::Cancel);
    connect(render_, &RenderJob::finished, progress, [this, progress](bool ok, const QString& m) {
        render_->disconnect(progress);
        progress->close();
        if (ok)
            statusBar()->showMessage(m, 10000);
        else if (!m.isEmpty())
            platform::Messages().Show(m.toStdString(), platform::MessageKind::Error);
        else
            statusBar()->showMessage(QStringLiteral("The render was cancelled."), 5000);
        UpdateCommands();
    });
    progress->show();
    UpdateCommands();
    return true;
}

void MainWindow::OnUndo() {
    if (CAmpDoc* doc = ActiveDocument()) doc->History().Undo();
    UpdateCommands();
}

void MainWindow::OnRedo() {
    if (CAmpDoc* doc = ActiveDocument()) doc->History().Redo();
    UpdateCommands();
}

void MainWindow::OnPlay() {
    if (!shell_.Play(ActiveDocument()))
        statusBar()->showMessage(QStringLiteral("Nothing to play."), 5000);
    UpdateCommands();
}

void MainWindow::OnStop() {
    shell_.Stop();
    UpdateCommands();
}

void MainWindow::OnRecord() {
    if (!shell_.Record(ActiveDocument()))
        statusBar()->showMessage(QStringLiteral("Nothing to record into."), 5000);
    UpdateCommands();
}

void MainWindow::OnEndRecord() {
    shell_.EndRecord();
    UpdateCommands();
}

void MainWindow::OnGotoStart() {
    shell_.Panel().GotoStart();
    UpdateCommands();
}

void MainWindow::OnGoto() {
    if (panelDock_) panelDock_->Refresh();
    shell_.Panel().Goto();
    UpdateCommands();
}

void MainWindow::OnInitialize() {
    // The region of the document that would play.
    shell_.Prepare(ActiveDocument());
    if (!shell_.Panel().Initialize())
        statusBar()->showMessage(QStringLiteral("Nothing to play."), 5000);
    UpdateCommands();
}

void MainWindow::OnSendSelected() {
    if (!shell_.Panel().SendSelected())
        statusBar()->showMessage(QStringLiteral("The active window has no selection to send."),
                                 5000);
    UpdateCommands();
}

std::unique_ptr<QDialog> MainWindow::MakeSyncDialog() {
    return std::make_unique<SyncDialog>(shell_.Panel().OpenSyncDialog(), this);
}

void MainWindow::OnSynchronizer() {
    SyncDialog dialog(shell_.Panel().OpenSyncDialog(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    if (!shell_.Panel().ApplySyncDialog(dialog.Model()))
        platform::Messages().Show("The synchronization source could not be changed.",
                                  platform::MessageKind::Error);
    UpdateCommands();
}

DeviceListDialog* MainWindow::ShowDeviceList() {
    if (!deviceList_) {
        deviceList_ = new DeviceListDialog(shell_, this);
        deviceList_->setAttribute(Qt::WA_DeleteOnClose);
    }
    deviceList_->show();
    deviceList_->raise();
    deviceList_->activateWindow();
    return deviceList_;
}

void MainWindow::OnDevices() {
    ShowDeviceList();
}

void MainWindow::OnSettings() {
    SettingsValues values;
    values.settings = shell_.App().Config();
    values.floatingPointTimes = shell_.FloatingPointTimes();
    values.sendFileTempoChanges = shell_.SendFileTempoChanges();
    SettingsDialog dialog(values, this);
    if (dialog.exec() != QDialog::Accepted) return;
    const SettingsValues v = dialog.Values();
    shell_.SetFloatingPointTimes(v.floatingPointTimes);
    shell_.SetSendFileTempoChanges(v.sendFileTempoChanges);
    std::string error;
    if (!shell_.ApplySettings(v.settings, &error))
        platform::Messages().Show(error, platform::MessageKind::Error);
    UpdateCommands();
}

std::unique_ptr<QMessageBox> MainWindow::MakeAboutBox() {
    auto box = std::make_unique<QMessageBox>(
        QMessageBox::NoIcon, QStringLiteral("About Dendra"),
        QStringLiteral("<h3>Dendra %1</h3><p>%2: composing with function trees.</p>"
                       "<p>Build small trees of functions, solve them into music, gather them "
                       "with MIDI files and sounds into songs, and play or render them.</p>")
            .arg(QStringLiteral(DENDRA_VERSION), QString::fromUtf8(kTitle)),
        QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setIconPixmap(ProgramIcon().pixmap(64, 64));
    return box;
}

void MainWindow::OnAbout() {
    MakeAboutBox()->exec();
}

void MainWindow::OnTabbed(bool on) {
    area_->setViewMode(on ? QMdiArea::TabbedView : QMdiArea::SubWindowView);
    QAction* a = Action(QStringLiteral("windowTabbed"));
    if (a->isChecked() != on) a->setChecked(on);
    UpdateCommands();
}

void MainWindow::OnRecentFile() {
    auto* a = qobject_cast<QAction*>(sender());
    if (a) OpenPath(a->data().toString());
}

void MainWindow::OnPlayState() {
    position_->setText(PositionText());
    UpdateCommands();
}

QString MainWindow::PositionText() const {
    const uint32_t beat = shell_.CurrentBeat();
    if (shell_.IsRecording()) return QStringLiteral("Recording, beat %1").arg(beat);
    if (shell_.IsPlaying()) return QStringLiteral("Playing, beat %1").arg(beat);
    return QStringLiteral("Beat %1").arg(beat);
}

QString MainWindow::NoSoundText() const {
    return noSound_->isHidden() ? QString() : noSound_->text();
}

void MainWindow::ShowNoSoundNotice(const QString& text) {
    noSound_->setText(text);
    noSound_->setToolTip(text);
    noSound_->setVisible(!text.isEmpty());
}

void MainWindow::UpdateRecentFiles() {
    const app::AppSettings& config = shell_.App().Config();
    for (int i = 0; i < app::kRecentFileCount; ++i) {
        QAction* a = recent_[size_t(i)];
        const QString path = QString::fromStdString(config.recentFiles[i]);
        a->setVisible(!path.isEmpty());
        if (path.isEmpty() || a->data().toString() == path) continue;
        a->setData(path);
        a->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
        a->setToolTip(path);
    }
}

void MainWindow::UpdateCommands() {
    app::CDendraApp& app = shell_.App();
    CAmpDoc* doc = ActiveDocument();
    const uint32_t kind = doc ? app.DocumentKind(doc) : 0;
    const bool channels = doc && kind != kDocKindCollection;
    const bool saveable =
        doc && (kind == kDocKindCollection || static_cast<CChanDoc*>(doc)->IsSaveable());
    auto enable = [this](const char* name, bool on) {
        Action(QString::fromUtf8(name))->setEnabled(on);
    };
    enable("fileClose", doc);
    enable("fileSave", saveable);
    enable("fileSaveAs", saveable);
    enable("fileExportMidi", channels && kind != kDocKindWave);
    enable("fileExportMidiType0", channels && kind != kDocKindWave && kind != kDocKindSong);
    enable("fileRenderWav", channels && !render_->Running() && haveRenderer_);

    QAction* undo = Action(QStringLiteral("editUndo"));
    QAction* redo = Action(QStringLiteral("editRedo"));
    const std::string undoLabel = doc ? doc->History().UndoLabel() : std::string();
    const std::string redoLabel = doc ? doc->History().RedoLabel() : std::string();
    undo->setEnabled(doc && doc->History().CanUndo());
    redo->setEnabled(doc && doc->History().CanRedo());
    undo->setText(undo->isEnabled() && !undoLabel.empty()
                      ? QStringLiteral("&Undo %1").arg(QString::fromStdString(undoLabel))
                      : QStringLiteral("&Undo"));
    redo->setText(redo->isEnabled() && !redoLabel.empty()
                      ? QStringLiteral("&Redo %1").arg(QString::fromStdString(redoLabel))
                      : QStringLiteral("&Redo"));

    const bool playing = shell_.IsPlaying(), recording = shell_.IsRecording();
    const bool canPlay = shell_.CanPlay(doc);
    enable("playPlay", playing || canPlay);
    enable("playStop", playing);
    enable("playRecord", recording || canPlay);
    enable("playEndRecord", recording);
    const bool clock = shell_.App().Devices().Clock() != nullptr;
    enable("playGotoStart", clock);
    enable("playGoto", clock);
    enable("playInitialize", canPlay || shell_.Engine().Song());
    enable("optionsSynchronizer", clock);
    Action(QStringLiteral("editDeleteMode"))->setChecked(shell_.Frame().DeleteMakesSilent());

    const int windows = int(area_->subWindowList().size());
    enable("windowCascade", windows > 0 && area_->viewMode() == QMdiArea::SubWindowView);
    enable("windowTile", windows > 0 && area_->viewMode() == QMdiArea::SubWindowView);
    enable("windowNext", windows > 1);
    enable("windowPrevious", windows > 1);
    enable("windowCloseAll", windows > 0);

    for (QMdiSubWindow* sub : area_->subWindowList()) {
        auto* docSub = static_cast<DocumentSubWindow*>(sub);
        CAmpDoc* d = docSub->Content()->Document();
        if (!d) continue;
        if (docSub->Holder()) {
            if (sub->windowTitle() != docSub->HeldTitle()) sub->setWindowTitle(docSub->HeldTitle());
            continue;
        }
        const QString title = TitleOf(d);
        if (sub->windowTitle() != title) sub->setWindowTitle(title);
        if (sub->isWindowModified() != d->IsModified()) sub->setWindowModified(d->IsModified());
    }
    const QString mainTitle = doc ? TitleOf(doc) + QStringLiteral(" - ") + QString::fromUtf8(kTitle)
                                  : QString::fromUtf8(kTitle);
    if (windowTitle() != mainTitle) setWindowTitle(mainTitle);
    setWindowModified(doc && doc->IsModified());
    position_->setText(PositionText());
    UpdateRecentFiles();
}

// ---- Panels ----

void MainWindow::AddDock(QDockWidget* dock, Qt::DockWidgetArea area) {
    addDockWidget(area, dock);
    viewMenu_->addAction(dock->toggleViewAction());
}

void MainWindow::AddBar(QToolBar* bar, Qt::ToolBarArea area) {
    addToolBar(area, bar);
    viewMenu_->addAction(bar->toggleViewAction());
}

// ---- Placement ----

void MainWindow::RestoreLocations() {
    const app::CDendraApp& app = shell_.App();
    std::optional<WindowPlacement> placement;
    if (app.Config().saveLocations) placement = ReadPlacement(shell_.App().Settings());
    if (placement && FitsScreens(placement->frame, ScreenAreas())) {
        setGeometry(placement->frame);
        if (placement->maximized) setWindowState(windowState() | Qt::WindowMaximized);
    } else {
        setGeometry(DefaultFrame());
    }
    if (placement) {
        if (!placement->bars.isEmpty()) restoreState(placement->bars);
        OnTabbed(placement->tabbed);
        // A bar hidden before the window shows tells nobody: the View menu follows it here.
        Action(QStringLiteral("viewToolBar"))->setChecked(!fileBar_->isHidden());
    }
}

void MainWindow::SaveLocations() {
    if (!shell_.App().Config().saveLocations) return;
    WindowPlacement p;
    p.frame = isMaximized() || isFullScreen() ? normalGeometry() : geometry();
    if (!p.frame.isValid()) p.frame = geometry();
    p.maximized = isMaximized();
    p.bars = saveState();
    p.tabbed = area_->viewMode() == QMdiArea::TabbedView;
    WritePlacement(shell_.App().Settings(), p);
}

// ---- Window events ----

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!CloseAllDocuments()) {
        event->ignore();
        return;
    }
    SaveLocations();
    if (shell_.IsPlaying()) shell_.Stop();
    if (render_->Running()) render_->Cancel();
    if (deviceList_) deviceList_->close();
    event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    bool opened = false;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        opened |= shell_.App().OpenByExtension(url.toLocalFile().toStdString()) != nullptr;
    }
    if (opened) {
        SyncDocuments();
        event->acceptProposedAction();
    }
}

} // namespace gui
