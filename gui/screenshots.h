// Two hooks of `dendra` for its developers' scripts, switched on through the environment:
//
//   DENDRA_STARTUP_REPORT=1   once the main window has been painted, prints
//                             "dendra: shown; resident N kB" on standard output and quits
//                             (scripts/bench-gui times the start with it);
//   DENDRA_SCREENSHOTS=DIR    once the main window has been painted, writes PNG pictures of the
//                             main window (as started, with the song window maximized, with the
//                             song's documents tiled, as tabs, in the dark palette), the song
//                             window and its entry menu, the play panel, the keyboard bars, the
//                             menus and every dialog into DIR, and quits (scripts/screenshots).
//
// Neither changes a document; the settings are written back at exit as on any quit, so the
// scripts run the program with settings files of their own.
//
// Used on the user-interface thread only.
#pragma once

#include <QString>

namespace gui {

class Shell;

// Installs the hooks the environment asks for; returns whether one was.
bool InstallDevHooks(Shell& shell);

// Writes the pictures into dir; returns how many were written.
int TakeScreenshots(Shell& shell, const QString& dir);

// The resident memory of this process in kB (0 when unknown).
long ResidentKb();

} // namespace gui
