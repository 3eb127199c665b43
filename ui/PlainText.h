#pragma once
// The one way a text from outside (a drive's label, a path, a configuration, the log, the feed)
// reaches a widget: as plain text, never read as markup, a mnemonic or a window-title placeholder.
// Rich text is only what Keelbox composes itself, with every inserted value escaped.

#include <QString>

#include <string>

class QLabel;
class QWidget;

namespace keelbox::ui {

// core/ShownText's rules for Qt: a name (cut, invisible characters shown) and a longer text
// (a path, a message: invisible characters shown).
QString shownName(const std::string& name);
QString shownText(const std::string& text);

// A label that shows its text as it is (Qt guesses "rich text" from the text itself otherwise).
QLabel* plainLabel(QWidget* parent);
void setPlainText(QLabel* label, const QString& text);
// A tooltip shows rich text whenever its first line looks like markup: this one never does.
void setPlainToolTip(QWidget* widget, const QString& text);
// A window title with "[*]" in it would lose it to the modified-marker placeholder.
void setPlainWindowTitle(QWidget* window, const QString& title);
// Button and menu texts take "&" for a mnemonic.
QString buttonText(const QString& text);
// A value inserted into rich text Keelbox composes.
QString richEscaped(const QString& text);

} // namespace keelbox::ui
