// The look of the program: the Fusion style with a light or a dark palette, following the
// desktop's preference.
//
// The preference is, in order: DENDRA_COLOR_SCHEME ("light" or "dark") when set; the desktop
// portal's appearance setting (org.freedesktop.appearance color-scheme: 1 prefers dark, 2 light)
// when a session bus is there; GTK_THEME naming a dark variant ("Adwaita:dark"); otherwise light.
// While the program runs, a change of the portal's setting switches the palette at once.
//
// Used on the user-interface thread only.
#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QPalette>

class QApplication;

namespace gui {

enum class ColorScheme { kLight, kDark };

// What the desktop prefers now (see above).
ColorScheme DesktopColorScheme();
// The scheme a portal value (0 none, 1 dark, 2 light) or a GTK_THEME value stands for; kLight
// when it says nothing.
ColorScheme SchemeOfPortalValue(uint value);
ColorScheme SchemeOfGtkTheme(const QString& theme);

QPalette LightPalette();
QPalette DarkPalette();
ColorScheme CurrentScheme();
// Applies the palette of the scheme to the application (and every window).
void ApplyScheme(ColorScheme scheme);

// Sets the Fusion style and the desktop's palette, and follows later changes of the preference.
class Appearance : public QObject {
    Q_OBJECT

public:
    explicit Appearance(QObject* parent = nullptr);

private Q_SLOTS:
    void OnSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);
};

} // namespace gui
