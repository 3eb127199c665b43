// The panel, its drive rows, the tray application and the configuration, settings, log and help
// windows on the application state's fakes, drawn offscreen, with drives as real folders.

#include "../app/Fakes.h"
#include "ui/Icons.h"
#include "ui/Panel.h"
#include "ui/Style.h"
#include "ui/TrayApplication.h"
#include "ui/VolumeRow.h"
#include "ui/Widgets.h"
#include "ui/WindowRouter.h"
#include "ui/windows/ConfigWindow.h"
#include "ui/windows/HelpWindow.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/SettingsView.h"
#include "update/UpdaterViewModel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;
using namespace keelbox::ui;
namespace fs = std::filesystem;

namespace {

// Every text a user or a screen reader meets in `root`, hidden widgets included.
QStringList visibleTexts(const QWidget& root) {
    QStringList texts{root.windowTitle()};
    for (QWidget* widget : root.findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(widget))
            texts << label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            texts << button->text();
        else if (auto* elided = qobject_cast<ElidedLabel*>(widget))
            texts << elided->text();
        else if (auto* box = qobject_cast<QGroupBox*>(widget))
            texts << box->title();
        texts << widget->toolTip() << widget->accessibleName();
    }
    texts.removeIf([](const QString& t) { return t.trimmed().isEmpty(); });
    return texts;
}

template <class Widget = QPushButton>
Widget* withText(const QWidget& window, const QString& start) {
    for (Widget* candidate : window.findChildren<Widget*>())
        if (candidate->text().startsWith(start))
            return candidate;
    return nullptr;
}

// A failure entry with `issues` issues; every third has neither path nor system message, every
// other one no hint.
LogEntry failureWith(int issues) {
    LogEntry entry;
    entry.volume = "STICK";
    entry.message = "Zakończono z błędami";
    entry.kind = LogEntry::Kind::failure;
    for (int i = 0; i < issues; ++i) {
        const bool bare = i % 3 == 2;
        entry.details.push_back({bare ? "" : "Docs/f" + std::to_string(i),
                                 "reason" + std::to_string(i), bare ? "" : "EIO",
                                 i % 2 ? std::nullopt : std::optional<std::string>("hint")});
    }
    return entry;
}

// Panels that answer what the test queued, and remember what they were asked.
struct ScriptedPanels {
    std::deque<std::optional<std::vector<fs::path>>> items;
    std::deque<std::optional<fs::path>> folders;
    std::vector<FilePanelRequest> requests;

    ConfigPanels panels() {
        const auto answer = [this](auto& answers, const FilePanelRequest& request) {
            requests.push_back(request);
            auto next = answers.front();
            answers.pop_front();
            return next;
        };
        return {[=, this](QWidget*, const FilePanelRequest& r) { return answer(items, r); },
                [=, this](QWidget*, const FilePanelRequest& r) { return answer(folders, r); }};
    }
};

std::vector<std::string> sourcePaths(const ConfigWindow& window) {
    std::vector<std::string> paths;
    for (const SourceItem& source : window.draft().draft.sources)
        paths.push_back(source.relativePath);
    return paths;
}

// A started harness editing the drive STICK, which holds Docs/a.txt and Pics, and a folder outside
// it with x.txt and a link to the drive's Docs.
struct Editing {
    Harness h;
    MountedVolume volume = h.addDrive(u"STICK"_s);
    fs::path root = volume.mountPath.toStdString();
    fs::path outside = h.dir.filePath(u"elsewhere"_s).toStdString();
    AppState& state = h.started();
    Editing() {
        fs::create_directories(root / "Docs");
        fs::create_directories(root / "Pics");
        std::ofstream(root / "Docs/a.txt") << "a";
        fs::create_directories(outside);
        std::ofstream(outside / "x.txt") << "x";
        fs::create_directory_symlink(root / "Docs", outside / "link-to-docs");
        state.setEditingVolumeID(h.idOf(volume));
    }
};

// The application with the fakes, a panel and a router.
struct Ui {
    Harness harness;
    update::UpdaterViewModel updater;
    std::unique_ptr<TrayApplication> tray;

    AppState& start() {
        harness.started();
        tray = std::make_unique<TrayApplication>(
            UiContext{harness.state.get(), harness.localizer.get(), &updater, nullptr});
        return *harness.state;
    }
    Panel& panel() { return *tray->panel(); }
    VolumeRow* row(int i) { return panel().rows().value(i); }
};

} // namespace

class UiTest : public QObject {
    Q_OBJECT

private slots:
    void panelSections_data();
    void panelSections();
    void rowStatus_data();
    void rowStatus();
    void rowEnabledStatesFollowTheBackup();
    void languageSwitchChangesEveryText();
    void windowsOpenOnceAndConfigureFollowsTheDrive();
    void trayIconAndRequestsWithoutATray();
    void panelPosition_data();
    void panelPosition();
    void showArgument_data();
    void showArgument();
    void iconsAndColours();
    void qtDialogTakesFilesAndFolders();
    void addingSources_data();
    void addingSources();
    void editorControlsAndShortcuts();
    void destination_data();
    void destination();
    void draftFollowsTheDrive();
    void logRows_data();
    void logRows();
    void settingsSwitchesAndLoginRefusal();
    void settingsUpdateRow_data();
    void settingsUpdateRow();
};

void UiTest::panelSections_data() {
    QTest::addColumn<int>("drives");
    QTest::addColumn<int>("logEntries");
    QTest::addColumn<bool>("updateAvailable");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("updateText"); // empty: no update line

    QTest::newRow("empty") << 0 << 0 << false << QString() << QString();
    QTest::newRow("version without update") << 1 << 2 << false << u"2.0"_s << QString();
    QTest::newRow("update") << 2 << 5 << true << u"1.4.2"_s << u"Update 1.4.2 available"_s;
}

void UiTest::panelSections() {
    QFETCH(int, drives);
    QFETCH(int, logEntries);
    QFETCH(bool, updateAvailable);
    QFETCH(QString, version);
    QFETCH(QString, updateText);

    Ui ui;
    for (int i = 0; i < drives; ++i)
        ui.harness.addDrive(u"STICK%1"_s.arg(i));
    AppState& state = ui.start();
    // The log is newest first: entry 0 is the last appended.
    for (int i = 0; i < logEntries; ++i) {
        LogEntry entry = failureWith(0);
        entry.message = "entry " + std::to_string(i);
        state.appendLog(entry);
    }
    if (updateAvailable)
        ui.updater.foundUpdate(version);
    Panel& panel = ui.panel();
    panel.open();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));

    QCOMPARE(panel.rows().size(), drives);
    QCOMPARE(panel.emptyLine()->isVisible(), drives == 0);
    // Toggle, dividers and footer stay whatever is listed.
    QVERIFY(panel.autoBackupBox()->isVisible() && panel.quitButton()->isVisible());
    for (QWidget* line : panel.dividers())
        QVERIFY(line->isVisible());
    QCOMPARE(panel.updateLine()->isVisible(), !updateText.isEmpty());
    if (!updateText.isEmpty())
        QCOMPARE(panel.updateLine()->text(), updateText);

    QCOMPARE(panel.recentBlock()->isVisible(), logEntries > 0);
    QStringList recent;
    for (ElidedLabel* line : panel.recentLines())
        recent << line->text();
    QStringList newest;
    for (int i = logEntries - 1; i >= std::max(0, logEntries - 3); --i)
        newest << u"entry %1"_s.arg(i);
    QCOMPARE(recent, newest);
}

void UiTest::rowStatus_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("progress"); // 7 of 9 files, 999 of 1000 bytes
    QTest::addColumn<QString>("currentFile");
    using K = BackupStatus::Kind;
    const auto row = [](const char* tag, K kind, const QString& status, bool progress = false,
                        const QString& file = {}) {
        QTest::newRow(tag) << int(kind) << status << progress << file;
    };
    row("not configured", K::idle, u"Not configured"_s);
    row("ready sync", K::configured, u"Ready • sync"_s);
    row("preparing", K::running, u"Preparing…"_s);
    row("copying", K::running, u"Backing up… 99%"_s, true, u"DCIM/a.jpg"_s);
    row("last snapshot", K::running, u"Backing up… 99%"_s, true);
    row("done", K::done, u"✓ 3 files copied"_s);
    row("failed", K::failed, u"✗ 2 errors"_s);
}

void UiTest::rowStatus() {
    QFETCH(int, kind);
    QFETCH(QString, status);
    QFETCH(bool, progress);
    QFETCH(QString, currentFile);
    const bool configured = BackupStatus::Kind(kind) != BackupStatus::Kind::idle;

    Ui ui;
    ui.start();
    VolumeInfo volume;
    volume.id = "/media/STICK";
    volume.name = "STICK";
    if (configured)
        volume.config = testConfig("STICK", false);
    const std::string message = status.size() > 2 ? status.mid(2).toStdString() : std::string();
    volume.status = {BackupStatus::Kind(kind), message};
    if (progress)
        volume.progress = BackupProgress{7, 9, 999, 1000, currentFile.toStdString()};
    VolumeRow row(ui.tray->router()->context(), {});
    row.setVolume(volume);
    row.show();

    QCOMPARE(row.statusText(), status);
    QCOMPARE(row.configureButton()->text(), configured ? u"Configure…"_s : u"Set up…"_s);
    QCOMPARE(row.backupButton()->isEnabled(), configured);
    QCOMPARE(row.progressBlock()->isVisible(), progress);
    QCOMPARE(row.scanningBlock()->isVisible(), status == u"Preparing…"_s);
    if (progress) {
        QCOMPARE(row.progressBar()->value(), 999);
        QCOMPARE(row.filesLabel()->text(), u"7/9 files • 99%"_s);
        QCOMPARE(row.bytesLabel()->text(), u"999 bytes / 1.0 kB"_s);
        QCOMPARE(row.currentFileLabel()->isVisible(), !currentFile.isEmpty());
    }
    if (BackupStatus::Kind(kind) == BackupStatus::Kind::failed) {
        QVERIFY(row.failedButton()->isVisible());
        row.failedButton()->click();
        QTRY_VERIFY(ui.tray->router()->window(logWindow) &&
                    ui.tray->router()->window(logWindow)->isVisible());
    }
}

void UiTest::rowEnabledStatesFollowTheBackup() {
    Ui ui;
    ui.harness.addDrive(u"PLAIN"_s);
    ui.harness.addDrive(u"CONF"_s, testConfig("CONF", false));
    ui.harness.engine.hold = true;
    ui.harness.engine.progress = {BackupProgress{1, 2, 10, 20, "a.txt"}};
    AppState& state = ui.start();
    QTRY_COMPARE(ui.panel().rows().size(), 2);
    VolumeRow* conf = ui.row(0);
    VolumeRow* plain = ui.row(1);
    QCOMPARE(conf->volume().name, "CONF");

    // Configure, back up and eject: configure stays enabled, the others only while idle.
    const auto enabled = [](VolumeRow* row) {
        return std::tuple(row->configureButton()->isEnabled(), row->backupButton()->isEnabled(),
                          row->ejectButton()->isEnabled());
    };
    QCOMPARE(enabled(conf), std::tuple(true, true, true));
    QCOMPARE(enabled(plain), std::tuple(true, false, true));
    QSignalSpy icon(ui.tray.get(), &TrayApplication::iconChanged);
    conf->backupButton()->click();
    QVERIFY(ui.harness.engine.waitForCalls(1));
    QCOMPARE(conf->statusText(), u"Preparing…"_s);
    QCOMPARE(enabled(conf), std::tuple(true, false, false));
    QCOMPARE(enabled(plain), std::tuple(true, false, true));
    QVERIFY(ui.tray->busy());
    QVERIFY(ui.tray->toolTip().contains(u"Backing up CONF"_s));
    ui.harness.engine.release();
    QVERIFY(settles(state));
    QCOMPARE(enabled(conf), std::tuple(true, true, true));
    QCOMPARE(icon.count(), 2); // busy, then idle
    QVERIFY(!ui.tray->busy());
    QCOMPARE(ui.tray->toolTip(), u"Keelbox"_s);
}

void UiTest::languageSwitchChangesEveryText() {
    Ui ui;
    const MountedVolume stick = ui.harness.addDrive(u"STICK"_s, testConfig("STICK", false));
    ui.harness.addDrive(u"OTHER"_s);
    AppState& state = ui.start();
    state.setEditingVolumeID(ui.harness.idOf(stick));
    state.appendLog(failureWith(101));
    ui.updater.foundUpdate(u"2.0"_s);
    app::Localizer& localizer = *ui.harness.localizer;
    SettingsView settings(state, localizer, ui.updater);
    HelpWindow help(localizer);
    ConfigWindow config(state, localizer, {});
    LogWindow log(state, localizer);
    ui.panel().open();
    const std::vector<QWidget*> windows{&ui.panel(), &settings, &help, &config, &log};
    for (QWidget* window : windows) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    // A log list out of sight is written in the new language only once it is shown.
    auto* tabs = settings.findChild<QTabWidget*>();
    tabs->setCurrentIndex(1);
    // Texts that are data, not interface (names, paths, capacities, logged messages, the languages,
    // links, shortcuts) or Qt's own.
    const QStringList data{u"Keelbox"_s,     u"STICK"_s,        u"OTHER"_s,
                           u"Polski"_s,      u"English"_s,      u"Zakończono z błędami"_s,
                           u"Scroll Left"_s, u"Scroll Right"_s, u"Keelbox contributors"_s};
    const auto interfaceTexts = [&] {
        QStringList texts;
        for (QWidget* window : windows)
            texts << visibleTexts(*window);
        for (QAction* action : ui.tray->menu()->actions())
            if (!action->isSeparator())
                texts << action->text();
        texts.removeIf([&](const QString& t) {
            return data.contains(t) || t.contains(u"GB"_s) || t.startsWith(u"STICK • "_s) ||
                   t.startsWith(u"<a "_s) || t.startsWith(u"/"_s) || t.startsWith(u"Ctrl+"_s);
        });
        return texts;
    };
    const QStringList english = interfaceTexts();
    withText(settings, u"Polski"_s)->click(); // through the segmented control
    QCOMPARE(localizer.language(), AppLanguage::polish);
    const QStringList polish = interfaceTexts();
    QCOMPARE(polish.size(), english.size());
    QVERIFY(english.contains(u"Automatic backup on connect"_s));
    for (const QString& text : polish)
        QVERIFY2(!english.contains(text), qPrintable(u"\""_s + text + u"\" was not translated"_s));
    QCOMPARE(config.windowTitle(), u"STICK"_s);

    // The longer Polish texts wrap and are never cut.
    tabs->setCurrentIndex(0);
    QCoreApplication::processEvents();
    for (QWidget* window : windows) {
        for (const QLabel* label : window->findChildren<QLabel*>()) {
            if (label->wordWrap() && label->isVisible())
                QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                         qPrintable(label->text()));
        }
    }
    // The log's rows are written again; the texts it stored stay as they were.
    const QString logText = log.list()->document()->toPlainText();
    QVERIFY(logText.contains(u"Szczegóły błędów (101):"_s) && logText.contains(u"reason0"_s));
    QVERIFY(logText.contains(u"…i 1 więcej problemów"_s));
}

void UiTest::windowsOpenOnceAndConfigureFollowsTheDrive() {
    Ui ui;
    ui.harness.addDrive(u"FIRST"_s);
    ui.harness.addDrive(u"SECOND"_s);
    AppState& state = ui.start();
    WindowRouter& router = *ui.tray->router();
    QSignalSpy shown(&router, &WindowRouter::windowShown);
    ui.panel().open();
    ui.panel().helpButton()->click();
    QTRY_COMPARE(shown.count(), 1);
    QWidget* help = router.window(helpWindow);
    help->close();
    ui.panel().helpButton()->click();
    QTRY_COMPARE(shown.count(), 2);
    QCOMPARE(router.window(helpWindow), help);
    QVERIFY(help->isVisible());
    // The content replaces the declared title with its own, in the current language.
    QCOMPARE(help->windowTitle(), u"Keelbox Help"_s);

    // Configure on one drive, then on the other: one configuration window, following the choice.
    for (int i : {0, 1}) {
        ui.row(i)->configureButton()->click();
        QCOMPARE(state.editingVolumeID(), ui.row(i)->volume().id);
    }
    QTRY_COMPARE(shown.count(), 4);
    for (const QString& id : {helpWindow, configWindow}) {
        const QWidgetList all = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(all.begin(), all.end(),
                               [&](QWidget* w) { return w->objectName() == id + u"Window"_s; }),
                 1);
    }
    router.showWindow(u"nonsense"_s);
    QVERIFY(!router.window(u"nonsense"_s));
}

void UiTest::trayIconAndRequestsWithoutATray() {
    Ui ui;
    ui.start();
    TrayApplication& tray = *ui.tray;
    tray.start();
    // Offscreen there is no tray. (The tray menu and `--show` are checked on a real display,
    // tests/integration.)
    QVERIFY(!tray.trayAvailable());
    tray.show(u"settings"_s);
    QVERIFY(!tray.panel()->isVisible());
    // A second launch without a tray shows the panel as a window that stays on losing focus.
    tray.show(QString());
    QVERIFY(tray.panel()->isVisible());
    QVERIFY(!tray.panel()->isPopup());
    QVERIFY(!(tray.panel()->windowFlags() & Qt::FramelessWindowHint));
}

void UiTest::panelPosition_data() {
    QTest::addColumn<QRect>("icon");
    QTest::addColumn<QVariant>("pointer");
    QTest::addColumn<QPoint>("expected");

    // Screen 1920×1080 with a 32 px top panel; the panel is 380×300.
    QTest::newRow("below a top icon") << QRect(1800, 4, 24, 24) << QVariant() << QPoint(1540, 35);
    QTest::newRow("above a bottom icon")
        << QRect(100, 1060, 24, 20) << QVariant() << QPoint(100, 752);
    QTest::newRow("unknown place: at the pointer")
        << QRect() << QVariant(QPoint(1000, 10)) << QPoint(810, 32);
    QTest::newRow("reported at the origin: at the pointer")
        << QRect(0, 0, 22, 22) << QVariant(QPoint(300, 1070)) << QPoint(110, 762);
    QTest::newRow("nothing known: top right") << QRect() << QVariant() << QPoint(1531, 40);
}

void UiTest::panelPosition() {
    QFETCH(QRect, icon);
    QFETCH(QVariant, pointer);
    QFETCH(QPoint, expected);
    const QRect available(0, 32, 1920, 1048);
    const std::optional<QPoint> at =
        pointer.isValid() ? std::optional(pointer.toPoint()) : std::nullopt;
    QCOMPARE(ui::panelPosition(QSize(380, 300), available, icon, at), expected);
}

void UiTest::showArgument_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected"); // "-" for no --show at all
    QTest::addColumn<bool>("error");

    QTest::newRow("none") << QStringList{} << u"-"_s << false;
    QTest::newRow("panel") << QStringList{u"--show"_s, u"panel"_s} << u"panel"_s << false;
    QTest::newRow("joined") << QStringList{u"--show=log"_s} << u"log"_s << false;
    QTest::newRow("after a toolkit option")
        << QStringList{u"-platform"_s, u"xcb"_s, u"--show"_s, u"help"_s} << u"help"_s << false;
    QTest::newRow("missing value") << QStringList{u"--show"_s} << QString() << true;
    QTest::newRow("unknown") << QStringList{u"--show"_s, u"Log"_s} << u"Log"_s << true;
}

void UiTest::showArgument() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QFETCH(bool, error);
    bool failed = false;
    const std::optional<QString> what = ui::showArgument(arguments, &failed);
    QCOMPARE(what.value_or(u"-"_s), expected);
    QCOMPARE(failed, error);
}

void UiTest::iconsAndColours() {
    // Every symbol has a drawing of our own that loads and draws in the colour asked for.
    for (const IconMapping& mapping : iconMappings()) {
        const QImage image = bundledIcon(mapping.symbol, Qt::red).pixmap(QSize(32, 32)).toImage();
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (const QColor c = image.pixelColor(x, y); c.alpha() > 200) {
                    ++opaque;
                    QCOMPARE(c.rgb(), QColor(Qt::red).rgb());
                }
        QVERIFY2(opaque > 20, mapping.symbol.data());
    }
    QVERIFY(icon("no.such.symbol", QColor(Qt::black)).isNull());

    // The coloured texts stay readable on light and dark windows.
    for (const QColor window : {QColor(Qt::white), QColor(0xf6, 0xf5, 0xf4),
                                QColor(0x24, 0x24, 0x24), QColor(Qt::black)}) {
        QPalette palette;
        palette.setColor(QPalette::Window, window);
        for (Colour c : {Colour::green, Colour::red, Colour::orange, Colour::blue})
            QVERIFY2(contrastRatio(colour(c, palette), window) >= 4.5,
                     qPrintable(window.name() + u" "_s + colour(c, palette).name()));
    }
}

// The add panel is Qt's own file dialog made to accept folders too: pick a folder and a file in
// its list and press its accept button.
void UiTest::qtDialogTakesFilesAndFolders() {
    QTemporaryDir root;
    QDir(root.path()).mkpath(u"Docs"_s);
    std::ofstream(root.filePath(u"a.txt"_s).toStdString()) << "a";
    std::optional<std::vector<fs::path>> chosen;
    QString seen;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        auto* view = dialog ? dialog->findChild<QListView*>(u"listView"_s) : nullptr;
        if (!view)
            return;
        // The file system model fills the list from a thread of its own.
        if (!QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) == 2; })) {
            dialog->reject();
            return;
        }
        view->selectAll();
        auto* accept = dialog->findChild<QDialogButtonBox*>()->buttons().constFirst();
        seen = dialog->windowTitle() + u' ' + accept->text();
        accept->click();
    });
    chosen = ConfigPanels::desktop().chooseItems(nullptr,
                                                 {root.path().toStdString(), u"Add"_s, u"Pick"_s});
    QCOMPARE(seen, u"Pick Add"_s);
    QVERIFY(chosen);
    std::ranges::sort(*chosen);
    QCOMPARE(*chosen, (std::vector<fs::path>{root.filePath(u"Docs"_s).toStdString(),
                                             root.filePath(u"a.txt"_s).toStdString()}));
}

void UiTest::addingSources_data() {
    QTest::addColumn<QStringList>("batches"); // one panel per entry, items separated by "|"
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("error");
    // "@" is the drive's root, "!" the folder outside it.
    QTest::newRow("root is the whole drive, once")
        << QStringList{u"@"_s, u"@"_s} << QStringList{u""_s} << QString();
    QTest::newRow("folder and its file, then the folder again")
        << QStringList{u"@/Docs|@/Docs/a.txt"_s, u"@/Docs/"_s}
        << QStringList{u"Docs"_s, u"Docs/a.txt"_s} << QString();
    QTest::newRow("through a link into the drive")
        << QStringList{u"!/link-to-docs/a.txt"_s} << QStringList{u"Docs/a.txt"_s} << QString();
    QTest::newRow("outside rejected by name, the others added")
        << QStringList{u"@/Pics|!/x.txt|@/Docs"_s} << QStringList{u"Pics"_s, u"Docs"_s}
        << u"Item x.txt is not on this drive."_s;
    QTest::newRow("cancelled panel") << QStringList{u"cancel"_s} << QStringList{} << QString();
}

void UiTest::addingSources() {
    QFETCH(QStringList, batches);
    QFETCH(QStringList, expected);
    QFETCH(QString, error);
    Editing e;
    ScriptedPanels panels;
    for (const QString& batch : batches) {
        if (batch == u"cancel"_s) {
            panels.items.push_back(std::nullopt);
            continue;
        }
        std::vector<fs::path> items;
        for (QString item : batch.split(u'|')) {
            item.replace(u'@', QString::fromStdString(e.root.string()));
            item.replace(u'!', QString::fromStdString(e.outside.string()));
            items.emplace_back(item.toStdString());
        }
        panels.items.push_back(items);
    }
    ConfigWindow window(e.state, *e.h.localizer, panels.panels(), e.h.dir.path().toStdString());
    for (int i = 0; i < batches.size(); ++i)
        window.addSources();

    std::vector<std::string> wanted;
    for (const QString& path : expected)
        wanted.push_back(path.toStdString());
    QCOMPARE(sourcePaths(window), wanted);
    QCOMPARE(e.state.lastError().value_or(""), error.toStdString());
    QCOMPARE(panels.requests.front().startFolder, e.root);
    QStringList shown;
    for (const ElidedLabel* line : window.findChildren<ElidedLabel*>())
        shown << line->text();
    QCOMPARE(shown.contains(u"(whole drive)"_s), wanted == std::vector<std::string>{""});
}

void UiTest::editorControlsAndShortcuts() {
    Editing e;
    ScriptedPanels panels;
    panels.items.push_back(
        std::vector<fs::path>{e.root / "Docs", e.root / "Pics", e.root / "Docs/a.txt"});
    ConfigWindow window(e.state, *e.h.localizer, panels.panels());
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // Nothing to back up yet: Return does nothing.
    QTest::keyClick(&window, Qt::Key_Return);
    QVERIFY(window.isVisible());

    // The mirror switch and its warning belong to the sync mode.
    auto* mirror = window.findChildren<QCheckBox*>().at(1);
    QLabel* warning = withText<QLabel>(window, u"Warning:"_s);
    QVERIFY(mirror->isVisible() && !warning->isVisible());
    mirror->click();
    QVERIFY(warning->isVisible());
    auto radios = window.findChildren<QRadioButton*>();
    radios[1]->click(); // dated
    QVERIFY(!mirror->isVisible() && !warning->isVisible());
    QVERIFY(window.draft().draft.deleteRemovedFiles);
    radios[0]->click();
    QVERIFY(mirror->isVisible() && mirror->isChecked() && warning->isVisible());

    // A line's remove button takes only that line; Whole drive replaces them all.
    window.addSources();
    window.findChildren<QToolButton*>().at(1)->click();
    QCOMPARE(sourcePaths(window), (std::vector<std::string>{"Docs", "Docs/a.txt"}));
    withText(window, u"Whole drive"_s)->click();
    QCOMPARE(sourcePaths(window), std::vector<std::string>{""});

    // Ctrl+S saves and stays; Return, also from the destination field, saves, runs and closes.
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(fs::exists(e.root / ".keelbox.json"));
    QVERIFY(window.isVisible());
    QCOMPARE(e.h.engine.callCount(), 0u);
    window.findChild<QLineEdit*>()->setFocus();
    QTest::keyClick(window.findChild<QLineEdit*>(), Qt::Key_Return);
    QVERIFY(e.h.engine.waitForCalls(1));
    QCOMPARE(e.h.engine.call(0).config.sources.size(), 1u);
    QVERIFY(!window.isVisible());
    QVERIFY(settles(e.state));
}

void UiTest::destination_data() {
    QTest::addColumn<QString>("chosen"); // "~" is the home folder, "@" the drive, empty: cancel
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("warning");
    const QString trusted = u"Backups will refuse this folder"_s;
    QTest::newRow("in home") << u"~/Backups/Mine"_s << u"~/Backups/Mine"_s << QString();
    QTest::newRow("home itself") << u"~"_s << u"~"_s << QString();
    QTest::newRow("hidden folder") << u"~/.config"_s << u"~/.config"_s << trusted;
    QTest::newRow("disk not connected") << u"/mnt/GONE/copies"_s << u"/mnt/GONE/copies"_s
                                        << u"The backup folder is on the disk “GONE”"_s;
    QTest::newRow("on the drive") << u"@/copy"_s << u"@/copy"_s
                                  << u"This folder is on the drive itself"_s;
    QTest::newRow("cancelled") << QString() << u"~/Backups/Keelbox"_s << QString();
}

void UiTest::destination() {
    QFETCH(QString, chosen);
    QFETCH(QString, stored);
    QFETCH(QString, warning);
    Editing e;
    const QString home = e.h.dir.filePath(u"home"_s);
    QDir().mkpath(home);
    ScriptedPanels panels;
    auto expand = [&](QString text) {
        if (text.startsWith(u'~'))
            text.replace(0, 1, home);
        return text.replace(u'@', e.volume.mountPath);
    };
    panels.folders.push_back(
        chosen.isEmpty() ? std::nullopt : std::optional(fs::path(expand(chosen).toStdString())));
    ConfigWindow window(e.state, *e.h.localizer, panels.panels(), home.toStdString());
    window.show();
    window.chooseDestination();
    QCOMPARE(panels.requests.front().startFolder, fs::path(home.toStdString()) / "Backups/Keelbox");
    QString expectedStored = stored;
    expectedStored.replace(u'@', e.volume.mountPath);
    QCOMPARE(QString::fromStdString(window.draft().draft.destinationPath), expectedStored);
    QCOMPARE(window.findChild<QLineEdit*>()->text(), expectedStored);
    if (!warning.isEmpty())
        QVERIFY(withText<QLabel>(window, warning)->isVisible());
}

void UiTest::draftFollowsTheDrive() {
    Harness h;
    const MountedVolume first = h.addDrive(u"FIRST"_s);
    DriveConfig stored = testConfig("OLD");
    stored.sources = {{Uuid::random(), "Docs"}};
    const MountedVolume configured = h.addDrive(u"OLD"_s, stored);
    AppState& state = h.started();
    ConfigWindow window(state, *h.localizer, {});
    QCOMPARE(window.windowTitle(), u"Keelbox"_s);

    // A drive without rules starts from the defaults, with nothing to remove or run yet.
    state.setEditingVolumeID(h.idOf(first));
    QCOMPARE(window.windowTitle(), u"FIRST"_s);
    const DriveConfig& draft = window.draft().draft;
    QCOMPARE(draft.destinationPath, "~/Backups/Keelbox");
    QCOMPARE(draft.mode, BackupMode::sync);
    QVERIFY(draft.autoRunOnMount && !draft.deleteRemovedFiles && draft.sources.empty());
    QVERIFY(withText(window, u"Remove configuration"_s)->isHidden());
    QVERIFY(!withText(window, u"Save and run"_s)->isEnabled());

    // An edit outlives a language switch and the drive leaving and coming back.
    auto* field = window.findChild<QLineEdit*>();
    field->setText({});
    QTest::keyClicks(field, u"/edited"_s);
    h.localizer->setLanguage(AppLanguage::polish);
    QVERIFY(withText(window, u"Zapisz i uruchom"_s));
    h.localizer->setLanguage(AppLanguage::english);
    state.refreshVolumes();
    h.monitor->unplug(first.mountPath);
    QTRY_COMPARE(window.windowTitle(), u"Keelbox"_s);
    h.monitor->plug(first);
    QTRY_COMPARE(window.windowTitle(), u"FIRST"_s);
    QCOMPARE(window.draft().draft.destinationPath, "/edited");
    QCOMPARE(field->text(), u"/edited"_s);

    // Another drive replaces the draft with its stored rules, which it can remove.
    state.setEditingVolumeID(h.idOf(configured));
    QCOMPARE(window.draft().draft.destinationPath, stored.destinationPath);
    QCOMPARE(window.windowTitle(), u"OLD"_s);
    QPushButton* remove = withText(window, u"Remove configuration"_s);
    QVERIFY(!remove->isHidden());
    window.show();
    remove->click();
    QVERIFY(!fs::exists(configured.mountPath.toStdString() + "/.keelbox.json"));
    QVERIFY(!window.isVisible());
}

void UiTest::logRows_data() {
    QTest::addColumn<int>("issues");
    QTest::addColumn<int>("boxes");
    QTest::addColumn<QString>("more"); // empty: no overflow line
    QTest::newRow("no details") << 0 << 0 << QString();
    QTest::newRow("100 issues") << 100 << 100 << QString();
    QTest::newRow("101 issues") << 101 << 100 << u"…and 1 more issues"_s;
}

void UiTest::logRows() {
    QFETCH(int, issues);
    QFETCH(int, boxes);
    QFETCH(QString, more);
    Harness h;
    AppState& state = h.make();
    LogWindow window(state, *h.localizer);
    window.show();
    QLabel* empty = withText<QLabel>(window, u"No events"_s);
    QVERIFY(empty && empty->isVisible());
    state.appendLog(failureWith(issues));
    QVERIFY(!empty->isVisible());
    const QTextDocument& document = *window.list()->document();
    const std::vector<QString> shownBoxes = issueBoxTexts(document);
    QCOMPARE(static_cast<int>(shownBoxes.size()), boxes);
    const QString text = document.toPlainText();
    QVERIFY(text.contains(u"Zakończono z błędami"_s));
    QVERIFY(text.contains(u"STICK • "_s));
    QCOMPARE(text.contains(u"Error details (%1):"_s.arg(issues)), issues > 0);
    QCOMPARE(text.contains(u"more issues"_s), !more.isEmpty());
    QVERIFY(text.contains(more));
    QCOMPARE(timeOfDayText(Date{}, QLocale(u"en_US"_s)), u"12:00:00 AM"_s);
    QCOMPARE(timeOfDayText(Date{} + std::chrono::hours(13), QLocale(u"pl_PL"_s)), u"13:00:00"_s);
    if (issues > 0) {
        // What each box holds: a bare issue only its reason (and its hint), no empty lines.
        const std::pair<int, QString> rows[] = {
            {1, u"Docs/f1\nreason1\nEIO"_s},
            {2, u"reason2\n\uFFFC hint"_s},
            {5, u"reason5"_s},
        };
        for (const auto& [index, expected] : rows)
            QCOMPARE(shownBoxes.at(index), expected);
    }
}

void UiTest::settingsSwitchesAndLoginRefusal() {
    Harness h;
    h.login->failure = u"not allowed here"_s;
    AppState& state = h.make();
    update::UpdaterViewModel updater;
    SettingsView view(state, *h.localizer, updater,
                      {u"Maker"_s, u"help@example.org"_s, u"https://example.org"_s});
    view.show();
    auto boxes = view.findChildren<QCheckBox*>();
    QCOMPARE(boxes.size(), 3);
    QGroupBox* error = nullptr;
    for (QGroupBox* box : view.findChildren<QGroupBox*>())
        if (box->title().isEmpty())
            error = box;
    QVERIFY(!error->isVisible());

    boxes[0]->click();
    QVERIFY(!boxes[0]->isChecked());
    QVERIFY(error->isVisible());
    QVERIFY(visibleTexts(view).contains(u"Failed to change launch-at-login: not allowed here"_s));
    boxes[1]->click();
    QVERIFY(!state.autoBackup());
    state.setNotify(false);
    QVERIFY(!boxes[2]->isChecked());

    const QStringList texts = visibleTexts(view);
    QVERIFY(texts.contains(u"<a href=\"mailto:help@example.org\">help@example.org</a>"_s));
    QVERIFY(texts.contains(u"<a href=\"https://example.org\">example.org</a>"_s));
}

void UiTest::settingsUpdateRow_data() {
    QTest::addColumn<bool>("canCheck");
    QTest::addColumn<QString>("found"); // "-": no update; the version otherwise
    QTest::addColumn<QString>("appVersion");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("before any check")
        << false << u"-"_s << QString() << QStringList{u"You're up to date."_s, u"Version 1.0"_s};
    QTest::newRow("update found") << true << u"2.1"_s << u"0.1.0"_s
                                  << QStringList{u"New version 2.1 is available."_s,
                                                 u"Version 0.1.0"_s};
}

void UiTest::settingsUpdateRow() {
    QFETCH(bool, canCheck);
    QFETCH(QString, found);
    QFETCH(QString, appVersion);
    QFETCH(QStringList, expected);
    QCoreApplication::setApplicationVersion(appVersion);
    Harness h;
    AppState& state = h.make();
    update::UpdaterViewModel updater;
    SettingsView view(state, *h.localizer, updater);
    updater.setCanCheckForUpdates(canCheck);
    if (found != u"-"_s)
        updater.foundUpdate(found);
    const QStringList texts = visibleTexts(view);
    for (const QString& text : expected)
        QVERIFY2(texts.contains(text), qPrintable(text));
    QCOMPARE(withText(view, u"Check for Updates…"_s)->isEnabled(), canCheck);
}

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
