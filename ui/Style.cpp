#include "ui/Style.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>

namespace keelbox::ui {

namespace {

struct StyleRow {
    TextStyle style;
    double scale;
    QFont::Weight weight;
};

constexpr StyleRow styleRows[] = {
    {TextStyle::largeTitle, 2.0, QFont::Normal}, {TextStyle::title2, 1.55, QFont::Normal},
    {TextStyle::title3, 1.3, QFont::Normal},     {TextStyle::headline, 1.0, QFont::DemiBold},
    {TextStyle::body, 1.0, QFont::Normal},       {TextStyle::bodyMedium, 1.0, QFont::Medium},
    {TextStyle::callout, 0.95, QFont::Normal},   {TextStyle::subheadline, 0.9, QFont::Normal},
    {TextStyle::caption, 0.88, QFont::Normal},   {TextStyle::caption2, 0.82, QFont::Normal},
};

constexpr double minimumPointSize = 8.0;

QColor mixed(const QColor& over, const QColor& under, qreal opacity) {
    const QColor a = over.toRgb();
    const QColor b = under.toRgb();
    return QColor::fromRgbF(static_cast<float>(a.redF() * opacity + b.redF() * (1 - opacity)),
                            static_cast<float>(a.greenF() * opacity + b.greenF() * (1 - opacity)),
                            static_cast<float>(a.blueF() * opacity + b.blueF() * (1 - opacity)));
}

} // namespace

QFont font(TextStyle style, const QFont& base) {
    QFont result = base;
    const StyleRow* row = std::find_if(std::begin(styleRows), std::end(styleRows),
                                       [style](const StyleRow& r) { return r.style == style; });
    const double bodySize = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    result.setPointSizeF(std::max(minimumPointSize, bodySize * row->scale));
    result.setWeight(row->weight);
    return result;
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

QColor colour(Colour which, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (which) {
    case Colour::accent:
        return palette.color(QPalette::Highlight);
    case Colour::primary:
        return palette.color(QPalette::WindowText);
    case Colour::secondary: {
        QColor placeholder = palette.color(QPalette::PlaceholderText);
        // Some styles leave the placeholder colour unset (fully transparent or equal to text);
        // Qt's own default is the text colour at half opacity, made opaque here.
        if (placeholder.alpha() == 0 || placeholder == palette.color(QPalette::WindowText))
            return palette.color(QPalette::Disabled, QPalette::WindowText);
        const qreal opacity = placeholder.alphaF();
        placeholder.setAlpha(255);
        return mixed(placeholder, palette.color(QPalette::Window), opacity);
    }
    case Colour::tertiary:
        return mixed(colour(Colour::secondary, palette), palette.color(QPalette::Window), 0.75);
    // Two shades each, chosen for at least 4.5:1 against white and near-black windows.
    case Colour::green:
        return dark ? QColor(0x57, 0xd1, 0x6e) : QColor(0x1a, 0x7f, 0x37);
    case Colour::red:
        return dark ? QColor(0xff, 0x7b, 0x72) : QColor(0xc0, 0x1c, 0x28);
    case Colour::orange:
        return dark ? QColor(0xff, 0xa3, 0x48) : QColor(0xa8, 0x4b, 0x00);
    case Colour::blue:
        return dark ? QColor(0x79, 0xb8, 0xff) : QColor(0x1c, 0x5f, 0xc4);
    }
    return palette.color(QPalette::WindowText);
}

QColor tintedBackground(const QColor& over, qreal opacity, const QPalette& palette) {
    return mixed(over, palette.color(QPalette::Window), opacity);
}

void applyTextStyle(QWidget* widget, TextStyle style, Colour which) {
    widget->setFont(font(style, QApplication::font()));
    // Taken from the parent: the widget's own palette carries the colour of an earlier call.
    const QColor c = colour(which, widget->parentWidget() ? widget->parentWidget()->palette()
                                                          : QApplication::palette());
    QPalette palette = widget->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            palette.setColor(group, role, c);
    widget->setPalette(palette);
}

Colour dotColour(LogEntry::Kind kind) {
    switch (kind) {
    case LogEntry::Kind::success:
        return Colour::green;
    case LogEntry::Kind::failure:
        return Colour::red;
    case LogEntry::Kind::info:
        break;
    }
    return Colour::secondary;
}

} // namespace keelbox::ui
