// The settings, log and help windows on the application state's fakes, and their registration
// with the window router.

#include "Fakes.h"

#include "ui/WindowRouter.h"
#include "ui/windows/ConfigWindow.h"
#include "ui/windows/HelpWindow.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/SettingsView.h"
#include "update/UpdaterViewModel.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextDocument>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;
using namespace keelbox::ui;

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

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT

private slots:
    void logRows_data();
    void logRows();
    void logFollowsTheLanguage();
    void settingsSwitchesAndLoginRefusal();
    void settingsUpdateRow_data();
    void settingsUpdateRow();
    void languageSwitchChangesEveryWindow();
};

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
    if (!more.isEmpty())
        QVERIFY(text.contains(more));
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

void WindowsTest::logFollowsTheLanguage() {
    Harness h;
    AppState& state = h.make();
    state.appendLog(failureWith(101));
    LogWindow window(state, *h.localizer);
    window.show();
    h.localizer->setLanguage(AppLanguage::polish);
    QCOMPARE(window.windowTitle(), u"Dziennik Keelbox"_s);
    const QString text = window.list()->document()->toPlainText();
    QVERIFY(text.contains(u"Szczegóły błędów (101):"_s));
    QVERIFY(text.contains(u"…i 1 więcej problemów"_s));
    QVERIFY(text.contains(u"reason0"_s)); // stored texts stay as they were
    QCOMPARE(timeOfDayText(Date{}, QLocale(u"en_US"_s)), u"12:00:00 AM"_s);
    QCOMPARE(timeOfDayText(Date{} + std::chrono::hours(13), QLocale(u"pl_PL"_s)), u"13:00:00"_s);
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
    QPushButton* check = nullptr;
    for (QPushButton* button : view.findChildren<QPushButton*>())
        if (button->text() == u"Check for Updates…"_s)
            check = button;
    QCOMPARE(check->isEnabled(), canCheck);
}

void WindowsTest::languageSwitchChangesEveryWindow() {
    Harness h;
    const MountedVolume drive = h.addDrive(u"STICK"_s);
    AppState& state = h.started();
    state.setEditingVolumeID(h.idOf(drive));
    state.appendLog(failureWith(1));
    update::UpdaterViewModel updater;
    SettingsView settings(state, *h.localizer, updater);
    HelpWindow help(*h.localizer);
    ConfigWindow config(state, *h.localizer, {});
    const std::vector<QWidget*> windows{&settings, &help, &config};
    std::vector<QStringList> english;
    for (QWidget* window : windows)
        english.push_back(visibleTexts(*window));

    // Through the segmented control.
    for (QPushButton* button : settings.findChildren<QPushButton*>())
        if (button->text() == u"Polski"_s)
            button->click();
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
}

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
