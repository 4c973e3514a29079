// Where the main window and its bars were: kept in the settings when Behavior/SaveLocations is set,
// under the section "SavedCtrlStates", and put back at the next start.
//
//   Frame   "x y width height maximized": the window's normal geometry and whether it was
//           maximized;
//   Bars    the tool bars' and docks' positions (Qt's state of the main window, base 64);
//   Tabbed  1 when the document windows were shown as tabs.
//
// A saved geometry is used only when it still fits the screens of the moment: the whole frame
// lies on one screen's available area (the screen it was on may be gone). Otherwise the window
// takes its default place. Text that is not a saved state is ignored.
//
// Used on the user-interface thread only.
#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>

#include <optional>

namespace app {
class CSettings;
}

namespace gui {

inline constexpr const char* kSectionSavedStates = "SavedCtrlStates";

struct WindowPlacement {
    QRect frame;
    bool maximized = false;
    QByteArray bars;
    bool tabbed = false;
};

// "x y width height maximized" and back; nullopt for text that is not one.
QString FrameText(const QRect& frame, bool maximized);
std::optional<std::pair<QRect, bool>> ParseFrameText(const QString& text);

// Whether a frame lies wholly on one of the screens' available areas.
bool FitsScreens(const QRect& frame, const QList<QRect>& screens);
// The available areas of the screens of the moment.
QList<QRect> ScreenAreas();
// The default frame: most of the primary screen, centred.
QRect DefaultFrame();

void WritePlacement(app::CSettings& settings, const WindowPlacement& placement);
// What was saved, or nullopt when nothing usable was.
std::optional<WindowPlacement> ReadPlacement(const app::CSettings& settings);

} // namespace gui
