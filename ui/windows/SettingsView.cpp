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

    connect(m_launchAtLogin, &QCheckBox::clicked, this, [this](bool wanted) {
        m_state.setLaunchAtLogin(wanted);
        // The switch shows what the system now reports, also after a refused change.
        showState();
    });
    connect(m_autoBackup, &QCheckBox::clicked, &m_state, &app::AppState::setAutoBackup);
    connect(m_notify, &QCheckBox::clicked, &m_state, &app::AppState::setNotify);
    connect(m_polish, &QPushButton::clicked, this,
            [this] { m_localizer.setLanguage(AppLanguage::polish); });
    connect(m_english, &QPushButton::clicked, this,
            [this] { m_localizer.setLanguage(AppLanguage::english); });
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
    form->setSpacing(12);

    m_behaviour = new QGroupBox(page);
    auto* behaviour = new QVBoxLayout(m_behaviour);
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
    auto* segments = new QButtonGroup(m_language);
    for (QPushButton* segment : {m_polish, m_english}) {
        segment->setCheckable(true);
        segments->addButton(segment);
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

    return verticalScrollArea(page, nullptr);
}

// Who makes Keelbox, the version, and the support address and website where the build has them.
QGroupBox* SettingsView::buildAboutBox(QWidget* page) {
    m_about = new QGroupBox(page);
    auto* about = new QVBoxLayout(m_about);
    auto* brand = new QVBoxLayout;
    brand->setSpacing(6);
    brand->setContentsMargins(0, 4, 0, 4);
    m_logo = new QLabel(m_about);
    m_makerName = new QLabel(m_maker.name, m_about);
    m_version = new QLabel(m_about);
    for (QLabel* label : {m_logo, m_makerName, m_version}) {
        label->setAlignment(Qt::AlignCenter);
        brand->addWidget(label);
    }
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    about->addLayout(brand);
    about->addWidget(divider(m_about));
    auto* links = new QFormLayout;
    m_supportLabel = new QLabel(m_about);
    m_supportLink = linkLabel(m_about);
    m_supportLink->setText(
        link(QStringLiteral("mailto:") + m_maker.supportEmail, m_maker.supportEmail));
    m_websiteLabel = new QLabel(m_about);
    m_websiteLink = linkLabel(m_about);
    QString shownSite = m_maker.website;
    shownSite.remove(QRegularExpression(QStringLiteral("^[a-z]+://")));
    m_websiteLink->setText(link(m_maker.website, shownSite));
    if (!m_maker.supportEmail.isEmpty())
        links->addRow(m_supportLabel, m_supportLink);
    if (!m_maker.website.isEmpty())
        links->addRow(m_websiteLabel, m_websiteLink);
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
    m_polish->setChecked(loc.language() == AppLanguage::polish);
    m_english->setChecked(loc.language() == AppLanguage::english);
    m_updates->setTitle(loc.qtext("settings.updates"));
    m_checkNow->setText(loc.qtext("update.checkNow"));
    m_about->setTitle(loc.qtext("settings.about"));
    m_version->setText(loc.qtext("settings.version", {appVersionText().toStdString()}));
    m_supportLabel->setText(loc.qtext("settings.support"));
    m_websiteLabel->setText(loc.qtext("settings.website"));
    showState();
    showUpdate();
}

void SettingsView::restyle() {
    const QPalette& palette = this->palette();
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
    brand.setColor(QPalette::WindowText, brandColour);
    m_makerName->setPalette(brand);
    applyTextStyle(m_version, TextStyle::caption, Colour::secondary);
    showUpdate();
}

void SettingsView::showState() {
    m_launchAtLogin->setChecked(m_state.launchAtLogin());
    m_autoBackup->setChecked(m_state.autoBackup());
    m_notify->setChecked(m_state.notify());
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
