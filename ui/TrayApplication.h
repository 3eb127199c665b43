#pragma once
// The tray application: the status icon with its menu and panel, the window router, and the
// requests of later launches (`keelbox`, `keelbox --show log`). Where the desktop has no tray,
// the panel is a normal window, and the icon appears as soon as a tray host does.

#include "core/Records.h"
#include "ui/Icons.h"
#include "ui/Panel.h"
#include "ui/WindowRouter.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace keelbox::ui {

class TrayApplication : public QObject {
    Q_OBJECT

public:
    // `ui.router` is ignored: the application has its own router.
    explicit TrayApplication(UiContext ui, QObject* parent = nullptr);
    ~TrayApplication() override;

    // Shows the icon, or the panel as a window after a grace period when no tray shows up.
    void start();
    // A launch asked for `what` ("panel", a window identifier, or empty for the usual activation).
    void show(const QString& what, const QString& activationToken = {});

    Panel* panel() const { return m_panel.get(); }
    WindowRouter* router() const { return m_router.get(); }
    QString toolTip() const;

    // How often the tray host is looked for, and how long a start without one waits for it.
    static constexpr int trayCheckMs = 2000;
    static constexpr int trayGraceMs = 4000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void checkTray();
    void refreshIcon();
    void retranslate();
    void togglePanel();
    void openPanel();
    void quit();

    UiContext m_ui;
    std::unique_ptr<WindowRouter> m_router;
    std::unique_ptr<Panel> m_panel;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon* m_tray = nullptr;
    QAction* m_updateAction = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_quitAction = nullptr;
    QTimer m_trayCheck;
    TrayHost m_host = TrayHost::drawsAsIs;
    bool m_trayAvailable = false;
    bool m_busy = false;
    bool m_windowRequested = false;
};

// Drives that are being backed up (queued ones included), in list order.
std::vector<const VolumeInfo*> runningVolumes(const std::vector<VolumeInfo>& volumes);

// The argument of `--show` (`--show log` or `--show=log`); nullopt without one. `error` is set
// when the value names nothing that can be shown.
std::optional<QString> showArgument(const QStringList& arguments, bool* error);

// `keelbox` without arguments on a desktop; returns the exit status.
int runTrayApplication(int argc, char** argv);

} // namespace keelbox::ui
