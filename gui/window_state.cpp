#include "gui/window_state.h"

#include "app/settings.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStringList>

namespace gui {

QString FrameText(const QRect& frame, bool maximized) {
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(frame.x())
        .arg(frame.y())
        .arg(frame.width())
        .arg(frame.height())
        .arg(maximized ? 1 : 0);
}

std::optional<std::pair<QRect, bool>> ParseFrameText(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 5) return std::nullopt;
    int v[5];
    for (int i = 0; i < 5; ++i) {
        bool ok = false;
        v[i] = parts[i].toInt(&ok);
        if (!ok) return std::nullopt;
    }
    if (v[2] <= 0 || v[3] <= 0 || (v[4] != 0 && v[4] != 1)) return std::nullopt;
    return std::make_pair(QRect(v[0], v[1], v[2], v[3]), v[4] == 1);
}

bool FitsScreens(const QRect& frame, const QList<QRect>& screens) {
    if (!frame.isValid()) return false;
    for (const QRect& s : screens)
        if (s.contains(frame)) return true;
    return false;
}

QList<QRect> ScreenAreas() {
    QList<QRect> areas;
    for (QScreen* s : QGuiApplication::screens()) areas << s->availableGeometry();
    return areas;
}

QRect DefaultFrame() {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QSize size(std::max(area.width() * 4 / 5, std::min(area.width(), 640)),
                     std::max(area.height() * 4 / 5, std::min(area.height(), 480)));
    QRect frame(QPoint(0, 0), size);
    frame.moveCenter(area.center());
    return frame;
}

void WritePlacement(app::CSettings& settings, const WindowPlacement& placement) {
    settings.WriteProfileString(kSectionSavedStates, "Frame",
                                FrameText(placement.frame, placement.maximized).toStdString());
    settings.WriteProfileString(kSectionSavedStates, "Bars",
                                placement.bars.toBase64().toStdString());
    settings.WriteProfileInt(kSectionSavedStates, "Tabbed", placement.tabbed ? 1 : 0);
}

std::optional<WindowPlacement> ReadPlacement(const app::CSettings& settings) {
    const auto frame = ParseFrameText(
        QString::fromStdString(settings.GetProfileString(kSectionSavedStates, "Frame", "")));
    if (!frame) return std::nullopt;
    WindowPlacement p;
    p.frame = frame->first;
    p.maximized = frame->second;
    const auto bars = QByteArray::fromBase64Encoding(
        QByteArray::fromStdString(settings.GetProfileString(kSectionSavedStates, "Bars", "")),
        QByteArray::AbortOnBase64DecodingErrors);
    if (bars) p.bars = *bars;
    p.tabbed = settings.GetProfileInt(kSectionSavedStates, "Tabbed", 0) != 0;
    return p;
}

} // namespace gui
