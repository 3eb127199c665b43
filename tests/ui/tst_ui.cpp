// The panel, its drive rows, the tray application and the configuration, settings, log and help
// windows on the application state's fakes, drawn offscreen, with drives as real folders.

#include "../app/Fakes.h"
#include "app/LogText.h"
#include "core/ShownText.h"
#include "engine/BackupFolder.h"
#include "ui/Appearance.h"
#include "ui/TrayApplication.h"
#include "ui/VolumeRow.h"
#include "ui/Widgets.h"
#include "ui/windows/ConfigWindow.h"
#include "ui/windows/HelpWindow.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/SettingsView.h"
#include "update/UpdaterViewModel.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTextDocumentFragment>
#include <QToolButton>

#include <deque>
#include <fstream>

#include <sys/inotify.h>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;
using namespace keelbox::ui;
namespace fs = std::filesystem;

namespace {

// What a label, button or elided label shows; empty for any other widget.
QString textOf(const QWidget* widget) {
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text();
    if (auto* elided = qobject_cast<const ElidedLabel*>(widget))
        return elided->text();
    return {};
}

// Every text a user or a screen reader meets in `root`, hidden widgets included.
QStringList visibleTexts(const QWidget& root) {
    QStringList texts{root.windowTitle()};
    for (QWidget* widget : root.findChildren<QWidget*>()) {
        auto* box = qobject_cast<QGroupBox*>(widget);
        texts << (box ? box->title() : textOf(widget)) << widget->toolTip()
              << widget->accessibleName();
    }
    texts.removeIf([](const QString& t) { return t.trimmed().isEmpty(); });
    return texts;
}

// The part of `root` named `name`, or the top-level window of that name.
template <class Widget = QWidget> Widget* part(const QObject& root, const char* name) {
    return root.findChild<Widget*>(QLatin1String(name));
}
template <class Widget> Widget* window(const QString& name) {
    for (QWidget* candidate : QApplication::topLevelWidgets())
        if (candidate->objectName() == name)
            return qobject_cast<Widget*>(candidate);
    return nullptr;
}

// Texts of `window` drawn over each other or cut off: every shown label and button, by where it
// is visible on screen (inside its scroll areas).
QStringList layoutFaults(const QWidget& window) {
    std::vector<std::pair<QString, const QWidget*>> shown;
    QStringList faults;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        auto* label = qobject_cast<QLabel*>(w);
        auto* button = qobject_cast<QAbstractButton*>(w);
        const QString text = textOf(w);
        if (text.isEmpty() || !w->isVisible() || w->window() != &window ||
            w->visibleRegion().isEmpty())
            continue;
        if (label ? (label->wordWrap() ? label->heightForWidth(label->width()) > label->height()
                                       : label->sizeHint().width() > label->width())
                  : button && button->sizeHint().width() > button->width())
            faults << u"cut: "_s + text;
        shown.emplace_back(text, w);
    }
    const auto area = [&](const QWidget* w) {
        return w->visibleRegion().boundingRect().translated(w->mapTo(&window, QPoint()));
    };
    for (std::size_t i = 0; i < shown.size(); ++i)
        for (std::size_t j = i + 1; j < shown.size(); ++j)
            if (area(shown[i].second).intersects(area(shown[j].second)))
                faults << u"overlap: "_s + shown[i].first + u" / "_s + shown[j].first;
    return faults;
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
    Panel& panel() { return *window<Panel>(u"panel"_s); }
    // The drive rows in the order the panel lists them.
    VolumeRow* row(int i) { return panel().rows().value(i); }
};

} // namespace

class UiTest : public QObject {
    Q_OBJECT

private slots:
    void panelSectionsHeightAndTabOrder();
    void coloursKeepTheirContrast();
    void desktopSchemeAndQtTranslations();
    void rowStatus();
    void rowEnabledStatesFollowTheBackup();
    void languageSwitchAndLayouts();
    void panelPositionShowArgumentAndIcons();
    void qtDialogTakesFilesAndFolders();
    void addingSources();
    void editorControlsAndShortcuts();
    void destination();
    void draftFollowsTheDrive();
    void logRows();
    void settingsSwitchesAndUpdateRow();
    void outsideTextsStayText();
};

void UiTest::panelSectionsHeightAndTabOrder() {
    Ui ui;
    for (int i = 0; i < 12; ++i)
        ui.harness.addDrive(i < 2 ? u"TWIN"_s : u"D%1"_s.arg(i + 10));
    AppState& state = ui.start();
    Panel& panel = ui.panel();
    QVERIFY(part(panel, "recent")->isHidden()); // an empty log: no heading either
    for (int i = 0; i < 5; ++i) {
        LogEntry entry = failureWith(0);
        entry.message = "entry " + std::to_string(i);
        state.appendLog(entry);
    }
    ui.updater.foundUpdate(u"1.4.2"_s);
    panel.open();
    QVERIFY(QTest::qWaitForWindowActive(&panel));
    QStringList recent; // newest first, at most three
    for (ElidedLabel* line : panel.findChildren<ElidedLabel*>(u"recentLine"_s))
        if (line->isVisibleTo(&panel))
            recent << line->text();
    QCOMPARE(recent, (QStringList{u"entry 4"_s, u"entry 3"_s, u"entry 2"_s}));
    QVERIFY(part<QPushButton>(panel, "update")->text() == u"Update 1.4.2 available"_s &&
            !part(panel, "empty")->isVisible());
    // Twelve drives: the rows scroll, the footer stays in reach.
    const int available = panel.screen()->availableGeometry().height();
    QVERIFY2(panel.height() <= available &&
                 panel.findChild<QScrollArea*>()->verticalScrollBar()->maximum() > 0,
             qPrintable(u"%1 of %2"_s.arg(panel.height()).arg(available)));
    QVERIFY(panel.rect().contains(part(panel, "quit")->geometry()));
    // Two drives of one label are told apart by their mount folders.
    const QLabel* twin[] = {withText<QLabel>(*panel.rows()[10], u"TWIN-"_s),
                            withText<QLabel>(*panel.rows()[11], u"TWIN-"_s)};
    QVERIFY(twin[0] && twin[1] && twin[0]->text() != twin[1]->text());
    const int tall = panel.height();
    // One drive left: the panel shrinks back and nothing scrolls; a drive plugged in later
    // sorts first, and Tab reaches it first, both ways round.
    const auto unplug = [&](qsizetype keep) {
        for (const MountedVolume& volume : std::vector(ui.harness.monitor->volumes.begin() + keep,
                                                       ui.harness.monitor->volumes.end()))
            ui.harness.monitor->unplug(volume.mountPath);
    };
    unplug(1);
    ui.harness.addDrive(u"A"_s, std::nullopt, true);
    QTRY_COMPARE(panel.rows().size(), 2);
    QTRY_VERIFY(panel.height() < tall - 100 && panel.rows().first()->isVisible() &&
                panel.findChild<QScrollArea*>()->verticalScrollBar()->maximum() == 0);
    QList<QWidget*> expected{part(panel, "help"), panel.findChildren<QToolButton*>().at(1),
                             part<QPushButton>(panel, "update")};
    for (VolumeRow* row : panel.rows())
        expected << part(*row, "eject") << part(*row, "configure");
    expected << part(panel, "autoBackup") << withText(panel, u"Settings"_s)
             << withText(panel, u"Log"_s) << part(panel, "quit");
    QCOMPARE(panel.rows().first()->volume().name, "A");
    for (const Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab}) {
        part(panel, "help")->setFocus();
        QList<QWidget*> seen{QApplication::focusWidget()};
        for (int i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            seen << QApplication::focusWidget();
        }
        if (key == Qt::Key_Backtab)
            std::reverse(seen.begin() + 1, seen.end());
        QCOMPARE(seen, expected);
    }
    // No drive: the empty line; toggle, dividers and footer stay.
    unplug(0);
    QTRY_VERIFY(part(panel, "empty")->isVisible() && panel.rows().isEmpty());
    const auto dividers = panel.findChildren<QWidget*>(u"divider"_s);
    QVERIFY(part(panel, "autoBackup")->isVisible() && part(panel, "quit")->isVisible() &&
            std::ranges::all_of(dividers, &QWidget::isVisible));
    // A screen reader's toggle action (no click) stores the switch.
    part<QCheckBox>(panel, "autoBackup")->setChecked(false);
    QCOMPARE(ui.harness.preferences->boolValue(u"autoBackup"_s), std::optional(false));
}

// Every text colour against the window (and the text view) it is drawn on, under light, dark,
// KDE Breeze Dark (as Qt 6.4 reads it: the placeholder stays black at half opacity, the link
// Qt's dark blue) and high-contrast palettes.
void UiTest::coloursKeepTheirContrast() {
    const auto palette =
        [](QStringList colours) { // window, text, base, highlight (text), placeholder, link
            QPalette p = QApplication::style()->standardPalette();
            for (int i = 0;
                 const QPalette::ColorRole role :
                 {QPalette::Window, QPalette::WindowText, QPalette::Base, QPalette::Highlight,
                  QPalette::HighlightedText, QPalette::PlaceholderText, QPalette::Link})
                p.setColor(role, QColor(colours[i++]));
            p.setColor(QPalette::Text, p.color(QPalette::WindowText));
            return p;
        };
    const QPalette palettes[] = {QApplication::style()->standardPalette(), ui::darkPalette(),
                                 palette({u"#2a2e32"_s, u"#fcfcfc"_s, u"#1b1e20"_s, u"#3daee9"_s,
                                          u"#fcfcfc"_s, u"#80000000"_s, u"#0000ff"_s}),
                                 palette({u"#fff"_s, u"#000"_s, u"#fff"_s, u"#000"_s, u"#fff"_s,
                                          u"#c8000000"_s, u"#0000ee"_s}),
                                 palette({u"#000"_s, u"#fff"_s, u"#000"_s, u"#ff0"_s, u"#000"_s,
                                          u"#64ffffff"_s, u"#ff0"_s})};
    using C = Colour;
    for (int i = 0; const QPalette& p : palettes)
        for (const QPalette& on : {p, viewPalette(p)}) {
            const auto ratio = [&](C c, C under) {
                return contrastRatio(colour(c, on), under == C::selected
                                                        ? colour(under, on)
                                                        : on.color(QPalette::Window));
            };
            for (const C text : {C::primary, C::secondary, C::tertiary, C::green, C::red, C::orange,
                                 C::blue, C::link, C::brand, C::selectedText})
                QVERIFY2(ratio(text, text == C::selectedText ? C::selected : C::primary) >= 4.5,
                         qPrintable(u"palette %1, colour %2"_s.arg(i).arg(int(text))));
            QVERIFY2(ratio(C::accent, C::primary) >= 3 && ratio(C::selected, C::primary) >= 3,
                     qPrintable(u"palette %1"_s.arg(i++)));
        }
    // A colour that has the contrast stays as the theme gave it.
    QCOMPARE(colour(C::link, palettes[1]), QColor(0x79, 0xb8, 0xff));
}

void UiTest::desktopSchemeAndQtTranslations() {
    // GTK's settings files (below a configuration folder), read where the portal says nothing.
    const std::tuple<QString, QString, std::optional<Scheme>> files[] = {
        {u"xfce4/xfconf/xfce-perchannel-xml/xsettings.xml"_s,
         u"<property name=\"ThemeName\" type=\"string\" value=\"Adwaita-dark\"/>"_s, Scheme::dark},
        {u"gtk-3.0/settings.ini"_s, u"[Settings]\ngtk-theme-name=Greybird\n"_s, Scheme::light},
        {u"gtk-4.0/settings.ini"_s, u"[Settings]\ngtk-application-prefer-dark-theme=1\n"_s,
         Scheme::dark},
        {u"gtk-3.0/other.ini"_s, u""_s, std::nullopt}};
    for (const auto& [file, content, expected] : files) {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QFileInfo(home.filePath(file)).path());
        std::ofstream(home.filePath(file).toStdString()) << content.toStdString();
        QCOMPARE(gtkScheme(home.path()), expected);
    }
    // A light Qt palette turns dark when the desktop asks, and back; Qt's own texts (its file
    // dialogs) follow the language.
    Harness h;
    Appearance appearance(*h.localizer, false);
    appearance.applyScheme(Scheme::dark);
    QVERIFY(isDark(QApplication::palette()));
    appearance.applyScheme(std::nullopt);
    h.localizer->setLanguage(AppLanguage::polish);
    QVERIFY(!isDark(QApplication::palette()) &&
            QCoreApplication::translate("QFileDialog", "&Open") == u"&Otwórz"_s);
    h.localizer->setLanguage(AppLanguage::english);
    QCOMPARE(QCoreApplication::translate("QFileDialog", "&Open"), u"&Open"_s);
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
        // The status line, or the failed run's link.
        auto* failed = part<QPushButton>(row, "failed");
        const QString shown =
            failed->isVisibleTo(&row) ? failed->text() : part<ElidedLabel>(row, "status")->text();
        QCOMPARE(std::tuple(shown, part<QPushButton>(row, "configure")->text(),
                            part(row, "backup")->isEnabled(), part(row, "progress")->isVisible(),
                            part(row, "scanning")->isVisible()),
                 std::tuple(status, configured ? u"Configure…"_s : u"Set up…"_s, configured,
                            progress, status == u"Preparing…"_s));
        QCOMPARE(QString::fromStdString(formatVolumeLine(volume, AppLanguage::english)),
                 u"STICK (/media/STICK) — "_s + status); // the console's words are the row's
        if (progress)
            QCOMPARE(std::tuple(part<QProgressBar>(row, "bar")->value(),
                                part<QLabel>(row, "files")->text(),
                                part<QLabel>(row, "bytes")->text(),
                                part(row, "currentFile")->isVisible()),
                     std::tuple(999, u"7/9 files • 99%"_s, u"999 bytes / 1.0 kB"_s, true));
        if (kind == K::failed) { // shown as the button that opens the log
            failed->click();
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
        << keelbox::detail::encodeOwnerMark({config.driveID, {}, {}, 0});
    ui.harness.addDrive(u"PLAIN"_s);
    ui.harness.addDrive(u"CONF"_s, config);
    ui.harness.engine.hold = true;
    ui.harness.engine.progress = {BackupProgress{1, 2, 10, 20, "a.txt"}};
    AppState& state = ui.start();
    QTRY_VERIFY(ui.row(1));
    VolumeRow *conf = ui.row(0), *plain = ui.row(1);
    QCOMPARE(conf->volume().name, "CONF");
    // Configure, back up and eject: configure stays enabled, the others only while idle.
    const auto enabled = [](VolumeRow* row) {
        return std::tuple(part(*row, "configure")->isEnabled(), part(*row, "backup")->isEnabled(),
                          part(*row, "eject")->isEnabled());
    };
    QCOMPARE(std::tuple(enabled(conf), enabled(plain)),
             std::tuple(std::tuple(true, true, true), std::tuple(true, false, true)));
    part<QPushButton>(*conf, "backup")->click();
    QVERIFY(ui.harness.engine.waitForCalls(1));
    QCOMPARE(std::tuple(enabled(conf), enabled(plain)),
             std::tuple(std::tuple(true, false, false), std::tuple(true, false, true)));
    QVERIFY(ui.tray->toolTip().contains(u"Backing up CONF"_s));
    // Stop takes Back up now's place while the drive runs, named for screen readers.
    auto* stop = part<QPushButton>(*conf, "stop");
    QCOMPARE(std::pair(stop->isVisibleTo(conf), stop->accessibleName()),
             std::pair(true, u"Stop the backup of CONF"_s));
    stop->click();
    QVERIFY(settles(state));
    QVERIFY(enabled(conf) == std::tuple(true, true, true) &&
            !ui.tray->toolTip().contains(u"Backing up"_s));
    QVERIFY(ui.harness.engine.stoppedRuns == 1 && !stop->isVisibleTo(conf));
    // When the copy was made, and the button that opens it (none for the unconfigured drive).
    const QLabel* last = withText<QLabel>(*conf, u"Last backup: today "_s);
    QVERIFY(last && last->isVisibleTo(conf) && !part(*conf, "openCopy")->isHidden() &&
            part(*plain, "openCopy")->isHidden());
    part<QPushButton>(*conf, "openCopy")->click();
    QCOMPARE(ui.harness.opener->opened, std::vector<fs::path>{copy});
    // The help window opened twice is one window; Configure on one drive, then on the other, is
    // one configuration window following the choice.
    WindowRouter& router = *ui.tray->router();
    QSignalSpy shown(&router, &WindowRouter::windowShown);
    ui.panel().open();
    auto* helpButton = part<QToolButton>(ui.panel(), "help");
    helpButton->click();
    QTRY_COMPARE(shown.count(), 1);
    QWidget* help = router.window(helpWindow);
    QTest::keyClick(help, Qt::Key_Escape); // closes it, as it closes the panel
    QVERIFY(!help->isVisible());
    helpButton->click();
    QTRY_COMPARE(shown.count(), 2);
    QCOMPARE(std::tuple(router.window(helpWindow), help->isVisible(), help->windowTitle()),
             std::tuple(help, true, u"Keelbox Help"_s));
    for (VolumeRow* row : {conf, plain}) {
        part<QPushButton>(*row, "configure")->click();
        QCOMPARE(state.editingVolumeID(), row->volume().id);
    }
    QTRY_COMPARE(shown.count(), 4);
    const QWidgetList all = QApplication::topLevelWidgets();
    for (const QString& id : {helpWindow, configWindow})
        QCOMPARE(std::ranges::count(all, id + u"Window"_s, &QWidget::objectName), 1);
}

// Also run at 200 % scaling (ui.layouts_at_200_percent).
void UiTest::languageSwitchAndLayouts() {
    Ui ui;
    const MountedVolume stick = ui.harness.addDrive(u"STICK"_s, testConfig("STICK", false));
    ui.harness.addDrive(u"A DRIVE WITH A VERY LONG LABEL INDEED"_s);
    AppState& state = ui.start();
    state.setEditingVolumeID(ui.harness.idOf(stick));
    state.appendLog(failureWith(101));
    ui.updater.foundUpdate(u"2.0"_s);
    app::Localizer& localizer = *ui.harness.localizer;
    SettingsView settings(state, localizer, ui.updater,
                          {u"Maker"_s, u"help@example.org"_s, u"https://example.org"_s});
    HelpWindow help(localizer);
    ConfigWindow config(state, localizer, {});
    LogWindow log(state, localizer);
    ui.panel().open();
    const std::vector<QWidget*> windows{&ui.panel(), &settings, &help, &config, &log};
    for (QWidget* window : windows) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    // Nothing overlaps or is cut, and the settings' General tab fits without scrolling.
    const auto checkLayouts = [&] {
        QApplication::processEvents();
        for (QWidget* window : windows) {
            const QStringList faults = layoutFaults(*window);
            QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
        }
        auto* general = qobject_cast<QScrollArea*>(settings.findChild<QTabWidget*>()->widget(0));
        QCOMPARE(general->verticalScrollBar()->maximum(), 0);
    };
    checkLayouts();
    // Texts that are data (names, paths, sizes, logged messages, languages, links) or Qt's own.
    const QStringList data{
        u"Keelbox"_s,     u"STICK"_s,        u"Maker"_s,
        u"Polski"_s,      u"English"_s,      u"Zakończono z błędami"_s,
        u"Scroll Left"_s, u"Scroll Right"_s, u"A DRIVE WITH A VERY LONG LABEL INDEED"_s};
    const auto interfaceTexts = [&] {
        QStringList texts;
        for (QWidget* window : windows)
            texts << visibleTexts(*window);
        for (QAction* action : window<QMenu>(u"trayMenu"_s)->actions())
            if (!action->isSeparator())
                texts << action->text();
        texts.removeIf([&](const QString& t) {
            return data.contains(t) || t.contains(u"GB"_s) || t.startsWith(u"STICK • "_s) ||
                   t.startsWith(u'<') || t.startsWith(u'/') || t.startsWith(u"Ctrl+"_s);
        });
        return texts;
    };
    const QStringList english = interfaceTexts();
    // A log list out of sight is written in the new language only once it is shown.
    settings.findChild<QTabWidget*>()->setCurrentIndex(1);
    // As a screen reader's toggle action does: no click.
    withText(settings, u"Polski"_s)->setChecked(true);
    QVERIFY(localizer.language() == AppLanguage::polish && config.windowTitle() == u"STICK"_s);
    const QStringList polish = interfaceTexts();
    QVERIFY(polish.size() == english.size() && english.contains(u"Automatic backup on connect"_s));
    for (const QString& text : polish)
        QVERIFY2(!english.contains(text), qPrintable(u"\""_s + text + u"\" was not translated"_s));
    // The log's rows are written again; the texts it stored stay as they were.
    const QString logText = log.findChild<LogListView*>()->document()->toPlainText();
    for (const QString& text :
         {u"Szczegóły błędów (101):"_s, u"reason0"_s, u"…i 1 kolejny problem"_s})
        QVERIFY2(logText.contains(text), qPrintable(text));
    settings.findChild<QTabWidget*>()->setCurrentIndex(0);
    checkLayouts();
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
    // Toggled without a click, as a screen reader does: the draft follows all the same.
    mirror->setChecked(true);
    QVERIFY(warning->isVisible());
    auto radios = window.findChildren<QRadioButton*>();
    radios[1]->setChecked(true); // dated
    QVERIFY(!mirror->isVisible() && !warning->isVisible() &&
            window.draft().draft.deleteRemovedFiles &&
            window.draft().draft.mode == BackupMode::dated);
    radios[0]->setChecked(true);
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
    // A drive without rules starts from the state's fresh draft, with nothing to remove or run yet.
    state.setEditingVolumeID(h.idOf(first));
    QCOMPARE(window.windowTitle(), u"FIRST"_s);
    QVERIFY(window.draft().draft.sources.empty() &&
            withText(window, u"Remove configuration"_s)->isHidden() &&
            !withText(window, u"Save and run"_s)->isEnabled());
    // An edit outlives a language switch and the drive leaving and coming back.
    auto* field = window.findChild<QLineEdit*>();
    field->setText({});
    QTest::keyClicks(field, u"/edited"_s);
    h.localizer->setLanguage(AppLanguage::polish);
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
        LogEntry unnamed; // an event of no drive
        unnamed.message = "Settings changed";
        state.appendLog(unnamed);
        state.appendLog(failureWith(issues));
        QVERIFY(!empty->isVisible());
        QTextDocument& document = *window.findChild<LogListView*>()->document();
        const std::vector<QString> shownBoxes = issueBoxTexts(document);
        QCOMPARE(int(shownBoxes.size()), std::min(issues, 100));
        const QString text = document.toPlainText();
        // Read as text: no object replacement characters for the dots and bulbs, and no "•"
        // before the time of an event of no drive.
        QVERIFY(text.contains(u"Zakończono z błędami"_s) && text.contains(u"STICK • "_s) &&
                !text.contains(u'\uFFFC') && !text.contains(u"\n • "_s));
        QCOMPARE(std::tuple(text.contains(u"Error details (%1):"_s.arg(issues)),
                            text.contains(u"more issue"_s),
                            text.contains(u"…and 1 more issue\n"_s)),
                 std::tuple(issues > 0, issues > 100, issues > 100));
        if (issues == 0)
            continue;
        // A bare issue shows only its reason (and its hint), no empty lines.
        QCOMPARE((std::vector{shownBoxes[1], shownBoxes[2], shownBoxes[5]}),
                 (std::vector{u"Docs/f1\nreason1\nEIO"_s, u"reason2\nhint"_s, u"reason5"_s}));
        // Boxes are drawn on the first paint and after scrolling: a column left of their text
        // is mostly box.
        auto* view = window.findChild<LogTextView*>();
        QVERIFY(QTest::qWaitForWindowExposed(&window) && window.height() > 360); // not the minimum
        for (const bool bottom : {false, true}) {
            view->verticalScrollBar()->setValue(bottom ? view->verticalScrollBar()->maximum() : 0);
            const QImage image = view->viewport()->grab().toImage();
            int inBoxes = 0;
            for (int y = 0; y < image.height(); ++y)
                inBoxes += image.pixelColor(30, y) != view->palette().color(QPalette::Base);
            QVERIFY2(inBoxes > image.height() / 3, bottom ? "bottom" : "top");
        }
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
    const auto groups = view.findChildren<QGroupBox*>();
    QGroupBox* error = *std::ranges::find(groups, QString(), &QGroupBox::title);
    QVERIFY(!error->isVisible());
    // Toggled as a screen reader does (no click): the stored value follows, or the box shows
    // the refusal.
    boxes[0]->setChecked(true); // launch at login, refused
    QVERIFY(!boxes[0]->isChecked() && error->isVisible());
    boxes[1]->setChecked(false);
    state.setNotify(false);
    QVERIFY(!state.autoBackup() && !boxes[2]->isChecked() &&
            !view.findChild<QTabWidget*>()->tabIcon(1).isNull());
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

// Hostile labels through every place that shows one: the text shown is the name as the shared rule
// makes it, never markup, and no picture is loaded (one of them names a file watched for that).
void UiTest::outsideTextsStayText() {
    QTemporaryDir dir;
    const QString picture = dir.filePath(u"p.png"_s);
    QVERIFY(QImage(8, 8, QImage::Format_RGB32).save(picture));
    const int opened = ::inotify_init1(IN_NONBLOCK);
    QVERIFY(::inotify_add_watch(opened, QFile::encodeName(picture).constData(), IN_OPEN) >= 0);
    for (const QString& label :
         {u"<img src=/dev/zero>"_s, u"<img src=\"%1\">Photos"_s.arg(picture), u"Tom & Jerry [*]"_s,
          u"\u202Egpj.exe"_s, u"ST\u200BICK"_s, QString(300, u'W'), u"two\nlines"_s}) {
        const std::string raw = label.toStdString();
        const QString shown = QString::fromStdString(shownName(raw));
        Ui ui;
        const MountedVolume drive = ui.harness.addDrive(u"D"_s, testConfig(raw, false));
        ui.harness.monitor->volumes.back().name = label; // 300 characters make no folder name
        ui.harness.ejector->outcome = {false, label};
        ui.harness.engine.hold = true;
        AppState& state = ui.start();
        state.setEditingVolumeID(ui.harness.idOf(drive));
        state.startBackup(ui.harness.idOf(drive));
        QVERIFY(ui.tray->toolTip().endsWith(shown));
        ui.harness.engine.release();
        QVERIFY(settles(state));
        state.eject(ui.harness.idOf(drive));
        QTRY_VERIFY(state.lastError());
        ConfigWindow config(state, *ui.harness.localizer, {});
        SettingsView settings(state, *ui.harness.localizer, ui.updater);
        LogWindow log(state, *ui.harness.localizer);
        ui.panel().open();
        for (QWidget* window :
             std::initializer_list<QWidget*>{&ui.panel(), &config, &settings, &log}) {
            window->show();
            window->grab();
        }
        // Elided labels paint their text as it is; the others must be plain-text labels.
        QVERIFY2(withText<ElidedLabel>(*ui.row(0), shown) && withText<ElidedLabel>(config, shown),
                 qPrintable(label));
        const auto* failure = withText<QLabel>(settings, u"Failed to eject "_s + shown);
        QVERIFY2(failure && failure->textFormat() == Qt::PlainText, qPrintable(label));
        QCOMPARE(config.windowHandle()->title(), shown);
        QVERIFY(
            log.findChild<LogListView*>()->document()->toPlainText().contains(shown + u" • "_s));
        // As a markup-reading notification server shows it, and as `watch` prints it.
        const QString title = ui.harness.notifier->posted.at(0).title;
        QCOMPARE(
            QTextDocumentFragment::fromHtml(notificationText(title, maxNotificationTitle, true))
                .toPlainText(),
            u"Keelbox — \u2068"_s + shown + u"\u2069"_s);
        QVERIFY(formatVolumeLine(state.volumes().at(0), AppLanguage::english)
                    .starts_with(shownName(raw) + " ("));
    }
    inotify_event event{};
    QVERIFY(::read(opened, &event, sizeof event) < 0 && errno == EAGAIN);
    ::close(opened);
}

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
