// The main window: the document windows in a multiple-document area (or as tabs), the menus and
// the tool bar with every command (gui/commands.h), and the status bar with the command prompts,
// the play position and the notice when no sound output could be opened.
//
// Each document of the application has one window (gui/document_window.h); closing it asks
// Save / Discard / Cancel for a modified document, and quitting asks so for each one. The title
// of a modified document carries "[*]". A command is enabled only when it can act; the window
// updates its commands after every command, whenever the active document, the devices or the
// play state change, and now and then while idle (a document may change in ways no observer
// hears).
//
// The panels: the play panel as a dock (gui/play_panel_dock.h), the virtual keyboard and the
// pitch wheel as tool bars (gui/keyboard_bar.h); songs get the song window (gui/song_window.h).
// Further docks come through AddDock, tool bars through AddBar, and document windows per kind
// through RegisterDocumentWindow. Their places are kept with the window's own
// (gui/window_state.h) when Behavior/SaveLocations is set.
//
// Used on the user-interface thread only.
#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CAmpDoc;
class CChanDoc;
class SavePathPrompt;
class QDialog;
class QDockWidget;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QProgressDialog;
class QTimer;
class QToolBar;

namespace gui {

class DeviceListDialog;
class DialogSavePrompt;
class KeyboardBar;
class PitchWheelBar;
class PlayPanelDock;
class DocumentWindow;
class FileDialogs;
class RenderJob;
class Shell;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Ondrelles Music Processor";

    explicit MainWindow(Shell& shell);
    ~MainWindow() override;

    Shell& GetShell() { return shell_; }
    QMdiArea* DocumentArea() const { return area_; }
    // The action of a command by object name (null for an unknown name).
    QAction* Action(const QString& name) const;

    // ---- Documents ----
    // Makes a window for every document of the application that has none, and activates the
    // application's active document.
    void SyncDocuments();
    // The active document window's document, or null.
    CAmpDoc* ActiveDocument() const;
    DocumentWindow* WindowOf(const CAmpDoc* doc) const;
    QMdiSubWindow* SubWindowOf(const CAmpDoc* doc) const;
    // Opens a file as the standard open does and shows its window; null when it cannot (the
    // message is shown).
    CAmpDoc* OpenPath(const QString& path);
    CAmpDoc* NewDocument(uint32_t kind);
    bool SaveDocument(CAmpDoc* doc);
    bool SaveDocumentAs(CAmpDoc* doc);
    // Shows a window on a document another one holds (an entry a song contains), titled as
    // given; it closes with its holder, and `closed` is called when it closes. The holder
    // saves it: closing the window asks nothing.
    QMdiSubWindow* ShowContained(std::shared_ptr<CChanDoc> doc, CAmpDoc* holder,
                                 const QString& title, std::function<void()> closed);
    // Closes a document's window and the document; asks first when it is modified. False when
    // the user cancelled (or the save failed).
    bool CloseDocument(CAmpDoc* doc);
    // Save / Discard / Cancel for a modified document (Save saves it); true when it may close.
    bool ConfirmClose(CAmpDoc& doc);
    // Asks for every modified document and closes them all; false when the user cancelled.
    bool CloseAllDocuments();
    // Lets every window go of its document (the program ends without asking).
    void DetachAll();

    // ---- What tests and the screenshots replace or build ----
    // The path prompt of Save and Save As (the save dialog unless replaced; not owned).
    void SetSavePathPrompt(SavePathPrompt* prompt);
    // The question on closing a modified document (Save, Discard or Cancel).
    using CloseQuestion = std::function<QMessageBox::StandardButton(CAmpDoc& doc)>;
    void SetCloseQuestion(CloseQuestion question) { closeQuestion_ = std::move(question); }
    std::unique_ptr<QMessageBox> MakeCloseQuestion(CAmpDoc& doc);
    std::unique_ptr<QProgressDialog> MakeRenderProgress(const QString& title);
    std::unique_ptr<QMessageBox> MakeAboutBox();
    FileDialogs& Dialogs() { return *dialogs_; }
    DeviceListDialog* ShowDeviceList();
    RenderJob* Render() const { return render_; }
    // Renders the active document into path (the render dialog's second half).
    bool RenderTo(CAmpDoc* doc, const QString& path);

    // ---- The panels ----
    PlayPanelDock* PlayPanel() const { return panelDock_; }
    KeyboardBar* Keyboard() const { return keyboardBar_; }
    PitchWheelBar* PitchWheel() const { return wheelBar_; }
    // The synchronizer dialog over the play panel's model (the caller shows it).
    std::unique_ptr<QDialog> MakeSyncDialog();

    // ---- Room for the panels ----
    void AddDock(QDockWidget* dock, Qt::DockWidgetArea area);
    void AddBar(QToolBar* bar, Qt::ToolBarArea area);

    // ---- Status bar ----
    QString PositionText() const;
    QString NoSoundText() const;
    void ShowNoSoundNotice(const QString& text);

    // ---- Window placement ----
    void RestoreLocations();
    void SaveLocations();

public Q_SLOTS:
    // Enables the commands that can act and names Undo and Redo.
    void UpdateCommands();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private Q_SLOTS:
    void OnNewSong();
    void OnNewTree();
    void OnNewEventList();
    void OnOpen();
    void OnClose();
    void OnSave();
    void OnSaveAs();
    void OnExportMidi(bool type0);
    void OnRenderWav();
    void OnUndo();
    void OnRedo();
    void OnPlay();
    void OnStop();
    void OnRecord();
    void OnEndRecord();
    void OnGotoStart();
    void OnGoto();
    void OnInitialize();
    void OnSendSelected();
    void OnSynchronizer();
    void OnDevices();
    void OnSettings();
    void OnAbout();
    void OnTabbed(bool on);
    void OnRecentFile();
    void OnPlayState();
    void FillWindowMenu();

private:
    void MakeActions();
    void MakeMenus();
    void MakeBars();
    void MakePanels();
    void Connect(const char* name, void (MainWindow::*slot)());
    QMdiSubWindow* AddWindow(CAmpDoc* doc);
    void FitWindow(QMdiSubWindow* sub);
    void ForgetDocument(CAmpDoc* doc);
    QString TitleOf(const CAmpDoc* doc) const;
    void UpdateRecentFiles();
    friend class DocumentSubWindow;

    Shell& shell_;
    QMdiArea* area_;
    QToolBar* fileBar_ = nullptr;
    QToolBar* playBar_ = nullptr;
    QMenu* windowMenu_ = nullptr;
    QMenu* viewMenu_ = nullptr;
    QLabel* position_ = nullptr;
    QLabel* noSound_ = nullptr; // the notice when no sound output could be opened
    std::vector<QAction*> recent_;
    std::vector<QPointer<QMdiSubWindow>> unfitted_;
    std::unique_ptr<FileDialogs> dialogs_;
    std::unique_ptr<DialogSavePrompt> dialogPrompt_;
    SavePathPrompt* savePrompt_ = nullptr;
    CloseQuestion closeQuestion_;
    QPointer<DeviceListDialog> deviceList_;
    PlayPanelDock* panelDock_ = nullptr;
    KeyboardBar* keyboardBar_ = nullptr;
    PitchWheelBar* wheelBar_ = nullptr;
    RenderJob* render_ = nullptr;
    bool haveRenderer_ = false; // dendra-cli was found
    QTimer* refresh_ = nullptr;
    int newCounter_[3] = {0, 0, 0};
    bool closing_ = false;
};

} // namespace gui
