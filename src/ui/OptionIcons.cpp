#include "ui/OptionIcons.h"

#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

namespace brisko::ui {

namespace {

// A transparent pixmap of `size` logical pixels at the screen's scale, ready to paint on.
QPixmap Canvas(int size) {
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPixmap DiscWithLetter(const QString& letter, bool serif) {
    QPixmap pixmap = Canvas(kSmallIconSize);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x1C, 0x4E, 0x9A), 1.0));
    painter.setBrush(QColor(0x35, 0x7A, 0xD8));
    painter.drawEllipse(QRectF(0.5, 0.5, kSmallIconSize - 1.0, kSmallIconSize - 1.0));
    QFont font(serif ? QStringLiteral("DejaVu Serif") : QStringLiteral("DejaVu Sans"));
    font.setStyleHint(serif ? QFont::Serif : QFont::SansSerif);
    font.setBold(true);
    font.setPixelSize(12);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(0, 0, kSmallIconSize, kSmallIconSize), Qt::AlignCenter, letter);
    return pixmap;
}

void DrawFolder(QPainter& painter, const QRectF& body, const QColor& colour) {
    QPainterPath path;
    path.moveTo(body.left(), body.top());
    path.lineTo(body.left() + body.width() * 0.4, body.top());
    path.lineTo(body.left() + body.width() * 0.4 + 3, body.top() + 3);
    path.lineTo(body.right(), body.top() + 3);
    path.lineTo(body.right(), body.bottom());
    path.lineTo(body.left(), body.bottom());
    path.closeSubpath();
    painter.setPen(QPen(colour.darker(170), 1.0));
    painter.setBrush(colour);
    painter.drawPath(path);
    // The front flap, a shade lighter.
    painter.setBrush(colour.lighter(115));
    painter.drawRect(QRectF(body.left(), body.top() + 6, body.width(), body.height() - 6));
}

} // namespace

QPixmap HelpIcon() {
    return DiscWithLetter(QStringLiteral("?"), false);
}

QPixmap AboutIcon() {
    return DiscWithLetter(QStringLiteral("i"), true);
}

QPixmap FoldersIcon() {
    QPixmap pixmap = Canvas(kFolderIconSize);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    DrawFolder(painter, QRectF(8.5, 4.5, 22, 16), QColor(0xD9, 0xA4, 0x1E));
    DrawFolder(painter, QRectF(1.5, 12.5, 22, 17), QColor(0xF2, 0xC2, 0x3C));
    return pixmap;
}

} // namespace brisko::ui
