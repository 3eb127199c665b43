// Update checks end to end: a signed feed served from 127.0.0.1 by a small HTTP server in this
// process, read by the checker, the service and its view model, the check dialog and
// `keelbox check-update`.

#include "update/UpdateDialog.h"
#include "update/UpdaterViewModel.h"
#include "update/Version.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

using namespace keelbox::update;
using namespace Qt::StringLiterals;

namespace {

// Answers each request from a table of paths; unknown paths get 404. A "hang" route accepts the
// connection and never answers.
class FeedServer : public QObject {
public:
    struct Route {
        int status = 200;
        QByteArray body;
        QByteArray location;
        bool hang = false;
    };

    FeedServer() {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            }
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(u"http://127.0.0.1:%1%2"_s.arg(m_server.serverPort()).arg(path));
    }

    QHash<QString, Route> routes;
    QStringList requests;

private:
    void answer(QTcpSocket* socket) {
        m_pending[socket] += socket->readAll();
        if (!m_pending[socket].contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(m_pending.take(socket).split(' ').value(1));
        requests << path;
        const Route route = routes.value(path, Route{404, "not here", {}, false});
        if (route.hang)
            return;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + " Status\r\n" +
                          "Content-Length: " + QByteArray::number(route.body.size()) +
                          "\r\nConnection: close\r\n";
        if (!route.location.isEmpty())
            head += "Location: " + route.location + "\r\n";
        socket->write(head + "\r\n" + route.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_pending;
};

struct KeyPair {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    KeyPair() { crypto_sign_keypair(publicKey, secretKey); }
    QByteArray publicBytes() const {
        return QByteArray(reinterpret_cast<const char*>(publicKey), sizeof publicKey);
    }
    QByteArray sign(const QByteArray& document) const {
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr,
                             reinterpret_cast<const unsigned char*>(document.constData()),
                             static_cast<unsigned long long>(document.size()), secretKey);
        return QByteArray(reinterpret_cast<const char*>(signature), sizeof signature).toBase64();
    }
};

QByteArray feedJson(const QString& version,
                    const QString& downloadPage = u"https://keelbox.test/get"_s) {
    return uR"json({"version": "%1", "displayVersion": "%1 (new)", "releaseDate": "2027-01-15",
                "releaseNotes": "Faster copies.\nFewer surprises.", "downloadPage": "%2"})json"_s
        .arg(version, downloadPage)
        .toUtf8();
}

enum class Scenario {
    newer,
    same,
    older,
    preReleaseOfOurs,
    notJson,
    fieldMissing,
    plainHttpDownloadPage,
    wrongKey,
    tampered,
    unsignedFeed,
    notFound,
    redirected,
    redirectLoop,
    redirectToPlainHttp,
    neverAnswers,
    oversized,
    insecureAddress,
    noKey,
};

} // namespace

class UpdateTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void versionOrder_data();
    void versionOrder();
    void checkOutcome_data();
    void checkOutcome();
    void viewModelFollowsChecks();
    void automaticChecksOffAsksNothing();
    void skippedVersionStaysQuiet();
    void dialogCancelAndFailure();
    void commandLine_data();
    void commandLine();

private:
    void serve(Scenario scenario);
    void publish(const QByteArray& feed, const KeyPair& signer);
    std::unique_ptr<UpdateService> service(bool automaticChecks);

    QTemporaryDir m_home;
    KeyPair m_key, m_otherKey;
    std::unique_ptr<FeedServer> m_server;
    CheckLimits m_limits;
};

void UpdateTest::initTestCase() {
    QVERIFY(sodium_init() >= 0);
    // The dialog's language and the command's settings come from here, never the real home.
    qputenv("XDG_CONFIG_HOME", m_home.filePath(u"config"_s).toLocal8Bit());
    m_limits.timeout = std::chrono::milliseconds(700);
    m_limits.maxBytes = 4096;
}

void UpdateTest::init() {
    m_server = std::make_unique<FeedServer>();
    QFile::remove(m_home.filePath(u"updates.ini"_s));
}

void UpdateTest::cleanup() {
    for (QWidget* window : QApplication::topLevelWidgets())
        delete qobject_cast<UpdateDialog*>(window);
    m_server.reset();
}

void UpdateTest::publish(const QByteArray& feed, const KeyPair& signer) {
    m_server->routes[u"/feed.json"_s] = {200, feed, {}, false};
    m_server->routes[u"/feed.json.sig"_s] = {200, signer.sign(feed), {}, false};
}

void UpdateTest::serve(Scenario scenario) {
    using S = Scenario;
    auto& routes = m_server->routes;
    switch (scenario) {
    case S::newer:
        return publish(feedJson(u"0.2.0"_s), m_key);
    case S::same:
        return publish(feedJson(u"0.1"_s), m_key);
    case S::older:
        return publish(feedJson(u"0.0.9"_s), m_key);
    case S::preReleaseOfOurs:
        return publish(feedJson(u"0.1.0-rc.2"_s), m_key);
    case S::notJson:
        return publish("<feed/>", m_key);
    case S::fieldMissing:
        return publish(R"({"version": "0.2.0"})", m_key);
    case S::plainHttpDownloadPage:
        return publish(feedJson(u"0.2.0"_s, u"http://keelbox.test/get"_s), m_key);
    case S::wrongKey:
        return publish(feedJson(u"0.2.0"_s), m_otherKey);
    case S::tampered:
        publish(feedJson(u"0.1.1"_s), m_key);
        routes[u"/feed.json"_s].body.replace("0.1.1", "9.9.9");
        return;
    case S::unsignedFeed:
        publish(feedJson(u"0.2.0"_s), m_key);
        routes.remove(u"/feed.json.sig"_s);
        return;
    case S::notFound:
        return;
    case S::redirected:
        publish(feedJson(u"0.2.0"_s), m_key);
        routes[u"/feed.json"_s].status = 302;
        routes[u"/feed.json"_s].location = "/v2/feed.json";
        routes[u"/v2/feed.json"_s] = {200, feedJson(u"0.2.0"_s), {}, false};
        return;
    case S::redirectLoop:
        routes[u"/feed.json"_s] = {301, {}, "/feed.json", false};
        return;
    case S::redirectToPlainHttp:
        routes[u"/feed.json"_s] = {302, {}, "http://keelbox.test/feed.json", false};
        return;
    case S::neverAnswers:
        routes[u"/feed.json"_s].hang = true;
        return;
    case S::oversized:
        return publish(QByteArray(m_limits.maxBytes + 1, ' ') + feedJson(u"0.2"_s), m_key);
    case S::insecureAddress:
    case S::noKey:
        return publish(feedJson(u"0.2.0"_s), m_key);
    }
}

std::unique_ptr<UpdateService> UpdateTest::service(bool automaticChecks) {
    auto settings =
        std::make_unique<QSettings>(m_home.filePath(u"updates.ini"_s), QSettings::IniFormat);
    settings->setValue(u"updates/automaticChecks"_s, automaticChecks);
    return std::make_unique<UpdateService>(
        FeedSource{m_server->url(u"/feed.json"_s), m_key.publicBytes()}, u"0.1.0"_s,
        std::move(settings), m_limits);
}

void UpdateTest::versionOrder_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("numbers, not text") << "1.10"
                                       << "1.9" << 1;
    QTest::newRow("missing parts are zero") << "1.2"
                                            << "1.2.0" << 0;
    QTest::newRow("leading v") << "v2.0"
                               << "1.99.99" << 1;
    QTest::newRow("build metadata ignored") << "1.0+build.5"
                                            << "1.0" << 0;
    QTest::newRow("pre-release before release") << "1.0.0-beta"
                                                << "1.0.0" << -1;
    QTest::newRow("pre-release of the next") << "1.0.1-alpha"
                                             << "1.0.0" << 1;
    QTest::newRow("shorter pre-release first") << "1.0.0-alpha"
                                               << "1.0.0-alpha.1" << -1;
    QTest::newRow("numeric identifiers") << "1.0.0-alpha.2"
                                         << "1.0.0-alpha.10" << -1;
    QTest::newRow("numbers before words") << "1.0.0-alpha.1"
                                          << "1.0.0-alpha.beta" << -1;
    QTest::newRow("words in order") << "1.0.0-rc.1"
                                    << "1.0.0-beta.11" << 1;
}

void UpdateTest::versionOrder() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    const auto va = parseVersion(a.toStdString()), vb = parseVersion(b.toStdString());
    QVERIFY(va && vb);
    QCOMPARE(compareVersions(*va, *vb), order);
    QCOMPARE(compareVersions(*vb, *va), -order);
    for (const char* text : {"", "1..2", "1.x", "1.0-", "1.0-a..b", "abc", "-1", "1.0 "}) {
        QVERIFY2(!parseVersion(text), text);
        QVERIFY(!isNewerVersion(text, "0.0.1"));
    }
}

void UpdateTest::checkOutcome_data() {
    using O = CheckResult::Outcome;
    using F = CheckFailure;
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<O>("outcome");
    QTest::addColumn<F>("failure");
    QTest::addColumn<int>("requests");
    QTest::newRow("newer") << Scenario::newer << O::updateFound << F::none << 2;
    QTest::newRow("same version") << Scenario::same << O::upToDate << F::none << 2;
    QTest::newRow("older") << Scenario::older << O::upToDate << F::none << 2;
    QTest::newRow("our pre-release") << Scenario::preReleaseOfOurs << O::upToDate << F::none << 2;
    QTest::newRow("not json") << Scenario::notJson << O::failed << F::malformedFeed << 2;
    QTest::newRow("field missing") << Scenario::fieldMissing << O::failed << F::malformedFeed << 2;
    QTest::newRow("http download page")
        << Scenario::plainHttpDownloadPage << O::failed << F::malformedFeed << 2;
    QTest::newRow("other key") << Scenario::wrongKey << O::failed << F::badSignature << 2;
    QTest::newRow("tampered") << Scenario::tampered << O::failed << F::badSignature << 2;
    QTest::newRow("unsigned") << Scenario::unsignedFeed << O::failed << F::unsigned_ << 2;
    QTest::newRow("404") << Scenario::notFound << O::failed << F::httpStatus << 1;
    QTest::newRow("redirected") << Scenario::redirected << O::updateFound << F::none << 3;
    QTest::newRow("redirect loop")
        << Scenario::redirectLoop << O::failed << F::tooManyRedirects << 6;
    QTest::newRow("redirect to http")
        << Scenario::redirectToPlainHttp << O::failed << F::insecureAddress << 1;
    QTest::newRow("never answers") << Scenario::neverAnswers << O::failed << F::timeout << 1;
    QTest::newRow("oversized") << Scenario::oversized << O::failed << F::tooLarge << 1;
    QTest::newRow("http address") << Scenario::insecureAddress << O::failed << F::insecureAddress
                                  << 0;
    QTest::newRow("no key") << Scenario::noKey << O::failed << F::noFeed << 0;
}

void UpdateTest::checkOutcome() {
    QFETCH(Scenario, scenario);
    QFETCH(CheckResult::Outcome, outcome);
    QFETCH(CheckFailure, failure);
    QFETCH(int, requests);
    serve(scenario);
    FeedSource source{m_server->url(u"/feed.json"_s), m_key.publicBytes()};
    if (scenario == Scenario::insecureAddress)
        source.address = QUrl(u"http://keelbox.test/feed.json"_s);
    if (scenario == Scenario::noKey)
        source.publicKey.clear();
    UpdateChecker checker(source, u"0.1.0"_s, m_limits);
    QSignalSpy finished(&checker, &UpdateChecker::finished);
    QVERIFY(checker.start());
    QVERIFY(!checker.start()); // one at a time
    QVERIFY(finished.wait(5000));
    const auto result = finished.at(0).at(0).value<CheckResult>();
    QCOMPARE(result.outcome, outcome);
    QCOMPARE(result.failure, failure);
    QCOMPARE(m_server->requests.size(), requests);
    QVERIFY(!checker.isChecking());
    if (outcome == CheckResult::Outcome::updateFound) {
        QCOMPARE(result.entry.displayVersion, u"0.2.0 (new)"_s);
        QCOMPARE(result.entry.releaseDate, QDate(2027, 1, 15));
        QCOMPARE(result.entry.downloadPage, QUrl(u"https://keelbox.test/get"_s));
    }
    if (failure != CheckFailure::none)
        QVERIFY(!failureText(result, keelbox::AppLanguage::polish).empty());
}

void UpdateTest::viewModelFollowsChecks() {
    serve(Scenario::newer);
    auto updates = service(true);
    UpdaterViewModel model(updates.get());
    QSignalSpy canCheck(&model, &UpdaterViewModel::canCheckForUpdatesChanged);
    QVERIFY(!model.canCheckForUpdates()); // the check at start runs
    QTRY_VERIFY(model.updateAvailable());
    QCOMPARE(model.availableVersionString(), u"0.2.0 (new)"_s);
    QCOMPARE(canCheck.size(), 1);
    QVERIFY(model.canCheckForUpdates());

    // A check that fails leaves the update announced.
    m_server->routes.clear();
    QVERIFY(updates->check(UpdateService::CheckKind::background));
    QTRY_VERIFY(model.canCheckForUpdates());
    QCoreApplication::processEvents();
    QVERIFY(model.updateAvailable());

    // The user checks (through the dialog) and the feed now has our version: both values clear.
    serve(Scenario::same);
    model.checkForUpdates();
    QVERIFY(!model.canCheckForUpdates());
    QTRY_VERIFY(!model.updateAvailable());
    QVERIFY(model.availableVersionString().isEmpty());
    auto* dialog = UpdateDialog::open(*updates);
    QVERIFY(dialog);
    QCOMPARE(dialog->stage(), UpdateDialog::Stage::upToDate);
    QCOMPARE(m_server->requests.size(), 5);
}

void UpdateTest::automaticChecksOffAsksNothing() {
    serve(Scenario::newer);
    auto updates = service(false);
    UpdaterViewModel model(updates.get());
    QVERIFY(model.canCheckForUpdates());
    QVERIFY(!updates->checker().isChecking());
    QTest::qWait(200);
    QVERIFY(m_server->requests.isEmpty());
    QVERIFY(!model.updateAvailable());

    // A build without a feed: nothing to check, nothing to switch on.
    UpdateService none(
        {}, u"0.1.0"_s,
        std::make_unique<QSettings>(m_home.filePath(u"none.ini"_s), QSettings::IniFormat));
    UpdaterViewModel without(&none);
    without.setAutomaticChecks(true);
    QVERIFY(!without.canCheckForUpdates());
    QVERIFY(!without.automaticChecks());
}

void UpdateTest::skippedVersionStaysQuiet() {
    serve(Scenario::newer);
    auto updates = service(false);
    UpdaterViewModel model(updates.get());
    model.checkForUpdates();
    auto* dialog = UpdateDialog::open(*updates);
    QTRY_COMPARE(dialog->stage(), UpdateDialog::Stage::found);
    QTRY_VERIFY(model.updateAvailable());
    QPointer<UpdateDialog> watched = dialog;
    dialog->findChild<QPushButton*>(u"skip"_s)->click();
    QTRY_VERIFY(!watched);
    QTRY_VERIFY(!model.updateAvailable());
    QCOMPARE(updates->skippedVersion(), u"0.2.0"_s);

    // Automatic checks keep quiet about it, across a restart of the service.
    auto again = service(true);
    UpdaterViewModel restarted(again.get());
    QSignalSpy finished(again.get(), &UpdateService::checkFinished);
    QVERIFY(finished.wait(5000));
    QCoreApplication::processEvents();
    QVERIFY(!restarted.updateAvailable());
}

void UpdateTest::dialogCancelAndFailure() {
    serve(Scenario::neverAnswers);
    m_limits.timeout = std::chrono::seconds(30);
    auto updates = service(false);
    m_limits.timeout = std::chrono::milliseconds(700);
    UpdaterViewModel model(updates.get());
    QPointer<UpdateDialog> dialog = UpdateDialog::open(*updates);
    QCOMPARE(dialog->stage(), UpdateDialog::Stage::checking);
    QVERIFY(!model.canCheckForUpdates());
    dialog->findChild<QPushButton*>(u"cancel"_s)->click();
    QTRY_VERIFY(!dialog);
    QVERIFY(model.canCheckForUpdates());

    serve(Scenario::wrongKey);
    dialog = UpdateDialog::open(*updates);
    QTRY_COMPARE(dialog->stage(), UpdateDialog::Stage::failed);
    bool explained = false;
    for (QLabel* label : dialog->findChildren<QLabel*>())
        explained |= label->text().contains(u"signature"_s);
    QVERIFY(explained);
    QVERIFY(!model.updateAvailable());
}

void UpdateTest::commandLine_data() {
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::newRow("update") << Scenario::newer << QStringList() << 10 << u"0.2.0 (new)"_s;
    QTest::newRow("up to date") << Scenario::same << QStringList() << 0 << u"up to date"_s;
    QTest::newRow("tampered") << Scenario::tampered << QStringList() << 1 << u"signature"_s;
    QTest::newRow("polish") << Scenario::unsignedFeed << QStringList{u"--language"_s, u"pl"_s} << 1
                            << u"nie jest podpisany"_s;
    QTest::newRow("bad key") << Scenario::newer << QStringList{u"--public-key"_s, u"abc"_s} << 2
                             << u"Ed25519"_s;
}

void UpdateTest::commandLine() {
    QFETCH(Scenario, scenario);
    QFETCH(QStringList, extra);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    serve(scenario);
    QProcess process;
    process.start(QStringLiteral(KEELBOX_BINARY),
                  QStringList{u"check-update"_s, u"--feed"_s,
                              m_server->url(u"/feed.json"_s).toString(), u"--public-key"_s,
                              QString::fromLatin1(m_key.publicBytes().toBase64())} +
                      extra);
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 20000);
    QCOMPARE(process.exitCode(), exitCode);
    const QString printed =
        QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    QVERIFY2(printed.contains(output), qPrintable(printed));
}

QTEST_MAIN(UpdateTest)
#include "tst_update.moc"
