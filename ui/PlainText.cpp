#include "ui/PlainText.h"

#include "core/ShownText.h"

#include <QLabel>
#include <QTextDocument>

namespace keelbox::ui {

QString shownName(const std::string& name) {
    return QString::fromStdString(keelbox::shownName(name));
}

QString shownText(const std::string& text) {
    return QString::fromStdString(inertText(text));
}

QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void setPlainText(QLabel* label, const QString& text) {
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
}

void setPlainToolTip(QWidget* widget, const QString& text) {
    widget->setToolTip(text.isEmpty() ? QString() : Qt::convertFromPlainText(text));
}

void setPlainWindowTitle(QWidget* window, const QString& title) {
    QString escaped = title;
    window->setWindowTitle(escaped.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]")));
}

QString buttonText(const QString& text) {
    QString escaped = text;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString richEscaped(const QString& text) {
    return text.toHtmlEscaped();
}

} // namespace keelbox::ui
