#pragma once
// Small widgets the panel and the windows share.

#include "ui/Style.h"

#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <string_view>

namespace keelbox::ui {

// One line of text cut with an ellipsis when it does not fit, in the middle by default
// ("/media/…/photo.jpg"); screen readers and the tooltip get the whole text.
class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return m_text; }
    void setElideMode(Qt::TextElideMode mode);
    // What is drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    Qt::TextElideMode m_mode = Qt::ElideMiddle;
};

// The indeterminate spinning indicator; turns only while it is visible.
class Spinner : public QWidget {
    Q_OBJECT

public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer m_timer;
    int m_angle = 0;
};

// A small filled circle in one of the design's colours (the log lines' dots).
class Dot : public QWidget {
    Q_OBJECT

public:
    explicit Dot(Colour colour, QWidget* parent = nullptr);
    void setColour(Colour colour);
    Colour colour() const { return m_colour; }
    QSize sizeHint() const override { return {6, 6}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Colour m_colour;
};

// A thin horizontal line between the panel's sections.
QWidget* divider(QWidget* parent);

// A label showing the icon of `symbol` in a colour, at the height of `style`'s text.
class SymbolLabel : public QLabel {
    Q_OBJECT

public:
    SymbolLabel(std::string_view symbol, Colour colour, TextStyle style, QWidget* parent = nullptr);
    void setColour(Colour colour);
    Colour colour() const { return m_colour; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void render();

    std::string_view m_symbol;
    Colour m_colour;
    int m_size;
};

} // namespace keelbox::ui
