#include "ui/TrayApplication.h"

#include "app/AppState.h"
#include "app/Console.h"
#include "app/Launch.h"
#include "app/Session.h"
#include "app/SingleInstance.h"
#include "core/ExitStatus.h"
#include "ui/Appearance.h"
#include "ui/Icons.h"
#include "ui/PlainText.h"
#include "ui/UpdateDialog.h"
#include "update/UpdaterViewModel.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>

#include <iostream>

namespace keelbox::ui {

namespace {

const QString panelRequest = QStringLiteral("panel");

// How the tray host draws icons, by what it announces on the session bus: a D-Bus tray's
// watcher is owned by the desktop shell, and the shells below draw a theme's symbolic icon in the
// panel's text colour. Any other D-Bus host (xfce4-panel, lxqt-panel) and an X11 tray (XEmbed,
// no watcher) draw the pixels they are sent.
TrayHost announcedTrayHost() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return TrayHost::drawsAsIs;
    const QDBusReply<uint> pid =
        bus.interface()->servicePid(QStringLiteral("org.kde.StatusNotifierWatcher"));
    if (!pid.isValid())
        return TrayHost::drawsAsIs;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid.value()));
    const QByteArray shell =
        comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
    for (const char* recolouring : {"gnome-shell", "plasmashell", "kded5", "kded6"})
        if (shell == recolouring)
            return TrayHost::recoloursSymbolic;
    return TrayHost::drawsAsIs;
}

} // namespace

std::vector<const VolumeInfo*> runningVolumes(const std::vector<VolumeInfo>& volumes) {
    std::vector<const VolumeInfo*> running;
    for (const VolumeInfo& volume : volumes)
        if (volume.status.kind == BackupStatus::Kind::running)
            running.push_back(&volume);
    return running;
}

std::optional<QString> showArgument(const QStringList& arguments, bool* error) {
    *error = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString value;
        if (arguments[i] == QLatin1String("--show"))
            value = arguments.value(i + 1);
        else if (arguments[i].startsWith(QLatin1String("--show=")))
            value = arguments[i].mid(7);
        else
            continue;
        *error = value != panelRequest && !isWindowId(value);
        return value;
    }
    return std::nullopt;
}

TrayApplication::TrayApplication(UiContext ui, QObject* parent) : QObject(parent), m_ui(ui) {
    m_router = std::make_unique<WindowRouter>(m_ui);
    m_ui.router = m_router.get();
    registerWindowContents(*m_router);
    m_panel = std::make_unique<Panel>(m_ui);
    connect(m_panel.get(), &Panel::quitRequested, this, &TrayApplication::quit);

    m_menu = std::make_unique<QMenu>();
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_updateAction = m_menu->addAction(QString());
    m_openAction = m_menu->addAction(QString());
    m_menu->addSeparator();
    m_quitAction = m_menu->addAction(QString());
    update::UpdateDialog::showChecksOf(*m_ui.updater);
    connect(m_updateAction, &QAction::triggered, m_ui.updater,
            &update::UpdaterViewModel::checkForUpdates);
    connect(m_openAction, &QAction::triggered, this, &TrayApplication::openPanel);
    connect(m_quitAction, &QAction::triggered, this, &TrayApplication::quit);
    m_updateAction->setEnabled(m_ui.updater->canCheckForUpdates());
    connect(m_ui.updater, &update::UpdaterViewModel::canCheckForUpdatesChanged, m_updateAction,
            &QAction::setEnabled);

    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu.get());
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                    togglePanel();
            });

    connect(m_ui.state, &app::AppState::volumesChanged, this, &TrayApplication::refreshIcon);
    // A new theme: the icon is drawn again in its text colour.
    qApp->installEventFilter(this);
    connect(m_ui.localizer, &app::Localizer::languageChanged, this, &TrayApplication::retranslate);
    m_ui.state->setShowLogHandler([router = m_router.get()] { router->showWindow(logWindow); });

    m_trayCheck.setInterval(trayCheckMs);
    connect(&m_trayCheck, &QTimer::timeout, this, &TrayApplication::checkTray);
    retranslate();
    refreshIcon();
}

TrayApplication::~TrayApplication() {
    m_ui.state->setShowLogHandler({});
    // The menu outlives the icon that shows it.
    delete m_tray;
}

bool TrayApplication::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        m_tray->setIcon(QIcon());
        refreshIcon();
    }
    return false;
}

void TrayApplication::start() {
    checkTray();
    m_trayCheck.start();
    if (!m_trayAvailable) {
        // Tray hosts often start after the applications of a session: give one a moment before
        // the panel opens as a window of its own (unless the launch asked for a window).
        QTimer::singleShot(trayGraceMs, this, [this] {
            if (!m_trayAvailable && !m_windowRequested && !m_panel->isVisible())
                show(panelRequest);
        });
    }
}

void TrayApplication::checkTray() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available == m_trayAvailable && (!available || m_tray->isVisible()))
        return;
    m_trayAvailable = available;
    if (available) {
        const TrayHost host = announcedTrayHost();
        if (host != m_host) {
            m_host = host;
            m_tray->setIcon(QIcon());
            refreshIcon();
        }
        // Shown again, so that a host that came late embeds it.
        m_tray->hide();
        m_tray->show();
    }
    if (!m_panel->isVisible())
        m_panel->setPopup(available);
}

void TrayApplication::refreshIcon() {
    const std::vector<const VolumeInfo*> running = runningVolumes(m_ui.state->volumes());
    const bool busy = !running.empty();
    const bool changed = busy != m_busy;
    m_busy = busy;
    if (changed || m_tray->icon().isNull())
        m_tray->setIcon(
            ui::trayIcon(busy, m_host, QGuiApplication::palette().color(QPalette::WindowText)));
    m_tray->setToolTip(toolTip());
}

QString TrayApplication::toolTip() const {
    QString tip = QStringLiteral("Keelbox");
    QStringList names;
    for (const VolumeInfo* volume : runningVolumes(m_ui.state->volumes()))
        names << shownName(volume->name);
    if (!names.isEmpty())
        tip += QLatin1Char('\n') +
               m_ui.localizer->qtext("tray.backingUp",
                                     {names.join(QStringLiteral(", ")).toStdString()});
    return tip;
}

void TrayApplication::retranslate() {
    m_updateAction->setText(m_ui.localizer->qtext("update.checkNow"));
    m_openAction->setText(m_ui.localizer->qtext("tray.openPanel"));
    m_quitAction->setText(m_ui.localizer->qtext("menu.quit"));
    m_tray->setToolTip(toolTip());
}

void TrayApplication::togglePanel() {
    // A second click on the icon closes the panel: focus loss alone is not reliable everywhere.
    // Where it is, that click has closed the panel already by taking the focus.
    if (m_panel->isVisible() && m_panel->isPopup())
        m_panel->hide();
    else if (!m_panel->closedByFocusLossJustNow())
        openPanel();
}

void TrayApplication::openPanel() {
    m_panel->setPopup(m_trayAvailable);
    m_panel->fitToContent();
    std::optional<QPoint> position;
    if (m_trayAvailable) {
        QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        std::optional<QPoint> pointer;
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            pointer = QCursor::pos();
        position = panelPosition(m_panel->size(), screen->availableGeometry(), m_tray->geometry(),
                                 pointer);
    }
    m_panel->open(position);
}

void TrayApplication::show(const QString& what, const QString& activationToken) {
    if (!activationToken.isEmpty())
        m_router->setActivationToken(activationToken);
    if (isWindowId(what)) {
        // A launch that opened a window has made the application usable without the panel.
        m_windowRequested = true;
        m_router->showWindow(what);
        return;
    }
    // A plain second launch shows the panel: on a desktop without a tray it is the only way in.
    if (!m_trayAvailable)
        m_panel->setPopup(false);
    openPanel();
}

void TrayApplication::quit() {
    // Quitting does not wait for a running backup: it stops after its current file.
    m_ui.state->stopBackups();
    QCoreApplication::quit();
}

namespace {

// Without a display a window can still be asked of an instance running on one.
int requestFromInstance(int argc, char** argv, const QString& what, const QString& token) {
    QCoreApplication core(argc, argv);
    app::SingleInstance instance(app::userRuntimeDir());
    instance.setRequest(what, token);
    if (instance.claim() == app::SingleInstance::Claim::handedOver)
        return exitOk;
    std::cerr << "keelbox: " << app::Localizer::shared().text("app.err.noDisplay") << std::endl;
    return exitIssues;
}

// The names and the icon the desktop knows the application by; it lives on in the tray.
void nameApplication() {
    QApplication::setApplicationName(QStringLiteral("keelbox"));
    // No display name: Qt would append it to every window title ("Keelbox Log — Keelbox"); the
    // titles are exactly what each window declares.
    QApplication::setOrganizationName(QStringLiteral("keelbox"));
    QApplication::setDesktopFileName(QStringLiteral("keelbox"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(applicationIcon());
}

} // namespace

int runTrayApplication(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    bool badShow = false;
    const std::optional<QString> what = showArgument(arguments, &badShow);
    if (badShow) {
        std::cerr << "keelbox: " << app::Localizer::shared().text("app.err.show") << std::endl;
        return exitUsage;
    }
    const QString token =
        qEnvironmentVariable("XDG_ACTIVATION_TOKEN", qEnvironmentVariable("DESKTOP_STARTUP_ID"));
    const bool display = qEnvironmentVariableIsSet("DISPLAY") ||
                         qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
                         qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    if (!display && !what)
        return app::runApplication(argc, argv); // the state without a face, on a text console
    if (!display)
        return requestFromInstance(argc, argv, *what, token);

    QApplication application(argc, argv);
    nameApplication();

    app::SingleInstance instance(app::userRuntimeDir());
    instance.setRequest(what.value_or(QString()), token);
    switch (instance.claim()) {
    case app::SingleInstance::Claim::primary:
        break;
    case app::SingleInstance::Claim::handedOver:
        return exitOk;
    case app::SingleInstance::Claim::failed:
        std::cerr << instance.errorString().toStdString() << std::endl;
        return exitIssues;
    }
    // Our own launch's token is used up; windows opened later must not reuse it.
    qunsetenv("XDG_ACTIVATION_TOKEN");
    qunsetenv("DESKTOP_STARTUP_ID");

    app::AppState& state = app::AppState::shared();
    update::UpdaterViewModel& updater = update::UpdaterViewModel::shared();
    // Qt's translations and the desktop's colour scheme, before the first window is made.
    Appearance appearance(state.localizer(), true);
    TrayApplication tray({&state, &state.localizer(), &updater, nullptr});
    QObject::connect(&instance, &app::SingleInstance::showRequested, &tray,
                     [&tray](const QString& request, const QString& activation) {
                         tray.show(request, activation);
                     });
    tray.start();
    if (what)
        QTimer::singleShot(0, &tray,
                           [&tray, request = *what, token] { tray.show(request, token); });

    // The log goes nowhere on a desktop; the console only serves the termination handling.
    std::ostream quiet(nullptr);
    app::Console console(state, quiet);
    return app::runSession(state, console);
}

} // namespace keelbox::ui
