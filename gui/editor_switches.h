// The main frame's switch that every editor reads: whether deleting a selection removes it or
// only makes it silent (the frame's "Select to delete selection, or just make it silent."). One
// for the program; the editors' Edit menus and the play panel change it, and every editor
// listens, so that each names its Delete command after it.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/frame_settings.h"

#include <QObject>

namespace gui {

class EditorSwitchesObject : public QObject {
    Q_OBJECT

public:
    EditorSwitchesObject();
    editing::FrameSettings& Settings() { return settings_; }
    bool DeleteMakesSilent() const { return settings_.DeleteMakesSilent(); }
    void SetDeleteMakesSilent(bool on) { settings_.SetDeleteMakesSilent(on); }

Q_SIGNALS:
    void changed();

private:
    editing::FrameSettings settings_;
};

EditorSwitchesObject& EditorSwitches();

} // namespace gui
