#include "ui/windows/LogListView.h"

#include "app/AppState.h"
#include "app/Localizer.h"
#include "ui/Icons.h"
#include "ui/Style.h"

#include <QAbstractTextDocumentLayout>
#include <QDateTime>
#include <QEvent>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QVBoxLayout>

#include <QtMath>

#include <chrono>

namespace keelbox::ui {

namespace {

const QString dotUrl = QStringLiteral("keelbox-log:/dot/%1");
const QString bulbUrl = QStringLiteral("keelbox-log:/bulb");
// Marks the issue boxes, whose rounded backgrounds the view draws.
constexpr int issueBoxProperty = QTextFormat::UserProperty + 1;

// Leading indent of everything under the header line: the dot's column and its spacing.
constexpr qreal indent = 15;
constexpr qreal dotSize = 7;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

QPixmap dotImage(const QColor& colour, qreal ratio) {
    // As wide as the dot and its spacing, so that the message starts at the indent.
    QPixmap pixmap(QSize(qRound(indent * ratio), qRound(dotSize * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(0, 0, dotSize, dotSize));
    return pixmap;
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

QString kindName(LogEntry::Kind kind) {
    switch (kind) {
    case LogEntry::Kind::success:
        return QStringLiteral("success");
    case LogEntry::Kind::failure:
        return QStringLiteral("failure");
    case LogEntry::Kind::info:
        break;
    }
    return QStringLiteral("info");
}

// Appends blocks and frames at the end of a document.
class Writer {
public:
    explicit Writer(QTextDocument& document) : m_cursor(&document) {}

    void block(qreal leftMargin, qreal topMargin, const QTextCharFormat& format) {
        QTextBlockFormat blockFormat;
        blockFormat.setLeftMargin(leftMargin);
        blockFormat.setTopMargin(topMargin);
        if (m_fresh) {
            m_cursor.setBlockFormat(blockFormat);
            m_cursor.setBlockCharFormat(format);
            m_fresh = false;
        } else {
            m_cursor.insertBlock(blockFormat, format);
        }
    }
    void text(const QString& text, const QTextCharFormat& format) {
        m_cursor.insertText(text, format);
    }
    void image(const QString& name, qreal width, qreal height) {
        QTextImageFormat format;
        format.setName(name);
        format.setWidth(width);
        format.setHeight(height);
        format.setVerticalAlignment(QTextCharFormat::AlignMiddle);
        m_cursor.insertImage(format);
    }
    void enterFrame(const QTextFrameFormat& format) {
        m_cursor.insertFrame(format);
        m_fresh = true;
    }
    void leaveFrame() {
        m_cursor.movePosition(QTextCursor::End);
        // The document keeps a block between two frames; it takes no room until text goes in.
        QTextBlockFormat gap;
        gap.setLineHeight(0, QTextBlockFormat::FixedHeight);
        m_cursor.setBlockFormat(gap);
        m_fresh = true;
    }
    QTextCursor& cursor() { return m_cursor; }

private:
    QTextCursor m_cursor;
    // The cursor's block is empty and has not been used yet.
    bool m_fresh = true;
};

QTextCharFormat charFormat(const QFont& font, const QColor& colour) {
    QTextCharFormat format;
    format.setFont(font, QTextCharFormat::FontPropertiesAll);
    format.setForeground(colour);
    return format;
}

} // namespace

QString timeOfDayText(Date date, const QLocale& locale) {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    const QTime time = QDateTime::fromMSecsSinceEpoch(milliseconds).time();
    // The locale's short format gives the order and the clock; seconds are added after minutes.
    QString format = locale.timeFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1Char('s'))) {
        const qsizetype minutes = format.indexOf(QLatin1String("mm"));
        if (minutes >= 0)
            format.insert(minutes + 2, QStringLiteral(":ss"));
        else
            format = QStringLiteral("HH:mm:ss");
    }
    return locale.toString(time, format);
}

void fillLogDocument(QTextDocument& document, std::span<const LogEntry> entries,
                     AppLanguage language, const QPalette& palette, const QFont& font,
                     qreal devicePixelRatio) {
    document.clear();
    document.setDefaultFont(font);
    for (const LogEntry::Kind kind :
         {LogEntry::Kind::info, LogEntry::Kind::success, LogEntry::Kind::failure}) {
        document.addResource(QTextDocument::ImageResource, QUrl(dotUrl.arg(kindName(kind))),
                             dotImage(colour(dotColour(kind), palette), devicePixelRatio));
    }
    const QFont caption2Font = ui::font(TextStyle::caption2, font);
    const qreal bulbSize = QFontMetricsF(caption2Font).height();
    document.addResource(QTextDocument::ImageResource, QUrl(bulbUrl),
                         icon("lightbulb", colour(Colour::blue, palette))
                             .pixmap(QSize(qCeil(bulbSize), qCeil(bulbSize)), devicePixelRatio));

    const QColor primary = colour(Colour::primary, palette);
    const QColor secondary = colour(Colour::secondary, palette);
    const QTextCharFormat message = charFormat(ui::font(TextStyle::callout, font), primary);
    const QTextCharFormat meta = charFormat(ui::font(TextStyle::caption, font), secondary);
    QFont detailsFont = ui::font(TextStyle::caption, font);
    detailsFont.setWeight(QFont::Medium);
    const QTextCharFormat details = charFormat(detailsFont, colour(Colour::red, palette));
    QFont pathFont = ui::font(TextStyle::caption, font);
    pathFont.setWeight(QFont::DemiBold);
    const QTextCharFormat path = charFormat(pathFont, primary);
    const QTextCharFormat reason = charFormat(ui::font(TextStyle::caption, font), primary);
    const QTextCharFormat systemMessage = charFormat(caption2Font, secondary);
    const QTextCharFormat hint = charFormat(caption2Font, colour(Colour::blue, palette));
    const QTextCharFormat more = charFormat(caption2Font, secondary);

    Writer out(document);
    out.cursor().beginEditBlock();
    const QLocale locale = QLocale::system();
    bool first = true;
    for (const LogEntry& entry : entries) {
        // Rows are 3 points apart above and below, with room for the list's separation.
        out.block(0, first ? 3 : 15, message);
        first = false;
        out.image(dotUrl.arg(kindName(entry.kind)), indent, dotSize);
        out.text(q(entry.message), message);
        out.block(indent, 2, meta);
        out.text(q(entry.volume) + QStringLiteral(" • ") + timeOfDayText(entry.date, locale), meta);
        if (entry.details.empty())
            continue;
        const auto count = static_cast<std::int64_t>(entry.details.size());
        out.block(indent, 6, details);
        out.text(q(formatLocalized("log.detailsHeader", language, {count})), details);
        bool firstIssue = true;
        for (std::size_t i = 0; i < entry.details.size() && i < maxIssuesShown; ++i) {
            const BackupIssue& issue = entry.details[i];
            QTextFrameFormat box;
            box.setLeftMargin(indent);
            box.setTopMargin(firstIssue ? 6 : 8);
            box.setPadding(8);
            box.setBorder(0);
            box.setProperty(issueBoxProperty, true);
            firstIssue = false;
            out.enterFrame(box);
            bool firstLine = true;
            auto line = [&](const QString& text, const QTextCharFormat& format) {
                out.block(0, firstLine ? 0 : 3, format);
                out.text(text, format);
                firstLine = false;
            };
            if (!issue.path.empty())
                line(q(issue.path), path);
            line(q(issue.reason), reason);
            if (!issue.systemMessage.empty())
                line(q(issue.systemMessage), systemMessage);
            if (issue.suggestion) {
                out.block(0, firstLine ? 0 : 3, hint);
                out.image(bulbUrl, bulbSize, bulbSize);
                out.text(QStringLiteral(" ") + q(*issue.suggestion), hint);
            }
            out.leaveFrame();
        }
        if (entry.details.size() > maxIssuesShown) {
            const auto beyond = count - static_cast<std::int64_t>(maxIssuesShown);
            out.block(indent, 8, more);
            out.text(q(formatLocalized("log.more", language, {beyond})), more);
        }
    }
    out.cursor().endEditBlock();
}

void LogTextView::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(viewport());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QColor background = palette().color(QPalette::Text);
        background.setAlphaF(0.05f);
        painter.setBrush(background);
        const QPointF offset(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
        const QRectF visible = QRectF(viewport()->rect()).translated(-offset);
        QAbstractTextDocumentLayout* layout = document()->documentLayout();
        for (QTextFrame* frame : document()->rootFrame()->childFrames()) {
            const QTextFrameFormat format = frame->frameFormat();
            if (!format.boolProperty(issueBoxProperty))
                continue;
            const QRectF box = layout->frameBoundingRect(frame).adjusted(
                format.leftMargin(), format.topMargin(), -format.rightMargin(),
                -format.bottomMargin());
            if (box.bottom() < visible.top() || box.top() > visible.bottom())
                continue;
            painter.drawRoundedRect(box.translated(offset), 6, 6);
        }
    }
    QTextBrowser::paintEvent(event);
}

LogListView::LogListView(app::AppState& state, app::Localizer& localizer, QWidget* parent)
    : QStackedWidget(parent), m_state(state), m_localizer(localizer) {
    m_placeholder = new QWidget(this);
    auto* placeholderLayout = new QVBoxLayout(m_placeholder);
    placeholderLayout->setSpacing(8);
    placeholderLayout->addStretch(1);
    m_placeholderIcon = new QLabel(m_placeholder);
    m_placeholderTitle = new QLabel(m_placeholder);
    m_placeholderText = new QLabel(m_placeholder);
    for (QLabel* label : {m_placeholderIcon, m_placeholderTitle, m_placeholderText}) {
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        placeholderLayout->addWidget(label);
    }
    placeholderLayout->addStretch(1);
    addWidget(m_placeholder);

    m_rows = new LogTextView(this);
    m_rows->setFrameShape(QFrame::NoFrame);
    m_rows->setOpenLinks(false);
    m_rows->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_rows->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_rows->document()->setDocumentMargin(12);
    m_rows->document()->setUndoRedoEnabled(false);
    addWidget(m_rows);

    connect(&m_state, &app::AppState::logChanged, this, &LogListView::invalidate);
    connect(&m_localizer, &app::Localizer::languageChanged, this, &LogListView::invalidate);
    rebuild();
}

bool LogListView::showsPlaceholder() const {
    return currentWidget() == m_placeholder;
}

QTextDocument* LogListView::document() const {
    return m_rows->document();
}

void LogListView::showEvent(QShowEvent* event) {
    QStackedWidget::showEvent(event);
    if (m_dirty)
        rebuild();
}

void LogListView::changeEvent(QEvent* event) {
    QStackedWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        invalidate();
}

void LogListView::invalidate() {
    m_dirty = true;
    // A hidden list (the settings window's other tab) waits until it is shown.
    if (isVisible())
        rebuild();
}

void LogListView::rebuild() {
    m_dirty = false;
    const AppLanguage language = m_localizer.language();
    const QPalette palette = this->palette();
    m_placeholderIcon->setPixmap(icon("list.bullet.rectangle", colour(Colour::secondary, palette))
                                     .pixmap(QSize(40, 40), devicePixelRatioF()));
    m_placeholderTitle->setFont(ui::font(TextStyle::title3, font()));
    QFont titleFont = ui::font(TextStyle::title3, font());
    titleFont.setWeight(QFont::DemiBold);
    m_placeholderTitle->setFont(titleFont);
    m_placeholderTitle->setText(m_localizer.qtext("log.empty.title"));
    applyTextStyle(m_placeholderText, TextStyle::callout, Colour::secondary);
    m_placeholderText->setText(m_localizer.qtext("log.empty.desc"));

    const auto& entries = m_state.log();
    if (entries.empty()) {
        m_rows->document()->clear();
        setCurrentWidget(m_placeholder);
        return;
    }
    QScrollBar* bar = m_rows->verticalScrollBar();
    const int position = bar->value();
    fillLogDocument(*m_rows->document(), entries, language, palette, font(), devicePixelRatioF());
    setCurrentWidget(m_rows);
    bar->setValue(position);
}

LogWindow::LogWindow(app::AppState& state, app::Localizer& localizer, QWidget* parent)
    : QWidget(parent), m_list(new LogListView(state, localizer, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_list);
    setMinimumSize(460, 360);
    auto retitle = [this, &localizer] { setWindowTitle(localizer.qtext("log.window")); };
    retitle();
    connect(&localizer, &app::Localizer::languageChanged, this, retitle);
}

} // namespace keelbox::ui
