#pragma once
// The design's symbol names ("externaldrive.fill", "arrow.clockwise", …) mapped to freedesktop icon
// names, with a monochrome SVG of our own as the fallback where the icon theme lacks one (a bare
// session has only `hicolor`). Every icon is drawn in one colour, like a symbolic icon.

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <span>
#include <string_view>

namespace keelbox::ui {

struct IconMapping {
    std::string_view symbol;    // the design's name
    std::string_view themeName; // freedesktop name; empty where only our own drawing fits
    std::string_view resource;  // our own SVG in the ":/keelbox/icons/" resource
};

// The one mapping table, in the order of the design's symbol list.
std::span<const IconMapping> iconMappings();
// The row of `symbol`, or nullptr for a name the table does not know.
const IconMapping* findIconMapping(std::string_view symbol);

// The icon for `symbol`, drawn in `colour` (the theme's own colours are replaced). An unknown
// symbol gives a null icon.
QIcon icon(std::string_view symbol, const QColor& colour);
// Drawn in the palette's text colour.
QIcon icon(std::string_view symbol, const QPalette& palette);
// Our own drawing only, ignoring the theme (tests and the tray icon use this).
QIcon bundledIcon(std::string_view symbol, const QColor& colour);

// The tray's two states. Tray panels draw the icon on their own background, which may be light or
// dark whatever the application's palette says: the icon is a mask the D-Bus tray path tints with
// the panel's text colour; the X11 path gets it drawn in `panelText`.
QIcon trayIcon(bool busy, const QColor& panelText);

} // namespace keelbox::ui
