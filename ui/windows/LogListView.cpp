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
#include <QPointer>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <QtMath>

#include <chrono>

namespace keelbox::ui {

namespace {

const QString dotUrl = QStringLiteral("keelbox-log:/dot/%1");
const QString bulbUrl = QStringLiteral("keelbox-log:/bulb");
// The blocks of an issue box: the view draws the box's rounded background behind them. (Not one
// frame per box: a document with thousands of frames takes quadratic time to build.)
constexpr int boxLineProperty = QTextFormat::UserProperty + 1;
// On a box's first block: the space above the box (its top margin also holds the padding).
constexpr int boxStartProperty = QTextFormat::UserProperty + 2;
constexpr int boxEndProperty = QTextFormat::UserProperty + 3;
constexpr qreal boxPadding = 8;

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

// Appends blocks at the end of a document.
class Writer {
public:
    explicit Writer(QTextDocument& document) : m_cursor(&document) {}

    void block(const QTextBlockFormat& blockFormat, const QTextCharFormat& format) {
        if (m_fresh) {
            m_cursor.setBlockFormat(blockFormat);
            m_cursor.setBlockCharFormat(format);
            m_fresh = false;
        } else {
            m_cursor.insertBlock(blockFormat, format);
        }
    }
    void block(qreal leftMargin, qreal topMargin, const QTextCharFormat& format) {
        QTextBlockFormat blockFormat;
        blockFormat.setLeftMargin(leftMargin);
        blockFormat.setTopMargin(topMargin);
        block(blockFormat, format);
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

class LogDocumentBuilder {
public:
    LogDocumentBuilder(QTextDocument& document, AppLanguage language, const QPalette& palette,
                       const QFont& font, qreal devicePixelRatio)
        : m_document(document), m_out(document), m_language(language), m_locale(QLocale::system()) {
        document.clear();
        document.setDefaultFont(font);
        for (const LogEntry::Kind kind :
             {LogEntry::Kind::info, LogEntry::Kind::success, LogEntry::Kind::failure}) {
            document.addResource(QTextDocument::ImageResource, QUrl(dotUrl.arg(kindName(kind))),
                                 dotImage(colour(dotColour(kind), palette), devicePixelRatio));
        }
        const QFont caption2Font = ui::font(TextStyle::caption2, font);
        m_bulbSize = QFontMetricsF(caption2Font).height();
        const int bulbPixels = qCeil(m_bulbSize);
        document.addResource(QTextDocument::ImageResource, QUrl(bulbUrl),
                             icon("lightbulb", colour(Colour::blue, palette))
                                 .pixmap(QSize(bulbPixels, bulbPixels), devicePixelRatio));

        const QColor primary = colour(Colour::primary, palette);
        const QColor secondary = colour(Colour::secondary, palette);
        m_message = charFormat(ui::font(TextStyle::callout, font), primary);
        m_meta = charFormat(ui::font(TextStyle::caption, font), secondary);
        QFont detailsFont = ui::font(TextStyle::caption, font);
        detailsFont.setWeight(QFont::Medium);
        m_details = charFormat(detailsFont, colour(Colour::red, palette));
        QFont pathFont = ui::font(TextStyle::caption, font);
        pathFont.setWeight(QFont::DemiBold);
        m_path = charFormat(pathFont, primary);
        m_reason = charFormat(ui::font(TextStyle::caption, font), primary);
        m_systemMessage = charFormat(caption2Font, secondary);
        m_hint = charFormat(caption2Font, colour(Colour::blue, palette));
        m_more = charFormat(caption2Font, secondary);
        // A box line is first, middle or last in its box, or both first and last; the first
        // box of a list sits closer to the details header.
        for (int first = 0; first < 2; ++first) {
            for (int last = 0; last < 2; ++last) {
                for (int list = 0; list < 2; ++list) {
                    QTextBlockFormat& format = m_boxLine[first][last][list];
                    const qreal spacing = list ? 6 : 8;
                    format.setLeftMargin(indent + boxPadding);
                    format.setRightMargin(boxPadding);
                    format.setProperty(boxLineProperty, true);
                    format.setTopMargin(first ? spacing + boxPadding : 3);
                    if (first)
                        format.setProperty(boxStartProperty, spacing);
                    if (last) {
                        format.setBottomMargin(boxPadding);
                        format.setProperty(boxEndProperty, true);
                    }
                }
            }
        }
    }

    const QTextDocument* document() const { return &m_document; }
    // Appends between these two reach the document's layout as one change.
    void beginEdit() { m_out.cursor().beginEditBlock(); }
    void endEdit() { m_out.cursor().endEditBlock(); }

    void append(const LogEntry& entry) {
        // Rows are 3 points apart above and below, with room for the list's separation.
        m_out.block(0, m_first ? 3 : 15, m_message);
        m_first = false;
        m_out.image(dotUrl.arg(kindName(entry.kind)), indent, dotSize);
        m_out.text(q(entry.message), m_message);
        m_out.block(indent, 2, m_meta);
        m_out.text(q(entry.volume) + QStringLiteral(" • ") + timeOfDayText(entry.date, m_locale),
                   m_meta);
        if (entry.details.empty())
            return;
        const auto count = static_cast<std::int64_t>(entry.details.size());
        m_out.block(indent, 6, m_details);
        m_out.text(q(formatLocalized("log.detailsHeader", m_language, {count})), m_details);
        for (std::size_t i = 0; i < entry.details.size() && i < maxIssuesShown; ++i) {
            const BackupIssue& issue = entry.details[i];
            struct Line {
                QString text;
                const QTextCharFormat* format;
            };
            Line lines[4];
            int n = 0;
            if (!issue.path.empty())
                lines[n++] = {q(issue.path), &m_path};
            lines[n++] = {q(issue.reason), &m_reason};
            if (!issue.systemMessage.empty())
                lines[n++] = {q(issue.systemMessage), &m_systemMessage};
            if (issue.suggestion)
                lines[n++] = {QStringLiteral(" ") + q(*issue.suggestion), &m_hint};
            for (int l = 0; l < n; ++l) {
                m_out.block(m_boxLine[l == 0][l + 1 == n][i == 0], *lines[l].format);
                if (lines[l].format == &m_hint)
                    m_out.image(bulbUrl, m_bulbSize, m_bulbSize);
                m_out.text(lines[l].text, *lines[l].format);
            }
        }
        if (entry.details.size() > maxIssuesShown) {
            const auto beyond = count - static_cast<std::int64_t>(maxIssuesShown);
            m_out.block(indent, 8, m_more);
            m_out.text(q(formatLocalized("log.more", m_language, {beyond})), m_more);
        }
    }

private:
    QTextDocument& m_document;
    Writer m_out;
    AppLanguage m_language;
    QLocale m_locale;
    qreal m_bulbSize = 0;
    bool m_first = true;
    QTextCharFormat m_message, m_meta, m_details, m_path, m_reason, m_systemMessage, m_hint, m_more;
    QTextBlockFormat m_boxLine[2][2][2];
};

void fillLogDocument(QTextDocument& document, std::span<const LogEntry> entries,
                     AppLanguage language, const QPalette& palette, const QFont& font,
                     qreal devicePixelRatio) {
    LogDocumentBuilder builder(document, language, palette, font, devicePixelRatio);
    builder.beginEdit();
    for (const LogEntry& entry : entries)
        builder.append(entry);
    builder.endEdit();
}

std::vector<QString> issueBoxTexts(const QTextDocument& document) {
    std::vector<QString> boxes;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat format = block.blockFormat();
        if (format.hasProperty(boxStartProperty))
            boxes.emplace_back();
        else if (format.boolProperty(boxLineProperty))
            boxes.back() += u'\n';
        if (format.boolProperty(boxLineProperty))
            boxes.back() += block.text();
    }
    return boxes;
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
        const qreal left = document()->documentMargin() + indent;
        const qreal right = document()->textWidth() - document()->documentMargin();
        QTextBlock block = document()->findBlock(layout->hitTest(visible.topLeft(), Qt::FuzzyHit));
        // Back to the start of the box the first visible line belongs to.
        while (block.isValid() && block.blockFormat().boolProperty(boxLineProperty) &&
               !block.blockFormat().hasProperty(boxStartProperty))
            block = block.previous();
        qreal top = 0;
        for (; block.isValid(); block = block.next()) {
            const QTextBlockFormat format = block.blockFormat();
            // The text's own rectangle: the block's margins lie outside it.
            const QRectF rect = layout->blockBoundingRect(block);
            if (format.hasProperty(boxStartProperty))
                top = rect.top() - boxPadding;
            else if (rect.top() > visible.bottom())
                break;
            if (format.boolProperty(boxEndProperty) && rect.height() > 0)
                painter.drawRoundedRect(
                    QRectF(QPointF(left, top), QPointF(right, rect.bottom() + boxPadding))
                        .translated(offset),
                    6, 6);
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
    addWidget(m_rows);

    connect(&m_state, &app::AppState::logChanged, this, &LogListView::invalidate);
    connect(&m_localizer, &app::Localizer::languageChanged, this, &LogListView::invalidate);
    rebuild();
}

LogListView::~LogListView() = default;

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
    // Filled while no view lays it out, then handed over: the view lays it out in steps from the
    // top. The first rows go in at once, the others in later turns of the event loop, so that the
    // window shows at once however long the log is.
    auto* document = new QTextDocument(m_rows);
    document->setUndoRedoEnabled(false);
    document->setDocumentMargin(12);
    m_builder = std::make_unique<LogDocumentBuilder>(*document, language, palette, font(),
                                                     devicePixelRatioF());
    m_built = 0;
    ++m_generation;
    appendRows();
    // The view deletes the document it made itself; the ones made here are deleted here.
    const QPointer<QTextDocument> previous = m_rows->document();
    m_rows->setDocument(document);
    if (previous && previous->parent() == m_rows)
        delete previous;
    setCurrentWidget(m_rows);
    bar->setValue(position);
}

void LogListView::appendRows() {
    const auto& entries = m_state.log();
    // About 150 issue boxes a turn, laid out in the same turn: some milliseconds. (Left to
    // itself, the view would lay out what remains in ever larger steps, up to a long pause.)
    std::size_t boxes = 0;
    m_builder->beginEdit();
    while (m_built < entries.size() && boxes < 150) {
        m_builder->append(entries[m_built]);
        boxes += 1 + std::min(entries[m_built].details.size(), maxIssuesShown);
        ++m_built;
    }
    m_builder->endEdit();
    if (m_builder->document() == m_rows->document())
        m_rows->document()->documentLayout()->documentSize();
    if (m_built < entries.size()) {
        QTimer::singleShot(0, this, [this, generation = m_generation] {
            if (generation == m_generation)
                appendRows();
        });
    } else {
        m_builder.reset();
    }
}

LogWindow::LogWindow(app::AppState& state, app::Localizer& localizer, QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new LogListView(state, localizer, this));
    setMinimumSize(460, 360);
    auto retitle = [this, &localizer] { setWindowTitle(localizer.qtext("log.window")); };
    retitle();
    connect(&localizer, &app::Localizer::languageChanged, this, retitle);
}

} // namespace keelbox::ui
