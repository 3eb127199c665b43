#include "ui/Style.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <utility>

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

double channel(double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

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

QColor readable(const QColor& wanted, const QColor& background, const QColor& towards,
                double minimum) {
    if (contrastRatio(wanted, background) >= minimum)
        return wanted.toRgb();
    // Towards the text colour first (keeps the hue of the theme), then towards whichever of black
    // and white stands out more, which always reaches 4.5:1.
    const QColor extreme =
        contrastRatio(Qt::black, background) > contrastRatio(Qt::white, background)
            ? QColor(Qt::black)
            : QColor(Qt::white);
    for (const QColor& target : {towards, extreme}) {
        if (contrastRatio(target, background) < minimum)
            continue;
        for (int step = 1; step <= 20; ++step) {
            const QColor c = mixed(target, wanted, step / 20.0);
            if (contrastRatio(c, background) >= minimum)
                return c;
        }
    }
    return extreme;
}

QPalette viewPalette(const QPalette& palette) {
    QPalette view = palette;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        view.setColor(group, QPalette::Window, palette.color(group, QPalette::Base));
        view.setColor(group, QPalette::WindowText, palette.color(group, QPalette::Text));
    }
    return view;
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x2b, 0x2b, 0x2b), text(0xee, 0xee, 0xee), base(0x1f, 0x1f, 0x1f);
    const std::pair<QPalette::ColorRole, QColor> roles[] = {
        {QPalette::Window, window},
        {QPalette::WindowText, text},
        {QPalette::Base, base},
        {QPalette::AlternateBase, window},
        {QPalette::Text, text},
        {QPalette::Button, QColor(0x3a, 0x3a, 0x3a)},
        {QPalette::ButtonText, text},
        {QPalette::BrightText, Qt::white},
        {QPalette::Light, QColor(0x4a, 0x4a, 0x4a)},
        {QPalette::Midlight, QColor(0x42, 0x42, 0x42)},
        {QPalette::Mid, QColor(0x48, 0x48, 0x48)},
        {QPalette::Dark, QColor(0x1a, 0x1a, 0x1a)},
        {QPalette::Shadow, QColor(0x10, 0x10, 0x10)},
        {QPalette::Highlight, QColor(0x35, 0x84, 0xe4)},
        {QPalette::HighlightedText, Qt::white},
        {QPalette::Link, QColor(0x79, 0xb8, 0xff)},
        {QPalette::LinkVisited, QColor(0xc6, 0x9c, 0xff)},
        {QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0)},
        {QPalette::ToolTipBase, window},
        {QPalette::ToolTipText, text},
    };
    for (const auto& [role, c] : roles)
        p.setColor(role, c);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    return p;
}

QColor colour(Colour which, const QPalette& palette) {
    const bool dark = isDark(palette);
    const QColor window = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    const auto forText = [&](const QColor& wanted) {
        return readable(wanted, window, text, textContrast);
    };
    switch (which) {
    case Colour::accent:
        return readable(palette.color(QPalette::Highlight), window, text, iconContrast);
    case Colour::primary:
        return text;
    case Colour::secondary: {
        QColor placeholder = palette.color(QPalette::PlaceholderText);
        // Some styles leave the placeholder colour unset (fully transparent or equal to text);
        // Qt's own default is the text colour at half opacity, made opaque here. Themes may also
        // give one meant for another background (black at half opacity on a dark window).
        if (placeholder.alpha() == 0 || placeholder.rgb() == text.rgb())
            return forText(palette.color(QPalette::Disabled, QPalette::WindowText));
        const qreal opacity = placeholder.alphaF();
        placeholder.setAlpha(255);
        return forText(mixed(placeholder, window, opacity));
    }
    case Colour::tertiary:
        return forText(mixed(colour(Colour::secondary, palette), window, 0.75));
    // Two shades each, chosen for at least 4.5:1 against white and near-black windows.
    case Colour::green:
        return forText(dark ? QColor(0x57, 0xd1, 0x6e) : QColor(0x1a, 0x7f, 0x37));
    case Colour::red:
        return forText(dark ? QColor(0xff, 0x7b, 0x72) : QColor(0xc0, 0x1c, 0x28));
    case Colour::orange:
        return forText(dark ? QColor(0xff, 0xa3, 0x48) : QColor(0xa8, 0x4b, 0x00));
    case Colour::blue:
        return forText(dark ? QColor(0x79, 0xb8, 0xff) : QColor(0x1c, 0x5f, 0xc4));
    case Colour::link:
        return forText(palette.color(QPalette::Link));
    case Colour::selected:
        return colour(Colour::accent, palette);
    case Colour::selectedText: {
        const QColor background = colour(Colour::selected, palette);
        return readable(palette.color(QPalette::HighlightedText), background,
                        palette.color(QPalette::HighlightedText), textContrast);
    }
    case Colour::brand:
        return forText(brandColour);
    }
    return text;
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
    const QColor link =
        colour(Colour::link, widget->parentWidget() ? widget->parentWidget()->palette()
                                                    : QApplication::palette());
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        for (QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(group, role, c);
        palette.setColor(group, QPalette::Link, link);
    }
    widget->setPalette(palette);
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
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
