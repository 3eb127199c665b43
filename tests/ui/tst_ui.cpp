// The panel, its drive rows, the tray application and the configuration, settings, log and help
// windows on the application state's fakes, drawn offscreen, with drives as real folders.

#include "../app/Fakes.h"
#include "engine/BackupFolder.h"
#include "ui/Icons.h"
#include "ui/Panel.h"
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

// A failure with `issues` issues: every third without path and system message, every other no hint.
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

QStringList sourcePaths(const ConfigWindow& window) {
    QStringList paths;
    for (const SourceItem& source : window.draft().draft.sources)
        paths << QString::fromStdString(source.relativePath);
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
        for (const fs::path& folder : {root / "Docs", root / "Pics", outside})
            fs::create_directories(folder);
        std::ofstream(root / "Docs/a.txt") << "a";
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
    void panelSections();
    void rowStatus();
    void rowEnabledStatesFollowTheBackup();
    void languageSwitchChangesEveryText();
    void windowsOpenOnce();
    void panelPositionShowArgumentAndIcons();
    void qtDialogTakesFilesAndFolders();
    void addingSources();
    void editorControlsAndShortcuts();
    void destination();
    void draftFollowsTheDrive();
    void logRows();
    void settingsSwitchesAndUpdateRow();
};

void UiTest::panelSections() {
    // Nothing at all; then two drives of one label, five log entries and an update.
    for (const auto& [drives, logEntries, version] :
         {std::tuple(0, 0, QString()), std::tuple(2, 5, u"1.4.2"_s)}) {
        Ui ui;
        for (int i = 0; i < drives; ++i)
            ui.harness.addDrive(u"STICK"_s);
        AppState& state = ui.start();
        for (int i = 0; i < logEntries; ++i) {
            LogEntry entry = failureWith(0);
            entry.message = "entry " + std::to_string(i);
            state.appendLog(entry);
        }
        if (!version.isEmpty())
            ui.updater.foundUpdate(version);
        Panel& panel = ui.panel();
        panel.open();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(std::tuple(int(panel.rows().size()), panel.emptyLine()->isVisible(),
                            panel.updateLine()->isVisible(), panel.recentBlock()->isVisible()),
                 std::tuple(drives, drives == 0, !version.isEmpty(), logEntries > 0));
        for (int i = 0; i < drives; ++i) // told apart by their mount folders
            QVERIFY(withText<QLabel>(*ui.row(i), u"STICK-%1 • 32.0 GB"_s.arg(i + 1)));
        // Toggle, dividers and footer stay whatever is listed.
        const auto dividers = panel.dividers();
        QVERIFY(panel.autoBackupBox()->isVisible() && panel.quitButton()->isVisible() &&
                std::ranges::all_of(dividers, &QWidget::isVisible));
        QVERIFY(version.isEmpty() || panel.updateLine()->text() == u"Update 1.4.2 available"_s);
        QStringList recent, newest; // newest first, at most three
        for (ElidedLabel* line : panel.recentLines())
            recent << line->text();
        for (int i = logEntries - 1; i >= std::max(0, logEntries - 3); --i)
            newest << u"entry %1"_s.arg(i);
        QCOMPARE(recent, newest);
    }
}

void UiTest::rowStatus() {
    using K = BackupStatus::Kind;
    const std::pair<K, QString> cases[] = {
        {K::idle, u"Not configured"_s},   {K::configured, u"Ready • sync"_s},
        {K::running, u"Preparing…"_s},    {K::running, u"Backing up… 99%"_s},
        {K::done, u"✓ 3 files copied"_s}, {K::failed, u"✗ 2 errors"_s}};
    Ui ui;
    ui.start();
    for (const auto& [kind, status] : cases) {
        const bool configured = kind != K::idle, progress = status.startsWith(u"Backing up"_s);
        VolumeInfo volume;
        volume.id = "/media/STICK";
        volume.name = "STICK";
        if (configured)
            volume.config = testConfig("STICK", false);
        volume.status = {kind, status.size() > 2 ? status.mid(2).toStdString() : std::string()};
        if (progress)
            volume.progress = BackupProgress{7, 9, 999, 1000, "DCIM/a.jpg"};
        VolumeRow row(ui.tray->router()->context(), {});
        row.setVolume(volume);
        row.show();
        QCOMPARE(std::tuple(row.statusText(), row.configureButton()->text(),
                            row.backupButton()->isEnabled(), row.progressBlock()->isVisible(),
                            row.scanningBlock()->isVisible()),
                 std::tuple(status, configured ? u"Configure…"_s : u"Set up…"_s, configured,
                            progress, status == u"Preparing…"_s));
        if (progress)
            QCOMPARE(std::tuple(row.progressBar()->value(), row.filesLabel()->text(),
                                row.bytesLabel()->text(), row.currentFileLabel()->isVisible()),
                     std::tuple(999, u"7/9 files • 99%"_s, u"999 bytes / 1.0 kB"_s, true));
        QCOMPARE(row.failedButton()->isVisible(), kind == K::failed);
        if (kind == K::failed) {
            row.failedButton()->click();
            QTRY_VERIFY(ui.tray->router()->window(logWindow) &&
                        ui.tray->router()->window(logWindow)->isVisible());
        }
    }
}

void UiTest::rowEnabledStatesFollowTheBackup() {
    Ui ui;
    // CONF has a copy of an earlier backup: its folder, with CONF's mark.
    DriveConfig config = testConfig("CONF", false);
    config.destinationPath = ui.harness.dir.filePath(u"copies"_s).toStdString();
    const fs::path copy = fs::path(config.destinationPath) / "CONF";
    fs::create_directories(copy);
    std::ofstream(copy / ".keelbox-drive")
        << keelbox::detail::encodeOwnerMark({config.driveID, {}});
    ui.harness.addDrive(u"PLAIN"_s);
    ui.harness.addDrive(u"CONF"_s, config);
    ui.harness.engine.hold = true;
    ui.harness.engine.progress = {BackupProgress{1, 2, 10, 20, "a.txt"}};
    AppState& state = ui.start();
    QTRY_COMPARE(ui.panel().rows().size(), 2);
    VolumeRow *conf = ui.row(0), *plain = ui.row(1);
    QCOMPARE(conf->volume().name, "CONF");
    // Configure, back up and eject: configure stays enabled, the others only while idle.
    const auto enabled = [](VolumeRow* row) {
        return std::tuple(row->configureButton()->isEnabled(), row->backupButton()->isEnabled(),
                          row->ejectButton()->isEnabled());
    };
    QCOMPARE(std::tuple(enabled(conf), enabled(plain)),
             std::tuple(std::tuple(true, true, true), std::tuple(true, false, true)));
    conf->backupButton()->click();
    QVERIFY(ui.harness.engine.waitForCalls(1));
    QCOMPARE(conf->statusText(), u"Preparing…"_s);
    QCOMPARE(std::tuple(enabled(conf), enabled(plain)),
             std::tuple(std::tuple(true, false, false), std::tuple(true, false, true)));
    QVERIFY(ui.tray->busy() && ui.tray->toolTip().contains(u"Backing up CONF"_s));
    ui.harness.engine.release();
    QVERIFY(settles(state));
    QVERIFY(enabled(conf) == std::tuple(true, true, true) && !ui.tray->busy());
    // When the copy was made, and the button that opens it (none for the unconfigured drive).
    QVERIFY(conf->lastBackupLabel()->text().startsWith(u"Last backup: today "_s) &&
            !conf->openCopyButton()->isHidden() && plain->openCopyButton()->isHidden());
    conf->openCopyButton()->click();
    QCOMPARE(ui.harness.opener->opened, std::vector<fs::path>{copy});
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
    // Texts that are data (names, paths, sizes, logged messages, languages, links) or Qt's own.
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
    QVERIFY(localizer.language() == AppLanguage::polish && config.windowTitle() == u"STICK"_s);
    const QStringList polish = interfaceTexts();
    QVERIFY(polish.size() == english.size() && english.contains(u"Automatic backup on connect"_s));
    for (const QString& text : polish)
        QVERIFY2(!english.contains(text), qPrintable(u"\""_s + text + u"\" was not translated"_s));
    // The log's rows are written again; the texts it stored stay as they were.
    const QString logText = log.list()->document()->toPlainText();
    for (const QString& text :
         {u"Szczegóły błędów (101):"_s, u"reason0"_s, u"…i 1 więcej problemów"_s})
        QVERIFY2(logText.contains(text), qPrintable(text));
}

void UiTest::windowsOpenOnce() {
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
    QTest::keyClick(help, Qt::Key_Escape);
    QVERIFY(!help->isVisible());
    ui.panel().helpButton()->click();
    QTRY_COMPARE(shown.count(), 2);
    QCOMPARE(std::tuple(router.window(helpWindow), help->isVisible(), help->windowTitle()),
             std::tuple(help, true, u"Keelbox Help"_s));
    // Configure on one drive, then on the other: one configuration window, following the choice.
    for (int i : {0, 1}) {
        ui.row(i)->configureButton()->click();
        QCOMPARE(state.editingVolumeID(), ui.row(i)->volume().id);
    }
    QTRY_COMPARE(shown.count(), 4);
    const QWidgetList all = QApplication::topLevelWidgets();
    for (const QString& id : {helpWindow, configWindow})
        QCOMPARE(std::ranges::count(all, id + u"Window"_s, &QWidget::objectName), 1);
}

void UiTest::panelPositionShowArgumentAndIcons() {
    // Screen 1920×1080 with a 32 px top panel; the panel is 380×300.
    const std::optional<QPoint> none;
    const std::tuple<QRect, std::optional<QPoint>, QPoint> places[] = {
        {{1800, 4, 24, 24}, none, {1540, 35}},           // below a top icon
        {{100, 1060, 24, 20}, none, {100, 752}},         // above a bottom icon
        {{}, QPoint(1000, 10), {810, 32}},               // unknown icon: at the pointer
        {{0, 0, 22, 22}, QPoint(300, 1070), {110, 762}}, // icon reported at the origin
        {{}, none, {1531, 40}},                          // nothing known: top right
    };
    for (const auto& [icon, pointer, expected] : places)
        QCOMPARE(ui::panelPosition({380, 300}, {0, 32, 1920, 1048}, icon, pointer), expected);
    // `--show` after a toolkit option, and with an unknown window.
    const std::tuple<QStringList, QString, bool> shows[] = {
        {{u"-platform"_s, u"xcb"_s, u"--show"_s, u"help"_s}, u"help"_s, false},
        {{u"--show"_s, u"Log"_s}, u"Log"_s, true}};
    for (const auto& [arguments, expected, error] : shows) {
        bool failed = false;
        QCOMPARE(std::pair(ui::showArgument(arguments, &failed).value_or(u"-"_s), failed),
                 std::pair(expected, error));
    }
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
}

// The add panel is Qt's own file dialog made to accept folders too: pick a folder and a file in
// its list and press its accept button.
void UiTest::qtDialogTakesFilesAndFolders() {
    QTemporaryDir root;
    QDir(root.path()).mkpath(u"Docs"_s);
    std::ofstream(root.filePath(u"a.txt"_s).toStdString()) << "a";
    QString seen;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        auto* view = dialog ? dialog->findChild<QListView*>(u"listView"_s) : nullptr;
        // The file system model fills the list from a thread of its own.
        if (!view ||
            !QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) == 2; }))
            return dialog ? dialog->reject() : void();
        view->selectAll();
        auto* accept = dialog->findChild<QDialogButtonBox*>()->buttons().constFirst();
        seen = dialog->windowTitle() + u' ' + accept->text();
        accept->click();
    });
    auto chosen = ConfigPanels::desktop().chooseItems(
        nullptr, {root.path().toStdString(), u"Add"_s, u"Pick"_s});
    QVERIFY(seen == u"Pick Add"_s && chosen);
    std::ranges::sort(*chosen);
    QCOMPARE(*chosen, (std::vector<fs::path>{root.filePath(u"Docs"_s).toStdString(),
                                             root.filePath(u"a.txt"_s).toStdString()}));
}

void UiTest::addingSources() {
    // One panel per batch, items split by "|" ("@" is the drive's root, "!" the folder outside
    // it, "cancel" a cancelled panel), the sources that result and the error shown.
    const std::tuple<QStringList, QStringList, QString> cases[] = {
        {{u"@"_s, u"@"_s}, {u""_s}, {}}, // the root is the whole drive, once
        {{u"@/Docs|@/Docs/a.txt"_s, u"@/Docs/"_s}, {u"Docs"_s, u"Docs/a.txt"_s}, {}},
        {{u"!/link-to-docs/a.txt"_s}, {u"Docs/a.txt"_s}, {}}, // through a link into the drive
        {{u"@/Pics|!/x.txt|@/Docs"_s},
         {u"Pics"_s, u"Docs"_s},
         u"Item x.txt is not on this drive."_s},
        {{u"cancel"_s}, {}, {}}};
    for (const auto& [batches, expected, error] : cases) {
        Editing e;
        ScriptedPanels panels;
        for (QString batch : batches) {
            batch.replace(u'@', QString::fromStdString(e.root.string()))
                .replace(u'!', QString::fromStdString(e.outside.string()));
            std::vector<fs::path> items;
            for (const QString& item : batch.split(u'|'))
                items.emplace_back(item.toStdString());
            panels.items.push_back(batch == u"cancel"_s ? std::nullopt : std::optional(items));
        }
        ConfigWindow window(e.state, *e.h.localizer, panels.panels(), e.h.dir.path().toStdString());
        for (int i = 0; i < batches.size(); ++i)
            window.addSources();
        QStringList shown;
        for (const ElidedLabel* line : window.findChildren<ElidedLabel*>())
            shown << line->text();
        QCOMPARE(std::tuple(
                     sourcePaths(window), QString::fromStdString(e.state.lastError().value_or("")),
                     panels.requests.front().startFolder, shown.contains(u"(whole drive)"_s)),
                 std::tuple(expected, error, e.root, expected == QStringList{u""_s}));
    }
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
    QTest::keyClick(&window, Qt::Key_Return); // nothing to back up yet: does nothing
    // The mirror switch and its warning belong to the sync mode.
    auto* mirror = window.findChildren<QCheckBox*>().at(1);
    QLabel* warning = withText<QLabel>(window, u"Warning:"_s);
    QVERIFY(window.isVisible() && mirror->isVisible() && !warning->isVisible());
    mirror->click();
    QVERIFY(warning->isVisible());
    auto radios = window.findChildren<QRadioButton*>();
    radios[1]->click(); // dated
    QVERIFY(!mirror->isVisible() && !warning->isVisible() &&
            window.draft().draft.deleteRemovedFiles);
    radios[0]->click();
    QVERIFY(mirror->isVisible() && mirror->isChecked() && warning->isVisible());
    // A line's remove button takes only that line; Whole drive replaces them all.
    window.addSources();
    window.findChildren<QToolButton*>().at(1)->click();
    QCOMPARE(sourcePaths(window), (QStringList{u"Docs"_s, u"Docs/a.txt"_s}));
    withText(window, u"Whole drive"_s)->click();
    QCOMPARE(sourcePaths(window), QStringList{QString()});
    // Ctrl+S saves and stays; Return, also from the destination field, saves, runs and closes.
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(fs::exists(e.root / ".keelbox.json") && window.isVisible() &&
            e.h.engine.callCount() == 0);
    window.findChild<QLineEdit*>()->setFocus();
    QTest::keyClick(window.findChild<QLineEdit*>(), Qt::Key_Return);
    QVERIFY(e.h.engine.waitForCalls(1) && e.h.engine.call(0).config.sources.size() == 1);
    QVERIFY(!window.isVisible() && settles(e.state));
}

void UiTest::destination() {
    // The folder chosen ("~" is the home folder, "@" the drive, empty: cancelled), stored as
    // chosen, and the warning it brings.
    const std::pair<QString, QString> cases[] = {
        {u"~/Backups/Mine"_s, {}},
        {u"~/.config"_s, u"Backups will refuse this folder"_s},
        {u"/mnt/GONE/copies"_s, u"The backup folder is on the disk “GONE”"_s},
        {u"@/copy"_s, u"This folder is on the drive itself"_s},
        {{}, {}}};
    for (auto [chosen, warning] : cases) {
        Editing e;
        const QString home = e.h.dir.filePath(u"home"_s);
        QDir().mkpath(home);
        chosen.replace(u'@', e.volume.mountPath);
        const QString stored = chosen.isEmpty() ? u"~/Backups/Keelbox"_s : chosen;
        // The dialog opens at the destination where it exists, else at home.
        QDir().mkpath(chosen.isEmpty() ? home + u"/Backups/Keelbox"_s : home);
        if (chosen.startsWith(u'~'))
            chosen.replace(0, 1, home);
        ScriptedPanels panels;
        panels.folders.push_back(chosen.isEmpty() ? std::nullopt
                                                  : std::optional(fs::path(chosen.toStdString())));
        ConfigWindow window(e.state, *e.h.localizer, panels.panels(), home.toStdString());
        window.show();
        window.chooseDestination();
        QCOMPARE(
            std::tuple(panels.requests.front().startFolder,
                       QString::fromStdString(window.draft().draft.destinationPath),
                       window.findChild<QLineEdit*>()->text()),
            std::tuple(fs::path(home.toStdString() + (chosen.isEmpty() ? "/Backups/Keelbox" : "")),
                       stored, stored));
        QVERIFY(warning.isEmpty() || withText<QLabel>(window, warning)->isVisible());
    }
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
    QCOMPARE(std::tuple(draft.destinationPath, draft.mode, draft.autoRunOnMount,
                        draft.deleteRemovedFiles, draft.sources.empty()),
             std::tuple(std::string("~/Backups/Keelbox"), BackupMode::sync, true, false, true));
    QVERIFY(withText(window, u"Remove configuration"_s)->isHidden() &&
            !withText(window, u"Save and run"_s)->isEnabled());
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
    QCOMPARE(std::pair(window.draft().draft.destinationPath, field->text()),
             std::pair(std::string("/edited"), u"/edited"_s));
    // Another drive replaces the draft with its stored rules, which it can remove.
    state.setEditingVolumeID(h.idOf(configured));
    QCOMPARE(std::pair(window.draft().draft.destinationPath, window.windowTitle()),
             std::pair(stored.destinationPath, u"OLD"_s));
    QPushButton* remove = withText(window, u"Remove configuration"_s);
    QVERIFY(!remove->isHidden());
    window.show();
    remove->click();
    QVERIFY(!fs::exists(configured.mountPath.toStdString() + "/.keelbox.json") &&
            !window.isVisible());
}

void UiTest::logRows() {
    for (int issues : {0, 100, 101}) { // at most 100 shown, then a line for the rest
        Harness h;
        AppState& state = h.make();
        LogWindow window(state, *h.localizer);
        window.show();
        QLabel* empty = withText<QLabel>(window, u"No events"_s);
        QVERIFY(empty && empty->isVisible());
        state.appendLog(failureWith(issues));
        QVERIFY(!empty->isVisible());
        const std::vector<QString> shownBoxes = issueBoxTexts(*window.list()->document());
        QCOMPARE(int(shownBoxes.size()), std::min(issues, 100));
        const QString text = window.list()->document()->toPlainText();
        QVERIFY(text.contains(u"Zakończono z błędami"_s) && text.contains(u"STICK • "_s));
        QCOMPARE(std::tuple(text.contains(u"Error details (%1):"_s.arg(issues)),
                            text.contains(u"more issues"_s),
                            text.contains(u"…and 1 more issues"_s)),
                 std::tuple(issues > 0, issues > 100, issues > 100));
        // A bare issue shows only its reason (and its hint), no empty lines.
        if (issues > 0)
            QCOMPARE(
                (std::vector{shownBoxes[1], shownBoxes[2], shownBoxes[5]}),
                (std::vector{u"Docs/f1\nreason1\nEIO"_s, u"reason2\n\uFFFC hint"_s, u"reason5"_s}));
    }
    QCOMPARE(timeOfDayText(Date{}, QLocale(u"en_US"_s)), u"12:00:00 AM"_s);
    QCOMPARE(timeOfDayText(Date{} + std::chrono::hours(13), QLocale(u"pl_PL"_s)), u"13:00:00"_s);
}

void UiTest::settingsSwitchesAndUpdateRow() {
    QCoreApplication::setApplicationVersion(u"0.1.0"_s);
    Harness h;
    h.login->failure = u"not allowed here"_s;
    AppState& state = h.make();
    update::UpdaterViewModel updater;
    SettingsView view(state, *h.localizer, updater,
                      {u"Maker"_s, u"help@example.org"_s, u"https://example.org"_s});
    view.show();
    auto boxes = view.findChildren<QCheckBox*>();
    QCOMPARE(boxes.size(), 3);
    const auto groups = view.findChildren<QGroupBox*>();
    QGroupBox* error = *std::ranges::find(groups, QString(), &QGroupBox::title);
    QVERIFY(!error->isVisible());
    boxes[0]->click(); // launch at login, refused
    QVERIFY(!boxes[0]->isChecked() && error->isVisible());
    boxes[1]->click();
    state.setNotify(false);
    QVERIFY(!state.autoBackup() && !boxes[2]->isChecked());
    QStringList texts = visibleTexts(view);
    for (const QString& text : {u"Failed to change launch-at-login: not allowed here"_s,
                                u"<a href=\"mailto:help@example.org\">help@example.org</a>"_s,
                                u"<a href=\"https://example.org\">example.org</a>"_s,
                                u"You're up to date."_s, u"Version 0.1.0"_s})
        QVERIFY2(texts.contains(text), qPrintable(text));
    QPushButton* check = withText(view, u"Check for Updates…"_s);
    QVERIFY(!check->isEnabled()); // before any check
    updater.setCanCheckForUpdates(true);
    updater.foundUpdate(u"2.1"_s);
    QVERIFY(check->isEnabled() && visibleTexts(view).contains(u"New version 2.1 is available."_s));
}

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
