// The configuration window on the application state's fakes, with drives as real folders.

#include "Fakes.h"

#include "ui/Widgets.h"
#include "ui/windows/ConfigWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
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

QPushButton* button(QWidget& window, const QString& text) {
    for (QPushButton* candidate : window.findChildren<QPushButton*>())
        if (candidate->text() == text)
            return candidate;
    return nullptr;
}

// The drive's folders Docs/a.txt and Pics, a folder outside it, and a link to the drive's Docs.
struct Drive {
    explicit Drive(Harness& h) {
        volume = h.addDrive(u"STICK"_s);
        root = volume.mountPath.toStdString();
        fs::create_directories(root / "Docs");
        fs::create_directories(root / "Pics");
        std::ofstream(root / "Docs/a.txt") << "a";
        outside = h.dir.filePath(u"elsewhere"_s).toStdString();
        fs::create_directories(outside);
        std::ofstream(outside / "x.txt") << "x";
        fs::create_directory_symlink(root / "Docs", outside / "link-to-docs");
    }
    MountedVolume volume;
    fs::path root;
    fs::path outside;
};

} // namespace

class ConfigWindowTest : public QObject {
    Q_OBJECT

private slots:
    void qtDialogTakesFilesAndFolders();
    void addingSources_data();
    void addingSources();
    void wholeDriveAndRemoval();
    void defaultsAndFooter();
    void shortcutsSaveAndRun();
    void mirrorFollowsTheMode();
    void destination_data();
    void destination();
    void draftSurvivesUntilAnotherDrive();
};

// The add panel is Qt's own file dialog made to accept folders too: pick a folder and a file in
// its list and press its accept button.
void ConfigWindowTest::qtDialogTakesFilesAndFolders() {
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

void ConfigWindowTest::addingSources_data() {
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

void ConfigWindowTest::addingSources() {
    QFETCH(QStringList, batches);
    QFETCH(QStringList, expected);
    QFETCH(QString, error);
    Harness h;
    Drive drive(h);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive.volume));
    ScriptedPanels panels;
    for (const QString& batch : batches) {
        if (batch == u"cancel"_s) {
            panels.items.push_back(std::nullopt);
            continue;
        }
        std::vector<fs::path> items;
        for (QString item : batch.split(u'|')) {
            item.replace(u'@', QString::fromStdString(drive.root.string()));
            item.replace(u'!', QString::fromStdString(drive.outside.string()));
            items.emplace_back(item.toStdString());
        }
        panels.items.push_back(items);
    }
    ConfigWindow window(state, *h.localizer, panels.panels(), h.dir.path().toStdString());
    for (int i = 0; i < batches.size(); ++i)
        window.addSources();

    std::vector<std::string> wanted;
    for (const QString& path : expected)
        wanted.push_back(path.toStdString());
    QCOMPARE(sourcePaths(window), wanted);
    QCOMPARE(state.lastError().value_or(""), error.toStdString());
    QCOMPARE(panels.requests.front().startFolder, drive.root);
    QStringList shown;
    for (const ElidedLabel* line : window.findChildren<ElidedLabel*>())
        shown << line->text();
    QCOMPARE(shown.contains(u"(whole drive)"_s), wanted == std::vector<std::string>{""});
}

void ConfigWindowTest::wholeDriveAndRemoval() {
    Harness h;
    Drive drive(h);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive.volume));
    ScriptedPanels panels;
    panels.items.push_back(
        std::vector<fs::path>{drive.root / "Docs", drive.root / "Pics", drive.root / "Docs/a.txt"});
    ConfigWindow window(state, *h.localizer, panels.panels());
    window.addSources();
    // The second line's remove button takes only that line.
    window.findChildren<QToolButton*>().at(1)->click();
    QCOMPARE(sourcePaths(window), (std::vector<std::string>{"Docs", "Docs/a.txt"}));
    button(window, u"Whole drive"_s)->click();
    QCOMPARE(sourcePaths(window), std::vector<std::string>{""});
}

void ConfigWindowTest::defaultsAndFooter() {
    Harness h;
    const MountedVolume fresh = h.addDrive(u"FRESH"_s);
    DriveConfig stored = testConfig("OLD");
    stored.sources = {{Uuid::random(), "Docs"}};
    const MountedVolume configured = h.addDrive(u"OLD"_s, stored);
    AppState& state = h.started();
    ConfigWindow window(state, *h.localizer, {});
    QCOMPARE(window.windowTitle(), u"Keelbox"_s);

    state.setEditingVolumeID(h.idOf(fresh));
    QCOMPARE(window.windowTitle(), u"FRESH"_s);
    const DriveConfig& draft = window.draft().draft;
    QCOMPARE(draft.destinationPath, "~/Backups/Keelbox");
    QCOMPARE(draft.mode, BackupMode::sync);
    QVERIFY(draft.autoRunOnMount && !draft.deleteRemovedFiles && draft.sources.empty());
    QVERIFY(button(window, u"Remove configuration"_s)->isHidden());
    QVERIFY(!button(window, u"Save and run"_s)->isEnabled());

    state.setEditingVolumeID(h.idOf(configured));
    QPushButton* remove = button(window, u"Remove configuration"_s);
    QVERIFY(!remove->isHidden());
    window.show();
    remove->click();
    QVERIFY(!fs::exists(configured.mountPath.toStdString() + "/.keelbox.json"));
    QVERIFY(!window.isVisible());
}

void ConfigWindowTest::shortcutsSaveAndRun() {
    Harness h;
    const MountedVolume drive = h.addDrive(u"STICK"_s);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive));
    ConfigWindow window(state, *h.localizer, {});
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const fs::path file = drive.mountPath.toStdString() + "/.keelbox.json";

    QTest::keyClick(&window, Qt::Key_Return);
    QVERIFY(window.isVisible());
    QCOMPARE(h.engine.callCount(), 0u);

    window.useWholeDrive();
    QVERIFY(button(window, u"Save and run"_s)->isEnabled());
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(fs::exists(file));
    QVERIFY(window.isVisible());
    QCOMPARE(h.engine.callCount(), 0u);

    // Return from the destination field too.
    window.findChild<QLineEdit*>()->setFocus();
    QTest::keyClick(window.findChild<QLineEdit*>(), Qt::Key_Return);
    QVERIFY(h.engine.waitForCalls(1));
    QCOMPARE(h.engine.call(0).config.sources.size(), 1u);
    QVERIFY(!window.isVisible());
    QVERIFY(settles(state));
}

void ConfigWindowTest::mirrorFollowsTheMode() {
    Harness h;
    const MountedVolume drive = h.addDrive(u"STICK"_s);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive));
    ConfigWindow window(state, *h.localizer, {});
    window.show();
    auto* mirror = window.findChildren<QCheckBox*>().at(1);
    QLabel* warning = nullptr;
    for (QLabel* label : window.findChildren<QLabel*>())
        if (label->text().startsWith(u"Warning:"_s))
            warning = label;
    QVERIFY(mirror->isVisible() && !warning->isVisible());
    mirror->click();
    QVERIFY(warning->isVisible());
    auto radios = window.findChildren<QRadioButton*>();
    radios[1]->click(); // dated
    QVERIFY(!mirror->isVisible() && !warning->isVisible());
    QVERIFY(window.draft().draft.deleteRemovedFiles);
    radios[0]->click();
    QVERIFY(mirror->isVisible() && mirror->isChecked() && warning->isVisible());
}

void ConfigWindowTest::destination_data() {
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

void ConfigWindowTest::destination() {
    QFETCH(QString, chosen);
    QFETCH(QString, stored);
    QFETCH(QString, warning);
    Harness h;
    const MountedVolume drive = h.addDrive(u"STICK"_s);
    const QString home = h.dir.filePath(u"home"_s);
    QDir().mkpath(home);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive));
    ScriptedPanels panels;
    auto expand = [&](QString text) {
        if (text.startsWith(u'~'))
            text.replace(0, 1, home);
        return text.replace(u'@', drive.mountPath);
    };
    panels.folders.push_back(
        chosen.isEmpty() ? std::nullopt : std::optional(fs::path(expand(chosen).toStdString())));
    ConfigWindow window(state, *h.localizer, panels.panels(), home.toStdString());
    window.show();
    window.chooseDestination();
    QCOMPARE(panels.requests.front().startFolder, fs::path(home.toStdString()) / "Backups/Keelbox");
    QString expectedStored = stored;
    expectedStored.replace(u'@', drive.mountPath);
    QCOMPARE(QString::fromStdString(window.draft().draft.destinationPath), expectedStored);
    QCOMPARE(window.findChild<QLineEdit*>()->text(), expectedStored);
    QLabel* shown = nullptr;
    for (QLabel* label : window.findChildren<QLabel*>())
        if (label->isVisible() && label->text().startsWith(warning.isEmpty() ? u"\x01"_s : warning))
            shown = label;
    QCOMPARE(shown != nullptr, !warning.isEmpty());
}

void ConfigWindowTest::draftSurvivesUntilAnotherDrive() {
    Harness h;
    const MountedVolume first = h.addDrive(u"FIRST"_s);
    const MountedVolume second = h.addDrive(u"SECOND"_s);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(first));
    ConfigWindow window(state, *h.localizer, {});
    auto* field = window.findChild<QLineEdit*>();
    field->setText({});
    QTest::keyClicks(field, u"/edited"_s);
    QCOMPARE(window.draft().draft.destinationPath, "/edited");

    h.localizer->setLanguage(AppLanguage::polish);
    QVERIFY(button(window, u"Zapisz i uruchom"_s));
    state.refreshVolumes();
    h.monitor->unplug(first.mountPath);
    QTRY_COMPARE(window.windowTitle(), u"Keelbox"_s);
    h.monitor->plug(first);
    QTRY_COMPARE(window.windowTitle(), u"FIRST"_s);
    QCOMPARE(window.draft().draft.destinationPath, "/edited");
    QCOMPARE(field->text(), u"/edited"_s);

    state.setEditingVolumeID(h.idOf(second));
    QCOMPARE(window.draft().draft.destinationPath, "~/Backups/Keelbox");
    QCOMPARE(window.windowTitle(), u"SECOND"_s);
}

QTEST_MAIN(ConfigWindowTest)
#include "tst_config_window.moc"
