#include "ui/windows/LogListView.h"

#include "app/AppState.h"

#include "app/Localizer.h"
#include "ui/Icons.h"
#include "ui/PlainText.h"
#include "ui/Style.h"
#include <QUrl>

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

const QString bulbUrl = QStringLiteral("keelbox-log:/bulb");
// The blocks of an issue box: the view draws the box's rounded background behind them. (Not one
// frame per box: a document with thousands of frames takes quadratic time to build.)
constexpr int boxLineProperty = QTextFormat::UserProperty + 1;
// On a box's first block: the space above the box (its top margin also holds the padding).
constexpr int boxStartProperty = QTextFormat::UserProperty + 2;
constexpr int boxEndProperty = QTextFormat::UserProperty + 3;
// The dot and the bulb are drawn by the view in the block's left margin, not put in the text as
// images: an image is an object replacement character, which screen readers read as "object".
constexpr int dotProperty = QTextFormat::UserProperty + 4; // the dot's colour
constexpr int bulbProperty = QTextFormat::UserProperty + 5;
constexpr qreal bulbGap = 3;
constexpr qreal boxPadding = 8;

// Leading indent of everything under the header line: the dot's column and its spacing.
constexpr qreal indent = 15;
constexpr qreal dotSize = 7;

QString q(const std::string& text) {
    return QString::fromStdString(text);
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
             {LogEntry::Kind::info, LogEntry::Kind::success, LogEntry::Kind::failure})
            m_dots[static_cast<int>(kind)] = colour(dotColour(kind), palette);
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
        QTextBlockFormat header;
        header.setLeftMargin(indent);
        header.setTopMargin(m_first ? 3 : 15);
        header.setProperty(dotProperty, m_dots[static_cast<int>(entry.kind)]);
        m_out.block(header, m_message);
        m_first = false;
        m_out.text(shownText(entry.message), m_message);
        m_out.block(indent, 2, m_meta);
        // An event of no drive has only its time.
        const QString time = timeOfDayText(entry.date, m_locale);
        m_out.text(entry.volume.empty() ? time
                                        : shownName(entry.volume) + QStringLiteral(" • ") + time,
                   m_meta);
        if (!entry.copyFolder.empty()) {
            // A backup's entry opens its copy (LogListView hands the link to the state).
            QTextCharFormat link = m_meta;
            link.setAnchor(true);
            link.setAnchorHref(
                QUrl::fromLocalFile(QString::fromStdString(entry.copyFolder.string())).toString());
            link.setFontUnderline(true);
            m_out.text(QStringLiteral(" • "), m_meta);
            m_out.text(q(formatLocalized("row.openCopy", m_language, {})), link);
        }
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
                lines[n++] = {shownText(issue.path), &m_path};
            lines[n++] = {shownText(issue.reason), &m_reason};
            if (!issue.systemMessage.empty())
                lines[n++] = {shownText(issue.systemMessage), &m_systemMessage};
            if (issue.suggestion)
                lines[n++] = {shownText(*issue.suggestion), &m_hint};
            for (int l = 0; l < n; ++l) {
                QTextBlockFormat format = m_boxLine[l == 0][l + 1 == n][i == 0];
                if (lines[l].format == &m_hint) {
                    format.setLeftMargin(format.leftMargin() + m_bulbSize + bulbGap);
                    format.setProperty(bulbProperty, true);
                }
                m_out.block(format, *lines[l].format);
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
    QColor m_dots[3];
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
        const QPointF offset(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
        const QRectF visible = QRectF(viewport()->rect()).translated(-offset);
        QAbstractTextDocumentLayout* layout = document()->documentLayout();
        const qreal margin = document()->documentMargin();
        const qreal left = margin + indent;
        const qreal right = document()->textWidth() - margin;
        const QPixmap bulb =
            document()->resource(QTextDocument::ImageResource, QUrl(bulbUrl)).value<QPixmap>();
        // The last block that starts above the visible part, found by its laid-out position
        // (which lays the document out that far). Not by a hit test: where the view has not laid
        // the document out yet (its first paint, a part scrolled to the first time), that finds
        // a wrong place or nothing, and no box would be drawn.
        int first = 0;
        for (int last = document()->blockCount() - 1; first < last;) {
            const int middle = (first + last + 1) / 2;
            if (layout->blockBoundingRect(document()->findBlockByNumber(middle)).top() <=
                visible.top())
                first = middle;
            else
                last = middle - 1;
        }
        QTextBlock block = document()->findBlockByNumber(first);
        // Back to the start of the box the first visible line belongs to.
        while (block.isValid() && block.blockFormat().boolProperty(boxLineProperty) &&
               !block.blockFormat().hasProperty(boxStartProperty))
            block = block.previous();
        qreal top = 0;
        for (; block.isValid(); block = block.next()) {
            const QTextBlockFormat format = block.blockFormat();
            // The text's own rectangle: the block's margins lie outside it.
            const QRectF rect = layout->blockBoundingRect(block);
            const bool inBox = format.boolProperty(boxLineProperty);
            if (rect.top() > visible.bottom() && (!inBox || format.hasProperty(boxStartProperty)))
                break;
            if (format.hasProperty(boxStartProperty))
                top = rect.top() - boxPadding;
            if (format.boolProperty(boxEndProperty) && rect.height() > 0) {
                painter.setBrush(background);
                painter.drawRoundedRect(
                    QRectF(QPointF(left, top), QPointF(right, rect.bottom() + boxPadding))
                        .translated(offset),
                    6, 6);
            }
            const qreal firstLine = block.layout() && block.layout()->lineCount() > 0
                                        ? block.layout()->lineAt(0).height()
                                        : rect.height();
            if (format.hasProperty(dotProperty)) {
                painter.setBrush(format.colorProperty(dotProperty));
                painter.drawEllipse(
                    QRectF(margin, rect.top() + (firstLine - dotSize) / 2, dotSize, dotSize)
                        .translated(offset));
            }
            if (format.boolProperty(bulbProperty) && !bulb.isNull()) {
                const QSizeF size = bulb.deviceIndependentSize();
                painter.drawPixmap(
                    QPointF(rect.left() + format.leftMargin() - size.width() - bulbGap,
                            rect.top() + (firstLine - size.height()) / 2) +
                        offset,
                    bulb);
            }
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
    // Selectable with the mouse; the keyboard scrolls and follows links. (Keyboard selection
    // would put a caret on the first row.)
    m_rows->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                    Qt::LinksAccessibleByKeyboard);
    connect(m_rows, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        if (url.isLocalFile())
            m_state.openCopy(url.toLocalFile().toStdString());
    });
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
    // The rows are drawn on the text view's background.
    const QPalette rowPalette = viewPalette(palette);
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
    m_builder = std::make_unique<LogDocumentBuilder>(*document, language, rowPalette, font(),
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
