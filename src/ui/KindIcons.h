#pragma once

#include <QPixmap>
#include <QString>

namespace brisko::ui {

inline constexpr int kKindIconWidth = 32;
inline constexpr int kKindIconHeight = 42;

// The picture of an archive kind for the progress window: a page with a folded corner crossed by
// a band in the kind's colour that carries the kind's letters. "ZIP", "RAR" and "ACE" each have
// their own colour; any other kind gets a grey band with its (first three) letters.
// kKindIconWidth x kKindIconHeight device-independent pixels, drawn at run time.
QPixmap KindIcon(const QString& kind);

} // namespace brisko::ui
