#include "gui/commands.h"

#include "editing/play_panel.h"

#include <QAction>

namespace gui {

const std::vector<CommandInfo>& Commands() {
    using editing::PlayPanel;
    auto prompt = [](int id) { return PlayPanel::CommandPrompt(id); };
    static const std::vector<CommandInfo> commands = {
        // File
        {"fileNewSong", "New &Song", "Create a new song\nNew Song", "Ctrl+N"},
        {"fileNewTree", "New &Dendra", "Create a new Dendra (a function tree)\nNew Dendra",
         "Ctrl+Shift+N"},
        {"fileNewEventList", "New &Event List", "Create a new event list\nNew Event List"},
        {"fileOpen", "&Open...", "Open an existing document\nOpen", "Ctrl+O"},
        {"fileClose", "&Close", "Close the active document\nClose", "Ctrl+W; Ctrl+F4"},
        {"fileSave", "&Save", "Save the active document\nSave", "Ctrl+S"},
        {"fileSaveAs", "Save &As...", "Save the active document with a new name\nSave As",
         "Ctrl+Shift+S"},
        {"fileExportMidi", "Export &MIDI...", "Saves the current file as MIDI.\nExport MIDI"},
        {"fileExportMidiType0", "Export MIDI &Type 0...",
         "Will export a type 0 MIDI file (one track maximum).\nExport MIDI type 0"},
        {"fileRenderWav", "&Render to WAV...",
         "Render the active document to a WAVE file with the built-in synthesizer\nRender"},
        {"fileQuit", "&Quit", "Quit the application; prompts to save documents\nQuit", "Ctrl+Q"},
        // Edit
        {"editUndo", "&Undo", "Undo the last action\nUndo", "Ctrl+Z"},
        {"editRedo", "&Redo", "Redo the previously undone action\nRedo", "Ctrl+Shift+Z; Ctrl+Y"},
        {"editDeleteMode", "&Delete Makes Silent", prompt(PlayPanel::kIdDeleteMode)},
        // View
        {"viewToolBar", "&Tool Bar", "Show or hide the tool bar\nToggle ToolBar"},
        {"viewStatusBar", "&Status Bar", "Show or hide the status bar\nToggle StatusBar"},
        // Play
        {"playPlay", "&Play", prompt(PlayPanel::kIdPlay), "Space"},
        {"playStop", "&Stop", prompt(PlayPanel::kIdStop)},
        {"playRecord", "&Record", prompt(PlayPanel::kIdRecord)},
        {"playEndRecord", "&End Record", prompt(PlayPanel::kIdEndRecord)},
        {"playGotoStart", "Goto St&art", prompt(PlayPanel::kIdGotoStart), "Home"},
        {"playGoto", "&Goto", prompt(PlayPanel::kIdGoto), "Ctrl+G"},
        {"playInitialize", "&Initialize", prompt(PlayPanel::kIdInitialize)},
        {"playSendSelected", "Send Se&lected", prompt(PlayPanel::kIdSendSelected)},
        // Options
        {"optionsDevices", "&Devices...",
         "Open and close the MIDI and wave devices; double-click a device in the list\nDevices"},
        {"optionsSynchronizer", "S&ynchronizer...", prompt(PlayPanel::kIdSynchronizer)},
        {"optionsSettings", "System &Settings...",
         "Change the folders and switches of the system\nSystem Settings"},
        // Window
        {"windowCascade", "&Cascade", "Arrange windows so they overlap\nCascade Windows"},
        {"windowTile", "&Tile", "Arrange windows as non-overlapping tiles\nTile Windows"},
        {"windowTabbed", "T&abbed", "Show the document windows as tabs\nTabbed"},
        {"windowNext", "&Next Window", "Switch to the next window pane\nNext Pane", "Ctrl+F6"},
        {"windowPrevious", "&Previous Window",
         "Switch back to the previous window pane\nPrevious Pane", "Ctrl+Shift+F6"},
        {"windowCloseAll", "Close &All", "Close all documents\nClose All"},
        // Help
        {"helpAbout", "&About Dendra",
         "Display program information, version number and copyright\nAbout"},
    };
    return commands;
}

const CommandInfo* FindCommand(const QString& name) {
    for (const CommandInfo& c : Commands())
        if (name == QLatin1String(c.name)) return &c;
    return nullptr;
}

QString StatusTipOf(const char* prompt) {
    const QString p = QString::fromUtf8(prompt);
    const qsizetype cut = p.indexOf(QLatin1Char('\n'));
    return cut < 0 ? p : p.left(cut);
}

QString ToolTipOf(const char* prompt, const char* text) {
    const QString p = QString::fromUtf8(prompt);
    const qsizetype cut = p.indexOf(QLatin1Char('\n'));
    if (cut >= 0) return p.mid(cut + 1);
    QString t = QString::fromUtf8(text);
    t.remove(QLatin1Char('&'));
    if (t.endsWith(QLatin1String("..."))) t.chop(3);
    return t;
}

QAction* MakeAction(const CommandInfo& info, QObject* parent) {
    auto* a = new QAction(QString::fromUtf8(info.text), parent);
    a->setObjectName(QString::fromUtf8(info.name));
    a->setStatusTip(StatusTipOf(info.prompt));
    a->setToolTip(ToolTipOf(info.prompt, info.text));
    if (info.shortcuts)
        a->setShortcuts(QKeySequence::listFromString(QString::fromUtf8(info.shortcuts)));
    return a;
}

} // namespace gui
