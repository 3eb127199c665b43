#pragma once
// The log of backups: one row per entry (coloured dot, message, drive and time of day) and, for a
// finished backup with problems, its first 100 issues in boxes. The content of the log window and
// of the settings window's Log tab.
//
// The rows are one read-only rich-text document rather than a widget per text: a full log holds
// 100 entries of 100 issues, and tens of thousands of labels would open slowly. Every text stays
// selectable (across rows too), wraps and is never cut.

#include "core/Records.h"

#include <QStackedWidget>
#include <QTextBrowser>

#include <memory>
#include <span>
#include <vector>

class QTextDocument;
class QLabel;

namespace keelbox::app {
class AppState;
class Localizer;
} // namespace keelbox::app

namespace keelbox::ui {

// Issue boxes shown per entry; the rest are counted in one line.
inline constexpr std::size_t maxIssuesShown = 100;

// Fills `document` with the rows of `entries` in `language`, coloured for `palette`, on the base
// font `font`, its small images drawn for `devicePixelRatio`.
void fillLogDocument(QTextDocument& document, std::span<const LogEntry> entries,
                     AppLanguage language, const QPalette& palette, const QFont& font,
                     qreal devicePixelRatio);

// The text of each issue box in `document`, in order, its lines separated by "\n".
std::vector<QString> issueBoxTexts(const QTextDocument& document);

// "14:05:09" or "2:05:09 PM": hours, minutes and seconds in the order and clock of `locale`.
QString timeOfDayText(Date date, const QLocale& locale);

// Appends the rows of log entries to a document.
class LogDocumentBuilder;

// Draws the issue boxes' rounded backgrounds under the text.
class LogTextView : public QTextBrowser {
    Q_OBJECT
public:
    using QTextBrowser::QTextBrowser;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class LogListView : public QStackedWidget {
    Q_OBJECT
public:
    LogListView(app::AppState& state, app::Localizer& localizer, QWidget* parent = nullptr);
    ~LogListView() override;

    // The rows as drawn (tests read their text).
    QTextDocument* document() const;
    // The list scrolls: its height does not follow its width (else a window holding it opens at
    // its minimum height, the placeholder's height for the width).
    bool hasHeightForWidth() const override { return false; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Rebuilds now when shown, else when next shown.
    void invalidate();
    void rebuild();
    void appendRows();

    app::AppState& m_state;
    app::Localizer& m_localizer;
    QWidget* m_placeholder;
    QLabel* m_placeholderIcon;
    QLabel* m_placeholderTitle;
    QLabel* m_placeholderText;
    LogTextView* m_rows;
    bool m_dirty = true;
    // The rows being added, a part at a time.
    std::unique_ptr<LogDocumentBuilder> m_builder;
    std::size_t m_built = 0;
    unsigned m_generation = 0;
};

// The window "log": the log list, at least 460 × 360, opening at 620 × 640.
class LogWindow : public QWidget {
    Q_OBJECT
public:
    LogWindow(app::AppState& state, app::Localizer& localizer, QWidget* parent = nullptr);
    // Opens large enough for several issues of a failed backup.
    QSize sizeHint() const override { return {620, 640}; }
};

} // namespace keelbox::ui
