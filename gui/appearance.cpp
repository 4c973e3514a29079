#include "gui/appearance.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStyle>
#include <QStyleFactory>

namespace gui {

namespace {
const char* const kPortalService = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
const char* const kPortalSettings = "org.freedesktop.portal.Settings";
const char* const kAppearanceGroup = "org.freedesktop.appearance";
const char* const kColorSchemeKey = "color-scheme";
// The portal answers at once when it runs; a desktop without one must not slow the start.
constexpr int kPortalTimeoutMs = 300;

ColorScheme g_current = ColorScheme::kLight;

// A session bus is there to ask (never start one just for this).
bool HaveSessionBus() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

// Unwraps the variants the portal nests its values in.
QVariant Unwrap(QVariant v) {
    while (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        v = v.value<QDBusVariant>().variant();
    return v;
}

// The portal's color-scheme value, or -1 when it cannot be asked.
int PortalColorScheme() {
    if (!HaveSessionBus()) return -1;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return -1;
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kPortalService), QLatin1String(kPortalPath),
                                       QLatin1String(kPortalSettings), QStringLiteral("Read"));
    call << QLatin1String(kAppearanceGroup) << QLatin1String(kColorSchemeKey);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kPortalTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return -1;
    bool ok = false;
    const uint value = Unwrap(reply.arguments().first()).toUInt(&ok);
    return ok ? int(value) : -1;
}
} // namespace

ColorScheme SchemeOfPortalValue(uint value) {
    return value == 1 ? ColorScheme::kDark : ColorScheme::kLight;
}

ColorScheme SchemeOfGtkTheme(const QString& theme) {
    const QString t = theme.toLower();
    return t.endsWith(QLatin1String(":dark")) || t.endsWith(QLatin1String("-dark"))
               ? ColorScheme::kDark
               : ColorScheme::kLight;
}

ColorScheme DesktopColorScheme() {
    const QString forced = qEnvironmentVariable("DENDRA_COLOR_SCHEME").toLower();
    if (forced == QLatin1String("dark")) return ColorScheme::kDark;
    if (forced == QLatin1String("light")) return ColorScheme::kLight;
    const int portal = PortalColorScheme();
    if (portal > 0) return SchemeOfPortalValue(uint(portal));
    return SchemeOfGtkTheme(qEnvironmentVariable("GTK_THEME"));
}

QPalette LightPalette() {
    QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    QPalette p = fusion ? fusion->standardPalette() : QPalette();
    delete fusion;
    return p;
}

QPalette DarkPalette() {
    QPalette p;
    const QColor window(0x2d, 0x2e, 0x32);
    const QColor base(0x1f, 0x20, 0x23);
    const QColor text(0xe8, 0xe8, 0xea);
    const QColor dim(0x80, 0x82, 0x88);
    const QColor highlight(0x3d, 0x7b, 0xd9);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x28, 0x29, 0x2d));
    p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3b, 0x40));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, dim);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x37, 0x38, 0x3d));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4b, 0x51));
    p.setColor(QPalette::Midlight, QColor(0x3e, 0x3f, 0x45));
    p.setColor(QPalette::Mid, QColor(0x26, 0x27, 0x2b));
    p.setColor(QPalette::Dark, QColor(0x1a, 0x1b, 0x1e));
    p.setColor(QPalette::Shadow, QColor(0x0e, 0x0e, 0x10));
    p.setColor(QPalette::Highlight, highlight);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x6c, 0xa8, 0xff));
    p.setColor(QPalette::LinkVisited, QColor(0xb0, 0x8c, 0xf0));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, dim);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x4a, 0x4b, 0x51));
    p.setColor(QPalette::Disabled, QPalette::HighlightedText, dim);
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    return p;
}

ColorScheme CurrentScheme() {
    return g_current;
}

void ApplyScheme(ColorScheme scheme) {
    g_current = scheme;
    QApplication::setPalette(scheme == ColorScheme::kDark ? DarkPalette() : LightPalette());
}

Appearance::Appearance(QObject* parent) : QObject(parent) {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    ApplyScheme(DesktopColorScheme());
    if (qEnvironmentVariableIsEmpty("DENDRA_COLOR_SCHEME") && HaveSessionBus()) {
        QDBusConnection::sessionBus().connect(
            QLatin1String(kPortalService), QLatin1String(kPortalPath),
            QLatin1String(kPortalSettings), QStringLiteral("SettingChanged"), this,
            SLOT(OnSettingChanged(QString, QString, QDBusVariant)));
    }
}

void Appearance::OnSettingChanged(const QString& group, const QString& key,
                                  const QDBusVariant& value) {
    if (group != QLatin1String(kAppearanceGroup) || key != QLatin1String(kColorSchemeKey)) return;
    bool ok = false;
    const uint v = Unwrap(value.variant()).toUInt(&ok);
    if (ok) ApplyScheme(SchemeOfPortalValue(v));
}

} // namespace gui
