// The configuration, settings, log and help windows on the application state's fakes, with drives
// as real folders.

#include "Fakes.h"

#include "ui/Widgets.h"
#include "ui/WindowRouter.h"
#include "ui/windows/ConfigWindow.h"
#include "ui/windows/HelpWindow.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/SettingsView.h"
#include "update/UpdaterViewModel.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
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

QStringList visibleTexts(const QWidget& window) {
    QStringList texts{window.windowTitle()};
    for (const QLabel* label : window.findChildren<QLabel*>())
        if (!label->text().isEmpty())
            texts << label->text();
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>())
        texts << button->text();
    for (const QGroupBox* box : window.findChildren<QGroupBox*>())
        texts << box->title();
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
        return {[this](QWidget*, const FilePanelRequest& request) {
                    requests.push_back(request);
                    auto answer = items.front();
                    items.pop_front();
                    return answer;
                },
                [this](QWidget*, const FilePanelRequest& request) {
                    requests.push_back(request);
                    auto answer = folders.front();
                    folders.pop_front();
                    return answer;
                }};
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

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT

private slots:
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
    void languageSwitchChangesEveryWindow();
};

// The add panel is Qt's own file dialog made to accept folders too: pick a folder and a file in
// its list and press its accept button.
void WindowsTest::qtDialogTakesFilesAndFolders() {
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

void WindowsTest::addingSources_data() {
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

void WindowsTest::addingSources() {
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

void WindowsTest::editorControlsAndShortcuts() {
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

void WindowsTest::destination_data() {
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

void WindowsTest::destination() {
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

void WindowsTest::draftFollowsTheDrive() {
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

void WindowsTest::logRows_data() {
    QTest::addColumn<int>("issues");
    QTest::addColumn<int>("boxes");
    QTest::addColumn<QString>("more"); // empty: no overflow line
    QTest::newRow("no details") << 0 << 0 << QString();
    QTest::newRow("100 issues") << 100 << 100 << QString();
    QTest::newRow("101 issues") << 101 << 100 << u"…and 1 more issues"_s;
}

void WindowsTest::logRows() {
    QFETCH(int, issues);
    QFETCH(int, boxes);
    QFETCH(QString, more);
    Harness h;
    AppState& state = h.make();
    LogWindow window(state, *h.localizer);
    QVERIFY(window.list()->showsPlaceholder());
    QVERIFY(visibleTexts(window).contains(u"No events"_s));

    state.appendLog(failureWith(issues));
    window.show();
    QVERIFY(!window.list()->showsPlaceholder());
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

void WindowsTest::settingsSwitchesAndLoginRefusal() {
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

void WindowsTest::settingsUpdateRow_data() {
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

void WindowsTest::settingsUpdateRow() {
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

void WindowsTest::languageSwitchChangesEveryWindow() {
    Harness h;
    const MountedVolume drive = h.addDrive(u"STICK"_s);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive));
    state.appendLog(failureWith(101));
    update::UpdaterViewModel updater;
    SettingsView settings(state, *h.localizer, updater);
    HelpWindow help(*h.localizer);
    ConfigWindow config(state, *h.localizer, {});
    LogWindow log(state, *h.localizer);
    const std::vector<QWidget*> windows{&settings, &help, &config, &log};
    std::vector<QStringList> english;
    for (QWidget* window : windows)
        english.push_back(visibleTexts(*window));

    // Through the segmented control.
    withText(settings, u"Polski"_s)->click();
    QCOMPARE(h.localizer->language(), AppLanguage::polish);
    QCOMPARE(settings.windowTitle(), u"Ustawienia Keelbox"_s);
    QCOMPARE(config.windowTitle(), u"STICK"_s);
    for (std::size_t w = 0; w < windows.size(); ++w) {
        const QStringList polish = visibleTexts(*windows[w]);
        QCOMPARE(polish.size(), english[w].size());
        int changed = 0;
        for (qsizetype i = 0; i < polish.size(); ++i)
            changed += polish[i] != english[w][i];
        // Everything but names, paths and the segment labels.
        QVERIFY2(changed >= polish.size() / 2, qPrintable(polish.join(u" | "_s)));
    }
    QVERIFY(visibleTexts(settings).contains(u"English"_s));

    // The longer Polish texts wrap and are never cut.
    for (QWidget* window : windows) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCoreApplication::processEvents();
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

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
