#pragma once
// The design's text styles and colours on the desktop's font and palette, so that every window
// follows the user's theme (light or dark) and scaling.

#include "core/Records.h"

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

namespace keelbox::ui {

enum class TextStyle {
    largeTitle,
    title2,
    title3,
    headline,
    body,
    bodyMedium, // body with medium weight (a drive's name)
    callout,
    subheadline,
    caption,
    caption2,
};

// Every colour is derived from the palette's window text and window background so that it keeps
// its minimum contrast on that background, whatever the theme puts in its other roles: 4.5:1 for
// text, 3:1 for the accent (icons and large text).
enum class Colour {
    accent,    // the palette's highlight
    primary,   // window text
    secondary, // placeholder text
    tertiary,  // secondary at a lower contrast
    green,
    red,
    orange,
    blue,
    link,     // the palette's link colour
    selected, // the background of a selected segment (text on it: selectedText)
    selectedText,
    brand, // the about block's maker name
};

inline constexpr double textContrast = 4.5;
inline constexpr double iconContrast = 3.0;

// The colour of a log entry's dot: green for success, red for failure, secondary otherwise.
Colour dotColour(LogEntry::Kind kind);

// `base` is the application font: its size is the body size. Never below 8 points.
QFont font(TextStyle style, const QFont& base);
// The colour as drawn on the palette's window background. Green, red, orange and blue take a darker
// shade on light backgrounds and a lighter one on dark backgrounds, keeping text readable on both.
QColor colour(Colour colour, const QPalette& palette);
// `wanted`, moved towards `towards` (and on to black or white) just as far as it takes to reach
// `minimum` contrast on `background`.
QColor readable(const QColor& wanted, const QColor& background, const QColor& towards,
                double minimum);
// `palette` with the colours of its text view (Base, Text) as window colours, for what is drawn
// on a text view's background.
QPalette viewPalette(const QPalette& palette);
// The dark palette Keelbox uses where the desktop asks for a dark scheme but Qt gave a light one.
QPalette darkPalette();
// `over` drawn at `opacity` on the palette's window colour (the design's faint backgrounds: the
// drive row's primary at 0.04, the update line's green at 0.12).
QColor tintedBackground(const QColor& over, qreal opacity, const QPalette& palette);
bool isDark(const QPalette& palette);

// The brand colour of the about block, before it is made readable (Colour::brand).
inline const QColor brandColour{0xE5, 0x45, 0x3D};

// Sets the widget's font and its text colour (WindowText, Text and ButtonText roles) and a readable
// link colour. Call again on a palette change (styled widgets below do so on their own).
void applyTextStyle(QWidget* widget, TextStyle style, Colour colour = Colour::primary);

// Contrast ratio of two colours as accessibility guidelines define it (1 to 21).
double contrastRatio(const QColor& a, const QColor& b);

} // namespace keelbox::ui
