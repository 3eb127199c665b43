#include "ui/Widgets.h"

#include "ui/Icons.h"
#include "ui/PlainText.h"

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QPainter>

namespace keelbox::ui {

ElidedLabel::ElidedLabel(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleName(text);
    setPlainToolTip(this, text);
    updateGeometry();
    update();
}

void ElidedLabel::setElideMode(Qt::TextElideMode mode) {
    m_mode = mode;
    update();
}

QString ElidedLabel::shownText() const {
    return fontMetrics().elidedText(m_text, m_mode, width());
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(m_text), fontMetrics().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(16, 16);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_angle = (m_angle + 30) % 360;
        update();
    });
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour(Colour::secondary, palette()), 2.0);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -m_angle * 16, 270 * 16);
}

void Spinner::showEvent(QShowEvent*) {
    m_timer.start();
}
void Spinner::hideEvent(QHideEvent*) {
    m_timer.stop();
}

Dot::Dot(Colour colour, QWidget* parent) : QWidget(parent), m_colour(colour) {
    setFixedSize(6, 6);
}

void Dot::setColour(Colour colour) {
    if (colour != m_colour) {
        m_colour = colour;
        update();
    }
}

void Dot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ui::colour(m_colour, palette()));
    painter.drawEllipse(rect());
}

QWidget* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setObjectName(QStringLiteral("divider"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    line->setFixedHeight(1);
    return line;
}

SymbolLabel::SymbolLabel(std::string_view symbol, Colour colour, TextStyle style, QWidget* parent)
    : QLabel(parent), m_symbol(symbol), m_colour(colour),
      m_size(QFontMetrics(ui::font(style, QApplication::font())).height()) {
    setFixedSize(m_size, m_size);
    render();
}

void SymbolLabel::setColour(Colour colour) {
    if (colour != m_colour) {
        m_colour = colour;
        render();
    }
}

void SymbolLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange)
        render();
    QLabel::changeEvent(event);
}

void SymbolLabel::render() {
    setPixmap(icon(m_symbol, ui::colour(m_colour, palette()))
                  .pixmap(QSize(m_size, m_size), devicePixelRatioF()));
}

} // namespace keelbox::ui
