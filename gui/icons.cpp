#include "gui/icons.h"

#include "documents/channel_document.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

#include <cmath>

namespace gui {

QIcon ProgramIcon() {
    static const QIcon icon(QStringLiteral(":/icons/dendra.svg"));
    return icon;
}

QIcon DocumentKindIcon(uint32_t kind) {
    switch (kind) {
    case kDocKindDendra:
        return QIcon(QStringLiteral(":/icons/application-x-dendra-tree.svg"));
    case kDocKindSong:
        return QIcon(QStringLiteral(":/icons/application-x-dendra-song.svg"));
    case kDocKindWordList:
        return QIcon(QStringLiteral(":/icons/application-x-dendra-event-list.svg"));
    case kDocKindCollection:
        return QIcon(QStringLiteral(":/icons/application-x-dendra-collection.svg"));
    case kDocKindMidi:
        return QIcon(QStringLiteral(":/icons/dendra-midi.svg"));
    case kDocKindWave:
        return QIcon(QStringLiteral(":/icons/dendra-wave.svg"));
    default:
        return ProgramIcon();
    }
}

namespace {

// Draws a glyph on a 24 x 24 grid scaled into the rectangle, in the palette of the moment.
class GlyphEngine : public QIconEngine {
public:
    explicit GlyphEngine(ActionGlyph glyph) : glyph_(glyph) {}

    QIconEngine* clone() const override { return new GlyphEngine(glyph_); }

    void paint(QPainter* p, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const QPalette pal = QApplication::palette();
        const bool disabled = mode == QIcon::Disabled;
        const QColor ink =
            pal.color(disabled ? QPalette::Disabled : QPalette::Active, QPalette::WindowText);
        const bool dark = pal.color(QPalette::Window).lightness() < 128;
        auto accent = [&](QColor light, QColor darkVariant) {
            return disabled ? ink : (dark ? darkVariant : light);
        };

        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        const qreal side = std::min(rect.width(), rect.height());
        p->translate(rect.x() + (rect.width() - side) / 2.0,
                     rect.y() + (rect.height() - side) / 2.0);
        p->scale(side / 24.0, side / 24.0);
        QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p->setPen(pen);
        p->setBrush(Qt::NoBrush);

        switch (glyph_) {
        case ActionGlyph::kNewSong: {
            QPainterPath page;
            page.moveTo(5, 3);
            page.lineTo(14, 3);
            page.lineTo(19, 8);
            page.lineTo(19, 21);
            page.lineTo(5, 21);
            page.closeSubpath();
            p->drawPath(page);
            p->drawPolyline(QPolygonF({QPointF(14, 3), QPointF(14, 8), QPointF(19, 8)}));
            // A note on the page.
            p->setBrush(ink);
            p->drawEllipse(QPointF(10, 16.5), 2.0, 1.6);
            p->drawLine(QPointF(11.9, 16.3), QPointF(11.9, 10));
            p->drawLine(QPointF(11.9, 10), QPointF(15, 11.5));
            break;
        }
        case ActionGlyph::kOpen: {
            QPainterPath folder;
            folder.moveTo(3, 19);
            folder.lineTo(3, 5);
            folder.lineTo(9, 5);
            folder.lineTo(11, 7);
            folder.lineTo(19, 7);
            folder.lineTo(19, 10);
            p->drawPath(folder);
            QPainterPath front;
            front.moveTo(3, 19);
            front.lineTo(6.5, 10);
            front.lineTo(22, 10);
            front.lineTo(18.5, 19);
            front.closeSubpath();
            p->drawPath(front);
            break;
        }
        case ActionGlyph::kSave: {
            p->drawLine(QPointF(12, 3), QPointF(12, 14));
            p->drawPolyline(QPolygonF({QPointF(7.5, 9.5), QPointF(12, 14), QPointF(16.5, 9.5)}));
            p->drawPolyline(
                QPolygonF({QPointF(4, 14), QPointF(4, 20), QPointF(20, 20), QPointF(20, 14)}));
            break;
        }
        case ActionGlyph::kPlay: {
            const QColor c = accent(QColor(0x2e, 0x8b, 0x45), QColor(0x5c, 0xc8, 0x78));
            p->setPen(QPen(c, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p->setBrush(c);
            p->drawPolygon(QPolygonF({QPointF(7, 4.5), QPointF(19.5, 12), QPointF(7, 19.5)}));
            break;
        }
        case ActionGlyph::kStop:
            p->setBrush(ink);
            p->drawRoundedRect(QRectF(6, 6, 12, 12), 1.5, 1.5);
            break;
        case ActionGlyph::kRecord: {
            const QColor c = accent(QColor(0xc8, 0x2a, 0x2a), QColor(0xf0, 0x5a, 0x5a));
            p->setPen(QPen(c, 1.4));
            p->setBrush(c);
            p->drawEllipse(QPointF(12, 12), 6.5, 6.5);
            break;
        }
        case ActionGlyph::kDevices: {
            // A MIDI socket: a ring, five pins and the key.
            p->drawEllipse(QPointF(12, 12), 9, 9);
            p->setBrush(ink);
            const double r = 5.2;
            for (int i = 0; i < 5; ++i) {
                const double a = (180.0 + 45.0 * i) * M_PI / 180.0;
                p->drawEllipse(QPointF(12 + r * std::cos(a), 12 + r * std::sin(a)), 0.9, 0.9);
            }
            p->drawRect(QRectF(11, 17.5, 2, 2));
            break;
        }
        }
        p->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pm(size * scale);
        pm.fill(Qt::transparent);
        pm.setDevicePixelRatio(scale);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }

private:
    ActionGlyph glyph_;
};

} // namespace

QIcon ActionIcon(ActionGlyph glyph) {
    return QIcon(new GlyphEngine(glyph));
}

} // namespace gui
