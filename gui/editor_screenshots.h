// Pictures of the editors for scripts/screenshots: the piano roll, staff and event list of the
// demo MIDI file and of a Word (the demo tree's solution in an event list), the wave editor with
// a selection, and the editors' dialogs. Called by the screenshot hook (gui/screenshots.h) once
// the song's documents are open; changes no saved document.
//
// Used on the user-interface thread only.
#pragma once

#include <QString>

namespace gui {

class Shell;

// Writes the pictures into dir; returns how many were written.
int TakeEditorScreenshots(Shell& shell, const QString& dir);

} // namespace gui
