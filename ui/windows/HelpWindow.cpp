#include "ui/windows/HelpWindow.h"

#include "app/Localizer.h"
#include "ui/Icons.h"
#include "ui/Style.h"
#include "ui/Widgets.h"
#include "ui/windows/WindowParts.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

namespace keelbox::ui {

HelpWindow::HelpWindow(app::Localizer& localizer, QWidget* parent)
    : QWidget(parent), m_localizer(localizer) {
    setFixedSize(520, 560);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* content = new QWidget;
    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(24, 24, 24, 24);
    stack->setSpacing(18);

    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    m_headerIcon = new QLabel(content);
    m_headerIcon->setAlignment(Qt::AlignTop);
    m_intro = wrappingLabel(content);
    header->addWidget(m_headerIcon, 0, Qt::AlignTop);
    header->addWidget(m_intro, 1);
    stack->addLayout(header);

    stack->addWidget(divider(content));

    for (std::size_t i = 0; i < helpSections.size(); ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        SectionLabels labels{new QLabel(content), wrappingLabel(content), wrappingLabel(content)};
        labels.icon->setFixedWidth(26);
        labels.icon->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(3);
        texts->addWidget(labels.title);
        texts->addWidget(labels.body);
        row->addWidget(labels.icon, 0, Qt::AlignTop);
        row->addLayout(texts, 1);
        stack->addLayout(row);
        m_sections.push_back(labels);
    }
    stack->addStretch(1);
    outer->addWidget(verticalScrollArea(content, this));

    restyle();
    retranslate();
    connect(&m_localizer, &app::Localizer::languageChanged, this, &HelpWindow::retranslate);
}

void HelpWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        restyle();
}

void HelpWindow::retranslate() {
    setWindowTitle(m_localizer.qtext("help.window"));
    m_intro->setText(m_localizer.qtext("help.intro"));
    for (std::size_t i = 0; i < helpSections.size(); ++i) {
        m_sections[i].title->setText(m_localizer.qtext(helpSections[i].titleKey));
        m_sections[i].body->setText(m_localizer.qtext(helpSections[i].bodyKey));
    }
}

void HelpWindow::restyle() {
    const QColor accent = colour(Colour::accent, palette());
    const int large = QFontMetrics(ui::font(TextStyle::largeTitle, font())).height();
    m_headerIcon->setPixmap(icon("externaldrive.badge.timemachine", accent)
                                .pixmap(QSize(large, large), devicePixelRatioF()));
    applyTextStyle(m_intro, TextStyle::callout);
    const int sectionIcon = QFontMetrics(ui::font(TextStyle::title3, font())).height();
    for (std::size_t i = 0; i < helpSections.size(); ++i) {
        m_sections[i].icon->setPixmap(
            icon(helpSections[i].symbol, accent)
                .pixmap(QSize(sectionIcon, sectionIcon), devicePixelRatioF()));
        applyTextStyle(m_sections[i].title, TextStyle::headline);
        applyTextStyle(m_sections[i].body, TextStyle::callout, Colour::secondary);
    }
}

} // namespace keelbox::ui
