#include "ui/windows/SettingsView.h"

#include "app/AppState.h"
#include "app/Localizer.h"
#include "ui/Icons.h"
#include "ui/Style.h"
#include "ui/Widgets.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/WindowParts.h"
#include "update/UpdaterViewModel.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#ifndef KEELBOX_MAKER_NAME
#error "KEELBOX_MAKER_NAME, KEELBOX_SUPPORT_EMAIL and KEELBOX_WEBSITE come from CMake options"
#endif

// The logo is a resource of a static library: registered by hand before its first use.
static void initWindowResources() {
    Q_INIT_RESOURCE(windows);
}

namespace keelbox::ui {

namespace {

QLabel* linkLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(true); // through the desktop: mail program, web browser
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    return label;
}

QString link(const QString& target, const QString& shown) {
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(target.toHtmlEscaped(), shown.toHtmlEscaped());
}

} // namespace

MakerInfo MakerInfo::fromBuild() {
    return {QStringLiteral(KEELBOX_MAKER_NAME), QStringLiteral(KEELBOX_SUPPORT_EMAIL),
            QStringLiteral(KEELBOX_WEBSITE)};
}

void useBuildVersion() {
    if (QCoreApplication::applicationVersion().isEmpty())
        QCoreApplication::setApplicationVersion(QStringLiteral(KEELBOX_VERSION));
}

QString appVersionText() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("1.0") : version;
}

SettingsView::SettingsView(app::AppState& state, app::Localizer& localizer,
                           update::UpdaterViewModel& updater, MakerInfo maker, QWidget* parent)
    : QWidget(parent), m_state(state), m_localizer(localizer), m_updater(updater),
      m_maker(std::move(maker)) {
    static const bool resources = (initWindowResources(), true);
    (void)resources;
    setFixedSize(480, 460);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    m_tabs = new QTabWidget(this);
    layout->addWidget(m_tabs);
    m_tabs->addTab(buildGeneralTab(), QString());
    m_log = new LogListView(m_state, m_localizer, m_tabs);
    m_tabs->addTab(m_log, QString());
    m_tabs->setCurrentIndex(0);

    // On `toggled`, however the value changed: a click, the keyboard or a screen reader's toggle
    // action (which emits no `clicked`). What is shown is set back with the signals blocked.
    connect(m_launchAtLogin, &QCheckBox::toggled, this, [this](bool wanted) {
        m_state.setLaunchAtLogin(wanted);
        // The switch shows what the system now reports, also after a refused change.
        showState();
    });
    connect(m_autoBackup, &QCheckBox::toggled, &m_state, &app::AppState::setAutoBackup);
    connect(m_notify, &QCheckBox::toggled, &m_state, &app::AppState::setNotify);
    connect(m_segments, &QButtonGroup::idToggled, this, [this](int id, bool on) {
        if (on)
            m_localizer.setLanguage(id == 0 ? AppLanguage::polish : AppLanguage::english);
    });
    connect(m_checkNow, &QPushButton::clicked, &m_updater,
            &update::UpdaterViewModel::checkForUpdates);

    for (auto signal : {&app::AppState::launchAtLoginChanged, &app::AppState::autoBackupChanged,
                        &app::AppState::notifyChanged, &app::AppState::lastErrorChanged})
        connect(&m_state, signal, this, &SettingsView::showState);
    connect(&m_localizer, &app::Localizer::languageChanged, this, &SettingsView::retranslate);
    connect(&m_updater, &update::UpdaterViewModel::canCheckForUpdatesChanged, this,
            &SettingsView::showUpdate);
    connect(&m_updater, &update::UpdaterViewModel::updateAvailableChanged, this,
            &SettingsView::showUpdate);
    connect(&m_updater, &update::UpdaterViewModel::availableVersionStringChanged, this,
            &SettingsView::showUpdate);

    restyle();
    retranslate();
}

QWidget* SettingsView::buildGeneralTab() {
    auto* page = new QWidget;
    auto* form = new QVBoxLayout(page);
    form->setContentsMargins(8, 8, 8, 8);
    form->setSpacing(6);

    m_behaviour = new QGroupBox(page);
    auto* behaviour = new QVBoxLayout(m_behaviour);
    behaviour->setSpacing(4);
    m_launchAtLogin = new QCheckBox(m_behaviour);
    m_autoBackup = new QCheckBox(m_behaviour);
    m_notify = new QCheckBox(m_behaviour);
    m_configNote = wrappingLabel(m_behaviour);
    for (QWidget* row :
         std::initializer_list<QWidget*>{m_launchAtLogin, m_autoBackup, m_notify, m_configNote})
        behaviour->addWidget(row);
    form->addWidget(m_behaviour);

    m_language = new QGroupBox(page);
    auto* language = new QHBoxLayout(m_language);
    language->setSpacing(0);
    m_polish =
        new QPushButton(QString::fromUtf8(displayName(AppLanguage::polish).data()), m_language);
    m_english =
        new QPushButton(QString::fromUtf8(displayName(AppLanguage::english).data()), m_language);
    m_segments = new QButtonGroup(m_language);
    for (QPushButton* segment : {m_polish, m_english}) {
        segment->setCheckable(true);
        m_segments->addButton(segment, segment == m_polish ? 0 : 1);
        language->addWidget(segment, 1);
    }
    form->addWidget(m_language);

    m_error = new QGroupBox(page);
    auto* error = new QHBoxLayout(m_error);
    m_errorIcon = new QLabel(m_error);
    m_errorText = wrappingLabel(m_error);
    error->addWidget(m_errorIcon, 0, Qt::AlignTop);
    error->addWidget(m_errorText, 1);
    form->addWidget(m_error);

    m_updates = new QGroupBox(page);
    auto* updates = new QHBoxLayout(m_updates);
    m_updateIcon = new QLabel(m_updates);
    m_updateText = wrappingLabel(m_updates);
    m_checkNow = new QPushButton(m_updates);
    updates->addWidget(m_updateIcon);
    updates->addWidget(m_updateText, 1);
    updates->addWidget(m_checkNow);
    form->addWidget(m_updates);

    form->addWidget(buildAboutBox(page));
    form->addStretch(1);

    // Fits the window in both languages; scrolls only when an error line needs the room.
    return verticalScrollArea(page, nullptr, Qt::ScrollBarAsNeeded);
}

// Who makes Keelbox and the version beside the logo; the support address and website, where the
// build has them, in a column of their own. Rows without an address are not made at all: a label
// left out of the layout would be drawn over the box's title.
QGroupBox* SettingsView::buildAboutBox(QWidget* page) {
    m_about = new QGroupBox(page);
    auto* about = new QHBoxLayout(m_about);
    about->setSpacing(10);
    m_logo = new QLabel(m_about);
    about->addWidget(m_logo, 0, Qt::AlignVCenter);
    auto* brand = new QVBoxLayout;
    brand->setSpacing(2);
    m_makerName = new QLabel(m_maker.name, m_about);
    m_version = new QLabel(m_about);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    brand->addWidget(m_makerName);
    brand->addWidget(m_version);
    about->addLayout(brand);
    about->addStretch(1);
    auto* links = new QFormLayout;
    links->setVerticalSpacing(2);
    links->setLabelAlignment(Qt::AlignRight);
    const auto addLink = [&](QLabel*& label, QLabel*& shown, const QString& target,
                             const QString& text) {
        if (target.isEmpty())
            return;
        label = new QLabel(m_about);
        shown = linkLabel(m_about);
        shown->setText(link(target, text));
        links->addRow(label, shown);
    };
    QString shownSite = m_maker.website;
    shownSite.remove(QRegularExpression(QStringLiteral("^[a-z]+://")));
    addLink(m_supportLabel, m_supportLink,
            m_maker.supportEmail.isEmpty() ? QString()
                                           : QStringLiteral("mailto:") + m_maker.supportEmail,
            m_maker.supportEmail);
    addLink(m_websiteLabel, m_websiteLink, m_maker.website, shownSite);
    about->addLayout(links);
    return m_about;
}

void SettingsView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        restyle();
}

void SettingsView::retranslate() {
    const auto& loc = m_localizer;
    setWindowTitle(loc.qtext("settings.window"));
    m_tabs->setTabText(0, loc.qtext("settings.tab.general"));
    m_tabs->setTabText(1, loc.qtext("settings.tab.log"));
    m_behaviour->setTitle(loc.qtext("settings.behavior"));
    m_launchAtLogin->setText(loc.qtext("settings.launchAtLogin"));
    m_autoBackup->setText(loc.qtext("settings.autoBackup"));
    m_notify->setText(loc.qtext("settings.notify"));
    m_configNote->setText(loc.qtext("settings.configNote", {std::string(".keelbox.json")}));
    m_language->setTitle(loc.qtext("settings.language"));
    {
        const QSignalBlocker quiet(m_segments);
        m_polish->setChecked(loc.language() == AppLanguage::polish);
        m_english->setChecked(loc.language() == AppLanguage::english);
    }
    m_updates->setTitle(loc.qtext("settings.updates"));
    m_checkNow->setText(loc.qtext("update.checkNow"));
    m_about->setTitle(loc.qtext("settings.about"));
    m_version->setText(loc.qtext("settings.version", {appVersionText().toStdString()}));
    if (m_supportLabel)
        m_supportLabel->setText(loc.qtext("settings.support"));
    if (m_websiteLabel)
        m_websiteLabel->setText(loc.qtext("settings.website"));
    showState();
    showUpdate();
}

void SettingsView::restyle() {
    const QPalette& palette = this->palette();
    m_tabs->setTabIcon(0, icon("gearshape", palette));
    m_tabs->setTabIcon(1, icon("list.bullet.rectangle", palette));
    applyTextStyle(m_configNote, TextStyle::caption, Colour::secondary);
    applyTextStyle(m_errorText, TextStyle::callout, Colour::orange);
    const int callout = QFontMetrics(ui::font(TextStyle::callout, font())).height();
    m_errorIcon->setPixmap(icon("exclamationmark.triangle", colour(Colour::orange, palette))
                               .pixmap(QSize(callout, callout), devicePixelRatioF()));
    m_updateIcon->setPixmap(icon("arrow.down.circle.fill", colour(Colour::green, palette))
                                .pixmap(QSize(callout, callout), devicePixelRatioF()));
    m_logo->setPixmap(
        QIcon(QStringLiteral(":/keelbox/logo.svg")).pixmap(QSize(30, 30), devicePixelRatioF()));
    QFont name = ui::font(TextStyle::subheadline, font());
    name.setBold(true);
    name.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    m_makerName->setFont(name);
    QPalette brand = m_makerName->palette();
    brand.setColor(QPalette::WindowText, colour(Colour::brand, palette));
    m_makerName->setPalette(brand);
    applyTextStyle(m_version, TextStyle::caption, Colour::secondary);
    for (QLabel* label : {m_supportLabel, m_websiteLabel})
        if (label)
            applyTextStyle(label, TextStyle::callout, Colour::secondary);
    for (QLabel* label : {m_supportLink, m_websiteLink})
        if (label)
            applyTextStyle(label, TextStyle::callout);
    // The selected language stands out on any theme (a checked button's own look does not on
    // some dark ones).
    const QString selected = QStringLiteral("QPushButton:checked { background-color: %1; color: %2;"
                                            " border: 1px solid %1; border-radius: 3px;"
                                            " padding: 4px; }")
                                 .arg(colour(Colour::selected, palette).name(),
                                      colour(Colour::selectedText, palette).name());
    for (QPushButton* segment : {m_polish, m_english})
        segment->setStyleSheet(selected);
    showUpdate();
}

void SettingsView::showState() {
    for (const auto& [box, on] : {std::pair{m_launchAtLogin, m_state.launchAtLogin()},
                                  {m_autoBackup, m_state.autoBackup()},
                                  {m_notify, m_state.notify()}}) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    }
    const auto& error = m_state.lastError();
    m_error->setVisible(error.has_value());
    m_errorText->setText(error ? QString::fromStdString(*error) : QString());
}

void SettingsView::showUpdate() {
    const bool available = m_updater.updateAvailable();
    m_updateIcon->setVisible(available);
    if (available) {
        m_updateText->setText(m_localizer.qtext(
            "update.available", {m_updater.availableVersionString().toStdString()}));
        applyTextStyle(m_updateText, TextStyle::body, Colour::green);
    } else {
        m_updateText->setText(m_localizer.qtext("update.upToDate"));
        applyTextStyle(m_updateText, TextStyle::body, Colour::secondary);
    }
    m_checkNow->setEnabled(m_updater.canCheckForUpdates());
}

} // namespace keelbox::ui
