// The main window's commands: one entry per command with its object name (stable, for tests and
// scripts), its menu text, its prompt and its shortcut.
//
// A prompt is written as the system writes it: the status bar's text, optionally followed by "\n"
// and the short name a tool bar button's tip shows ("Begin play of the selected song.\nPlay").
// Every command becomes a QAction of the main window; the window decides when it is enabled.
//
// Used on the user-interface thread only.
#pragma once

#include <QString>

#include <vector>

class QAction;
class QObject;

namespace gui {

struct CommandInfo {
    const char* name;   // the QAction's object name
    const char* text;   // the menu text, with its & mnemonic
    const char* prompt; // status tip, then "\n" and the tool tip (optional)
    // The shortcuts, the first shown in the menu: "Ctrl+W; Ctrl+F4" (null for none). Written
    // out rather than taken from the platform's standard keys, which differ between desktops.
    const char* shortcuts = nullptr;
};

// Every command of the main window, in menu order.
const std::vector<CommandInfo>& Commands();
// The entry of a command by object name, or null.
const CommandInfo* FindCommand(const QString& name);

// The status tip and tool tip of a prompt.
QString StatusTipOf(const char* prompt);
QString ToolTipOf(const char* prompt, const char* text);

// A QAction for the command, owned by parent.
QAction* MakeAction(const CommandInfo& info, QObject* parent);

} // namespace gui
