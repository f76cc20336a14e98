#pragma once

#include <QPixmap>

namespace brisko::ui {

// The small pictures of the options window, drawn at run time like the archive icons.
inline constexpr int kSmallIconSize = 16;
inline constexpr int kFolderIconSize = 32;

// A blue disc with a white question mark: opens the help. kSmallIconSize square.
QPixmap HelpIcon();
// A blue disc with a white "i": opens the about box. kSmallIconSize square.
QPixmap AboutIcon();
// Two yellow folders, one behind the other: the destination group. kFolderIconSize square.
QPixmap FoldersIcon();

} // namespace brisko::ui
