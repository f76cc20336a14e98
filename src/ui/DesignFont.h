#pragma once

#include <QFont>
#include <QString>

namespace brisko::ui {

// The font a window was designed with (Tahoma 8.25 pt unless said otherwise). Neither Tahoma nor
// Trebuchet MS ships with Linux distributions; the style hint makes the substitute a sans serif
// face of the same size.
inline QFont DesignFont(const QString& family = QStringLiteral("Tahoma"), qreal points = 8.25) {
    QFont font(family);
    font.setPointSizeF(points);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

} // namespace brisko::ui
