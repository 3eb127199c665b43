// The panel, its drive rows, the window router and the tray application on the application
// state's fakes, drawn offscreen.

#include "../app/Fakes.h"
#include "ui/Icons.h"
#include "ui/Panel.h"
#include "ui/Style.h"
#include "ui/TrayApplication.h"
#include "ui/VolumeRow.h"
#include "ui/Widgets.h"
#include "update/UpdaterViewModel.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;
using namespace keelbox::ui;

namespace {

// Every text a user or a screen reader meets in `root`, hidden widgets included.
QStringList visibleTexts(QWidget* root) {
    QStringList texts;
    for (QWidget* widget : root->findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(widget))
            texts << label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            texts << button->text();
        else if (auto* elided = qobject_cast<ElidedLabel*>(widget))
            texts << elided->text();
        texts << widget->toolTip() << widget->accessibleName();
    }
    texts.removeIf([](const QString& t) { return t.trimmed().isEmpty(); });
    return texts;
}

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

LogEntry entry(std::string message, LogEntry::Kind kind = LogEntry::Kind::info) {
    LogEntry e;
    e.message = std::move(message);
    e.kind = kind;
    return e;
}

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
    for (int i = 0; i < logEntries; ++i)
        state.appendLog(entry("entry " + std::to_string(i),
                              i % 2 ? LogEntry::Kind::failure : LogEntry::Kind::success));
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

    // Configure stays enabled throughout; eject and back-up-now only while idle.
    struct Expect {
        VolumeRow* row;
        bool backup, eject;
    };
    const auto check = [&](std::initializer_list<Expect> rows) {
        for (const Expect& e : rows) {
            QVERIFY(e.row->configureButton()->isEnabled());
            QCOMPARE(e.row->backupButton()->isEnabled(), e.backup);
            QCOMPARE(e.row->ejectButton()->isEnabled(), e.eject);
        }
    };
    check({{conf, true, true}, {plain, false, true}});
    QSignalSpy icon(ui.tray.get(), &TrayApplication::iconChanged);
    conf->backupButton()->click();
    QVERIFY(ui.harness.engine.waitForCalls(1));
    QCOMPARE(conf->statusText(), u"Preparing…"_s);
    check({{conf, false, false}, {plain, false, true}});
    QVERIFY(ui.tray->busy());
    QVERIFY(ui.tray->toolTip().contains(u"Backing up CONF"_s));
    ui.harness.engine.release();
    QVERIFY(settles(state));
    check({{conf, true, true}, {plain, false, true}});
    QCOMPARE(icon.count(), 2); // busy, then idle
    QVERIFY(!ui.tray->busy());
    QCOMPARE(ui.tray->toolTip(), u"Keelbox"_s);
}

void UiTest::languageSwitchChangesEveryText() {
    Ui ui;
    ui.harness.addDrive(u"STICK"_s, testConfig("STICK", false));
    ui.harness.addDrive(u"OTHER"_s);
    AppState& state = ui.start();
    state.appendLog(entry("a logged message"));
    ui.updater.foundUpdate(u"2.0"_s);
    ui.panel().open();
    // Texts that are data, not interface: the name, drive names, capacities and logged messages.
    const QStringList data{u"Keelbox"_s, u"STICK"_s, u"OTHER"_s, u"a logged message"_s};
    const auto interfaceTexts = [&] {
        QStringList texts = visibleTexts(&ui.panel());
        for (QAction* action : ui.tray->menu()->actions())
            if (!action->isSeparator())
                texts << action->text();
        texts.removeIf([&](const QString& t) { return data.contains(t) || t.contains(u"GB"_s); });
        texts.removeAll(QKeySequence(Qt::CTRL | Qt::Key_Q).toString(QKeySequence::NativeText));
        return texts;
    };
    ui.harness.localizer->setLanguage(AppLanguage::english);
    const QStringList english = interfaceTexts();
    ui.harness.localizer->setLanguage(AppLanguage::polish);
    const QStringList polish = interfaceTexts();
    QCOMPARE(polish.size(), english.size());
    QVERIFY(english.contains(u"Automatic backup on connect"_s));
    for (const QString& text : polish)
        QVERIFY2(!english.contains(text), qPrintable(u"\""_s + text + u"\" was not translated"_s));
    QVERIFY(visibleTexts(&ui.panel()).contains(u"Keelbox"_s));
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

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
