// Draws the panel in its typical states on the application state's stand-ins, for the README's
// screenshots and for timing how fast the panel opens.
//
//   keelbox_ui_tool screenshots DIR [DESKTOP-THEME]
//   panel-{empty,configured,running,failed}-{en,pl}-{light,dark}.png and
//   window-{config,settings,log,help}-{en,pl}-{light,dark}.png; with DESKTOP-THEME, one set in
//   the palette the desktop gave Qt, named DESKTOP-THEME instead of light and dark
//   keelbox_ui_tool panel-timing
//   milliseconds from the open request to the panel drawn
//   keelbox_ui_tool tray-path MOUNTPOINT
//   the real application with its panel open: prints the wall-clock time (ns since the epoch)
//   at which the row of the drive mounted there was drawn listed, with its first progress, done

#include "../tests/app/Fakes.h"
#include "ui/Panel.h"
#include "ui/Style.h"
#include "ui/TrayApplication.h"
#include "ui/windows/ConfigWindow.h"
#include "ui/windows/HelpWindow.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/SettingsView.h"
#include "update/UpdaterViewModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;

namespace {

// The application on stand-ins, with the drives and log of one of the panel's states.
struct Scene {
    explicit Scene(const std::string& language, const QString& state)
        : harness(std::vector<std::string>{language}) {
        const bool english = language == "en";
        if (state != u"empty"_s) {
            harness.addDrive(u"PHOTOS"_s, testConfig("PHOTOS", false, BackupMode::dated));
            harness.addDrive(u"KINGSTON"_s);
        }
        harness.engine.hold = state == u"running"_s;
        if (state == u"failed"_s)
            harness.engine.makeResult = [](const DriveConfig&, AppLanguage runLanguage) {
                BackupResult result;
                result.filesCopied = 118;
                result.errors = {
                    BackupIssue{"DCIM/IMG_0042.JPG",
                                keelbox::localizedText("engine.noPerm", runLanguage),
                                "Permission denied (EACCES)",
                                keelbox::localizedText("engine.noPermHint", runLanguage)},
                    BackupIssue{"DCIM/IMG_0043.JPG",
                                keelbox::localizedText("engine.io", runLanguage),
                                "Input/output error (EIO)",
                                keelbox::localizedText("engine.ioHint", runLanguage)},
                    BackupIssue{
                        "", keelbox::localizedText("engine.pruneFail", runLanguage), "", {}}};
                return result;
            };
        AppState& app = harness.started();
        if (state != u"empty"_s) {
            app.appendLog(makeLogEntry(english ? "KINGSTON connected" : "Podłączono KINGSTON"));
            app.appendLog(makeLogEntry(english ? "PHOTOS connected" : "Podłączono PHOTOS"));
        }
        std::string photos;
        for (const VolumeInfo& volume : app.volumes())
            if (volume.isConfigured())
                photos = volume.id;
        if (state == u"running"_s) {
            app.startBackup(photos);
            harness.engine.waitForCalls(1);
            app.applyProgress(photos, BackupProgress{412, 1204, 1'930'000'000, 5'640'000'000,
                                                     "DCIM/100CANON/IMG_2041.CR3"});
        } else if (state == u"failed"_s) {
            app.startBackup(photos);
            settles(app);
        }
        tray = std::make_unique<ui::TrayApplication>(
            ui::UiContext{&app, harness.localizer.get(), &updater, nullptr});
    }

    static LogEntry makeLogEntry(std::string message) {
        LogEntry entry;
        entry.message = std::move(message);
        return entry;
    }

    Harness harness;
    update::UpdaterViewModel updater;
    std::unique_ptr<ui::TrayApplication> tray;
};

bool save(QWidget& window, const QString& file) {
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
    QTest::qWait(100);
    if (!window.grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

// The four windows after a failed backup of PHOTOS: window-{config,settings,log,help}-LANG-THEME.
bool windowScreenshots(const QString& folder, const std::string& language, const QString& theme) {
    Scene scene(language, u"failed"_s);
    AppState& state = *scene.harness.state;
    for (const VolumeInfo& volume : state.volumes())
        if (volume.isConfigured())
            state.setEditingVolumeID(volume.id);
    scene.updater.foundUpdate(u"0.2.0"_s);
    const QString suffix = u"-%1-%2.png"_s.arg(QString::fromStdString(language), theme);
    ui::ConfigWindow config(state, *scene.harness.localizer, {});
    ui::SettingsView settings(state, *scene.harness.localizer, scene.updater);
    ui::LogWindow log(state, *scene.harness.localizer);
    ui::HelpWindow help(*scene.harness.localizer);
    return save(config, folder + u"/window-config"_s + suffix) &&
           save(settings, folder + u"/window-settings"_s + suffix) &&
           save(log, folder + u"/window-log"_s + suffix) &&
           save(help, folder + u"/window-help"_s + suffix);
}

// `desktopTheme` names the set drawn in the palette the desktop gave Qt (a KDE colour scheme,
// say); without it, the light and dark sets.
int screenshots(const QString& folder, const QString& desktopTheme) {
    QDir().mkpath(folder);
    const QPalette light = QApplication::style()->standardPalette();
    std::vector<std::pair<QString, QPalette>> themes{{u"light"_s, light},
                                                     {u"dark"_s, ui::darkPalette()}};
    if (!desktopTheme.isEmpty())
        themes = {{desktopTheme, QApplication::palette()}};
    for (const auto& [theme, palette] : themes) {
        QApplication::setPalette(palette);
        for (const std::string language : {"en", "pl"})
            for (const QString& state : {u"empty"_s, u"configured"_s, u"running"_s, u"failed"_s}) {
                Scene scene(language, state);
                ui::Panel& panel = *scene.tray->panel();
                panel.open(QPoint(40, 40));
                (void)QTest::qWaitForWindowExposed(&panel);
                QTest::qWait(100);
                const QString file = u"%1/panel-%2-%3-%4.png"_s.arg(
                    folder, state, QString::fromStdString(language), theme);
                if (!panel.grab().save(file)) {
                    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                    return 1;
                }
                std::printf("%s\n", qPrintable(file));
            }
        for (const std::string language : {"en", "pl"})
            if (!windowScreenshots(folder, language, theme))
                return 1;
    }
    return 0;
}

int panelTiming() {
    Scene scene("en", u"configured"_s);
    ui::Panel& panel = *scene.tray->panel();
    // Drawn = the panel's paint event has run and the event queue is empty again.
    struct PaintWatch : QObject {
        bool painted = false;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                painted = true;
            return false;
        }
    } watch;
    panel.installEventFilter(&watch);
    std::vector<double> times;
    for (int i = 0; i < 21; ++i) {
        watch.painted = false;
        QElapsedTimer clock;
        clock.start();
        scene.tray->show(u"panel"_s);
        while (!watch.painted)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
        times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        panel.hide();
        QTest::qWait(50);
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    std::printf("panel drawn after the open request: first %.1f ms, median %.1f ms, worst %.1f ms "
                "(%zu opens, %s)\n",
                first, times[times.size() / 2], times.back(), times.size(),
                qPrintable(QGuiApplication::platformName()));
    return 0;
}

// What a user sees of an automatic backup: the real application state, volume monitor and engine,
// with the panel open. Each moment is taken once the event loop has drawn what changed.
int trayPath(const QString& mountPoint) {
    AppState& state = AppState::shared();
    update::UpdaterViewModel& updater = update::UpdaterViewModel::shared();
    ui::TrayApplication tray({&state, &state.localizer(), &updater, nullptr});
    tray.start();
    tray.show(u"panel"_s);
    const std::string id = mountPoint.toStdString();
    bool listed = false, progressed = false, done = false;
    const auto mark = [](const char* what) {
        QTimer::singleShot(0, [what] {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            std::printf("%s %lld\n", what, static_cast<long long>(ns.count()));
            std::fflush(stdout);
        });
    };
    QObject::connect(&state, &AppState::volumesChanged, [&] {
        for (const VolumeInfo& volume : state.volumes()) {
            if (volume.id != id)
                continue;
            if (!listed)
                mark("listed");
            const bool now = volume.progress &&
                             (volume.progress->filesTotal > 0 || volume.progress->filesDone > 0);
            if (!progressed && now)
                mark("progress");
            // The run over: its progress leaves the row for the outcome.
            if (progressed && !volume.progress && !done) {
                done = true;
                mark("done");
                QTimer::singleShot(10, [] { QCoreApplication::quit(); });
            }
            listed = true;
            progressed = progressed || now;
        }
    });
    state.start();
    std::printf("ready\n");
    std::fflush(stdout);
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(u"Fusion"_s));
    const QStringList args = QApplication::arguments();
    if (args.value(1) == u"screenshots"_s && (args.size() == 3 || args.size() == 4))
        return screenshots(args[2], args.value(3));
    if (args.value(1) == u"panel-timing"_s)
        return panelTiming();
    if (args.value(1) == u"tray-path"_s && args.size() == 3)
        return trayPath(args[2]);
    std::fprintf(stderr, "usage: keelbox_ui_tool screenshots DIR [DESKTOP-THEME] | panel-timing | "
                         "tray-path MOUNTPOINT\n");
    return 2;
}
