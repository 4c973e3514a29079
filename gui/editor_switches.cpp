#include "gui/editor_switches.h"

namespace gui {

EditorSwitchesObject::EditorSwitchesObject() {
    settings_.AddListener([this] { Q_EMIT changed(); });
}

EditorSwitchesObject& EditorSwitches() {
    static EditorSwitchesObject switches;
    return switches;
}

} // namespace gui
