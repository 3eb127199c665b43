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

enum class Colour {
    accent,    // the palette's highlight
    primary,   // window text
    secondary, // placeholder text
    tertiary,  // secondary at a lower contrast
    green,
    red,
    orange,
    blue,
};

// The colour of a log entry's dot: green for success, red for failure, secondary otherwise.
Colour dotColour(LogEntry::Kind kind);

// `base` is the application font: its size is the body size. Never below 8 points.
QFont font(TextStyle style, const QFont& base);
// The colour as drawn on the palette's window background. Green, red, orange and blue take a darker
// shade on light backgrounds and a lighter one on dark backgrounds, keeping text readable on both.
QColor colour(Colour colour, const QPalette& palette);
// `over` drawn at `opacity` on the palette's window colour (the design's faint backgrounds: the
// drive row's primary at 0.04, the update line's green at 0.12).
QColor tintedBackground(const QColor& over, qreal opacity, const QPalette& palette);
bool isDark(const QPalette& palette);

// The brand colour of the about block.
inline const QColor brandColour{0xE5, 0x45, 0x3D};

// Sets the widget's font and its text colour (WindowText, Text and ButtonText roles). Call again on
// a palette change (styled widgets below do so on their own).
void applyTextStyle(QWidget* widget, TextStyle style, Colour colour = Colour::primary);

} // namespace keelbox::ui
