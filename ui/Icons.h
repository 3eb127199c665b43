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

// How the tray host draws an icon it is given.
enum class TrayHost {
    // Looks the icon's name up in the icon theme and draws a symbolic icon in the panel's own
    // text colour: the installed keelbox-symbolic icons by name.
    recoloursSymbolic,
    // Draws the pixels it is sent on a panel of any colour: a full-colour icon.
    drawsAsIs,
};

// The tray's two states for `host`. The symbolic one carries our own drawing in `panelText` for a
// session where the icons are not installed.
QIcon trayIcon(bool busy, TrayHost host, const QColor& panelText);

// The installed `keelbox` application icon, or the copy built in.
QIcon applicationIcon();

} // namespace keelbox::ui
