#include "ui/KindIcons.h"

#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

namespace brisko::ui {

namespace {

struct KindColours {
    QColor band;
    QColor letters;
};

KindColours ColoursOf(const QString& kind) {
    if (kind == QLatin1String("ZIP")) {
        return {QColor(0xE8, 0xA3, 0x17), QColor(0x3A, 0x26, 0x00)};
    }
    if (kind == QLatin1String("RAR")) {
        return {QColor(0x7B, 0x3F, 0xA8), Qt::white};
    }
    if (kind == QLatin1String("ACE")) {
        return {QColor(0x1E, 0x8A, 0x5A), Qt::white};
    }
    return {QColor(0x80, 0x80, 0x80), Qt::white};
}

} // namespace

QPixmap KindIcon(const QString& kind) {
    // Drawn at the screen's scale so that the icon stays sharp on high-density displays.
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(kKindIconWidth, kKindIconHeight) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    // The page: a sheet with its top right corner folded down, outlined half a pixel in so that
    // the one-pixel edges fall on whole pixels.
    const qreal left = 3.5;
    const qreal top = 1.5;
    const qreal right = kKindIconWidth - 3.5;
    const qreal bottom = kKindIconHeight - 1.5;
    const qreal fold = 9.0;
    QPainterPath page;
    page.moveTo(left, top);
    page.lineTo(right - fold, top);
    page.lineTo(right, top + fold);
    page.lineTo(right, bottom);
    page.lineTo(left, bottom);
    page.closeSubpath();
    const QColor outline(0x55, 0x5B, 0x66);
    painter.setPen(QPen(outline, 1.0));
    painter.setBrush(QColor(0xFB, 0xFB, 0xF8));
    painter.drawPath(page);

    // The folded-over flap, a shade darker than the page.
    QPainterPath flap;
    flap.moveTo(right - fold, top);
    flap.lineTo(right - fold, top + fold);
    flap.lineTo(right, top + fold);
    flap.closeSubpath();
    painter.setBrush(QColor(0xD4, 0xD7, 0xDD));
    painter.drawPath(flap);

    // A few grey lines of "text" above and below the band.
    painter.setPen(QPen(QColor(0xB8, 0xBC, 0xC4), 1.0));
    for (const qreal y : {8.5, 12.5, 31.5, 35.5}) {
        const qreal end = y < top + fold + 1 ? right - fold - 3 : right - 4;
        painter.drawLine(QPointF(left + 4, y), QPointF(end, y));
    }

    // The band runs past the page's left edge, like a label wrapped round it.
    const KindColours colours = ColoursOf(kind);
    const QRectF band(1.0, 16.0, right - 1.0 + 0.5, 12.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colours.band);
    painter.drawRoundedRect(band, 1.5, 1.5);
    painter.setBrush(colours.band.darker(140));
    painter.drawRect(QRectF(band.left(), band.bottom() - 1.0, band.width(), 1.0));

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPixelSize(9);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.3);
    painter.setFont(font);
    painter.setPen(colours.letters);
    painter.drawText(band.adjusted(0, 0, 0, -1), Qt::AlignCenter, kind.left(3));
    painter.end();
    return pixmap;
}

} // namespace brisko::ui
