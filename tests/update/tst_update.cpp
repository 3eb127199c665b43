// Update checks of a signed feed served from 127.0.0.1 by this process: the checker, the service,
// its view model, the check dialog and `keelbox check-update`.

#include "ui/UpdateDialog.h"
#include "update/UpdaterViewModel.h"
#include "update/Version.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

using namespace keelbox::app;
using namespace keelbox::update;
using namespace Qt::StringLiterals;

namespace {

// Answers paths from a table of status and body (a 3xx's Location, a 4xx's or 5xx's reason
// phrase too); unknown: 404, status 0: silence.
class FeedServer : public QTcpServer {
public:
    FeedServer() {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(u"http://127.0.0.1:%1%2"_s.arg(serverPort()).arg(path));
    }

    QHash<QString, std::pair<int, QByteArray>> routes;
    QStringList requests;

private:
    void answer(QTcpSocket* socket) {
        QByteArray& request = m_pending[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        requests << QString::fromLatin1(request.split(' ').value(1));
        const auto [status, body] = routes.value(requests.last(), {404, "not here"});
        if (status == 0)
            return;
        const QByteArray location = status / 100 == 3 ? "Location: " + body + "\r\n" : "";
        const QByteArray content = location.isEmpty() ? body : "";
        const QByteArray phrase = status >= 400 ? body : "Status";
        socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + phrase + "\r\n" + location +
                      "Content-Length: " + QByteArray::number(content.size()) + "\r\n\r\n" +
                      content);
        socket->disconnectFromHost();
    }

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

using Setup = std::function<void(FeedSource&)>;

} // namespace

class UpdateTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void versionOrder();
    void checkOutcome();
    void viewModelFollowsChecks();
    void feedAddressOverrides();
    void dialogCancelSkipAndFailure();

private:
    void publish(const QByteArray& feed, const KeyPair& signer) {
        m_server->routes[u"/feed.json"_s] = {200, feed};
        m_server->routes[u"/feed.json.sig"_s] = {200, signer.sign(feed)};
    }
    Setup feed(const QByteArray& document) {
        return [=, this](FeedSource&) { publish(document, m_key); };
    }
    Setup answer(int status, const QByteArray& body) {
        return [=, this](FeedSource&) { m_server->routes[u"/feed.json"_s] = {status, body}; };
    }
    std::unique_ptr<UpdateService> service(bool automaticChecks) {
        auto preferences = std::make_shared<Preferences>(m_home.filePath(u"updates.ini"_s));
        preferences->setBool(PreferenceKey::automaticChecks, automaticChecks);
        return std::make_unique<UpdateService>(
            FeedSource{m_server->url(u"/feed.json"_s), m_key.publicBytes()}, u"0.1.0"_s,
            std::move(preferences), m_limits);
    }

    QTemporaryDir m_home;
    KeyPair m_key, m_otherKey;
    std::unique_ptr<FeedServer> m_server;
    CheckLimits m_limits{std::chrono::milliseconds(700), 4096};
};

void UpdateTest::initTestCase() {
    QVERIFY(sodium_init() >= 0);
    // The dialog's language and the command's settings come from here, never the real home.
    qputenv("XDG_CONFIG_HOME", m_home.filePath(u"config"_s).toLocal8Bit());
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

void UpdateTest::versionOrder() {
    const std::tuple<const char*, const char*, int> rows[] = {
        {"1.10", "1.9", 1},                        // numbers, not text
        {"1.2", "1.2.0", 0},                       // missing parts are zero
        {"v2.0", "1.99.99", 1},                    // leading v
        {"1.0+build.5", "1.0", 0},                 // build metadata ignored
        {"1.0.0-beta", "1.0.0", -1},               // pre-release before release
        {"1.0.1-alpha", "1.0.0", 1},               // pre-release of the next
        {"1.0.0-alpha", "1.0.0-alpha.1", -1},      // shorter pre-release first
        {"1.0.0-alpha.2", "1.0.0-alpha.10", -1},   // numeric identifiers
        {"1.0.0-alpha.1", "1.0.0-alpha.beta", -1}, // numbers before words
        {"1.0.0-rc.1", "1.0.0-beta.11", 1}};       // words in order
    for (const auto& [a, b, order] : rows) {
        const auto va = parseVersion(a), vb = parseVersion(b);
        QVERIFY2(va && vb && compareVersions(*va, *vb) == order &&
                     compareVersions(*vb, *va) == -order,
                 a);
    }
    for (const char* text : {"", "1..2", "1.x", "1.0-", "1.0-a..b", "abc", "-1", "1.0 "})
        QVERIFY2(!parseVersion(text) && !isNewerVersion(text, "0.0.1"), text);
}

void UpdateTest::checkOutcome() {
    using O = CheckResult::Outcome;
    using F = CheckFailure;
    // Where `printed` is set, `keelbox check-update` runs too: the same outcome in its exit status,
    // and the server's words printed inert. (A newer version is found in the hostile-notes row,
    // whose entry is checked like any other found one.)
    const struct Row {
        const char* tag;
        O outcome;
        F failure;
        int requests;
        QString printed;
        Setup setup;
    } rows[] = {
        {"same version", O::upToDate, F::none, 2, u"0.1.0"_s, feed(feedJson(u"0.1"_s))},
        {"field missing", O::failed, F::malformedFeed, 2, QString(),
         feed(R"({"version": "0.2.0", "displayVersion": "0.2"})")},
        {"http download page", O::failed, F::malformedFeed, 2, QString(),
         feed(feedJson(u"0.2.0"_s, u"http://127.0.0.1/get"_s))},
        {"absurd version", O::failed, F::malformedFeed, 2, QString(),
         feed(feedJson(u"1."_s.repeated(40) + u'0'))},
        {"hostile notes", O::updateFound, F::none, 2, u"\\x1B]0;owned\\x07\\u202EFaster"_s,
         feed(feedJson(u"0.2.0"_s).replace("Faster", "\\u001b]0;owned\\u0007\\u202eFaster"))},
        {"hostile reason", O::failed, F::httpStatus, 1, u"503 Busy \\x1B[2J"_s,
         answer(503, "Busy \x1b[2J")},
        {"tampered", O::failed, F::badSignature, 2, u"signature"_s,
         [this](FeedSource&) {
             publish(feedJson(u"0.1.1"_s), m_key);
             m_server->routes[u"/feed.json"_s].second.replace("0.1.1", "9.9.9");
         }},
        {"unsigned", O::failed, F::unsigned_, 2, QString(),
         [this](FeedSource&) {
             publish(feedJson(u"0.2.0"_s), m_key);
             m_server->routes.remove(u"/feed.json.sig"_s);
         }},
        {"redirect loop", O::failed, F::tooManyRedirects, 6, QString(), answer(301, "/feed.json")},
        {"three redirects for each file", O::updateFound, F::none, 8, QString(),
         [this](FeedSource&) {
             publish(feedJson(u"0.2.0"_s), m_key);
             for (const QString& file : {u"/feed.json"_s, u"/feed.json.sig"_s}) {
                 m_server->routes[file + u'3'] = m_server->routes[file];
                 for (int hop = 0; hop < 3; ++hop)
                     m_server->routes[hop ? file + QString::number(hop) : file] = {
                         302, (file + QString::number(hop + 1)).toUtf8()};
             }
         }},
        {"redirect to http", O::failed, F::insecureAddress, 1, QString(),
         answer(302, "http://keelbox.test/feed.json")},
        {"never answers", O::failed, F::timeout, 1, QString(), answer(0, {})},
        {"oversized", O::failed, F::tooLarge, 1, QString(),
         feed(QByteArray(m_limits.maxBytes + 1, ' ') + feedJson(u"0.2"_s))},
        {"http address", O::failed, F::insecureAddress, 0, QString(),
         [](FeedSource& s) { s.address = QUrl(u"http://keelbox.test/feed.json"_s); }},
        {"no key", O::failed, F::noFeed, 0, QString(), [](FeedSource& s) { s.publicKey.clear(); }},
    };
    for (const Row& row : rows) {
        init();
        FeedSource source{m_server->url(u"/feed.json"_s), m_key.publicBytes()};
        row.setup(source);
        UpdateChecker checker(source, u"0.1.0"_s, m_limits);
        QSignalSpy finished(&checker, &UpdateChecker::finished);
        QVERIFY(checker.start() && !checker.start()); // one at a time
        QVERIFY2(finished.wait(5000), row.tag);
        const auto result = finished.at(0).at(0).value<CheckResult>();
        QCOMPARE(std::tuple(result.outcome, result.failure, int(m_server->requests.size()),
                            checker.isChecking(), row.tag),
                 std::tuple(row.outcome, row.failure, row.requests, false, row.tag));
        if (!row.printed.isEmpty()) {
            QProcess command;
            command.start(QStringLiteral(KEELBOX_BINARY),
                          {u"check-update"_s, u"--feed"_s, source.address.toString(),
                           u"--public-key"_s, QString::fromLatin1(source.publicKey.toBase64())});
            QTRY_COMPARE_WITH_TIMEOUT(command.state(), QProcess::NotRunning, 20000);
            QCOMPARE(command.exitCode(),
                     row.outcome == O::updateFound ? 10 : int(row.outcome == O::failed));
            const QString printed =
                QString::fromUtf8(command.readAllStandardOutput() + command.readAllStandardError());
            QVERIFY2(printed.contains(row.printed) && !printed.contains(u'\x1b'),
                     qPrintable(printed));
        }
        if (row.outcome == O::updateFound)
            QCOMPARE(std::tuple(result.entry.displayVersion, result.entry.releaseDate,
                                result.entry.downloadPage),
                     std::tuple(u"0.2.0 (new)"_s, QDate(2027, 1, 15),
                                QUrl(u"https://keelbox.test/get"_s)));
        if (row.failure != F::none)
            QVERIFY(!failureText(result, keelbox::AppLanguage::polish).empty());
    }
}

void UpdateTest::viewModelFollowsChecks() {
    publish(feedJson(u"0.2.0"_s), m_key);
    auto updates = service(true);
    UpdaterViewModel model(updates.get());
    UpdateDialog::showChecksOf(model);
    QSignalSpy canCheck(&model, &UpdaterViewModel::canCheckForUpdatesChanged);
    QVERIFY(!model.canCheckForUpdates()); // the check at start runs
    QTRY_VERIFY(model.updateAvailable());
    QCOMPARE(std::tuple(model.availableVersionString(), int(canCheck.size()),
                        model.canCheckForUpdates()),
             std::tuple(u"0.2.0 (new)"_s, 1, true));
    // A check that fails leaves the update announced; one that finds our version clears it.
    m_server->routes.clear();
    QVERIFY(updates->check(UpdateService::CheckKind::background));
    QTRY_VERIFY(model.canCheckForUpdates());
    QCoreApplication::processEvents();
    QVERIFY(model.updateAvailable());
    publish(feedJson(u"0.1"_s), m_key);
    model.checkForUpdates();
    QTRY_VERIFY(!model.updateAvailable() && model.availableVersionString().isEmpty());
    QCOMPARE(UpdateDialog::open(*updates)->stage(), UpdateDialog::Stage::upToDate);
    QCOMPARE(m_server->requests.size(), 5);
}

void UpdateTest::feedAddressOverrides() {
    const FeedSource built{QUrl(u"https://a.test/feed"_s), m_key.publicBytes()};
    Preferences settings(m_home.filePath(u"admin.ini"_s));
    QProcessEnvironment environment;
    const auto host = [&] { return configuredFeed(built, settings, environment).address.host(); };
    QCOMPARE(host(), u"a.test"_s);
    settings.setString(PreferenceKey::feedAddress, u"https://b.test/feed"_s);
    QCOMPARE(host(), u"b.test"_s);
    environment.insert(u"KEELBOX_UPDATE_FEED"_s, u"http://127.0.0.1:1/feed"_s);
    QCOMPARE(host(), u"127.0.0.1"_s);
    // Without a feed built in, nothing set at run time makes one.
    QVERIFY(!configuredFeed({}, settings, environment).usable());
    UpdateService none({}, u"0.1.0"_s,
                       std::make_shared<Preferences>(m_home.filePath(u"none.ini"_s)));
    UpdaterViewModel without(&none);
    without.setAutomaticChecks(true);
    QVERIFY(!without.canCheckForUpdates() && !without.automaticChecks());
}

void UpdateTest::dialogCancelSkipAndFailure() {
    m_server->routes[u"/feed.json"_s] = {0, {}};
    auto updates = service(false);
    UpdaterViewModel model(updates.get());
    // With automatic checks off nothing is asked until the user checks.
    QTest::qWait(200);
    QVERIFY(model.canCheckForUpdates() && m_server->requests.isEmpty());
    QPointer<UpdateDialog> dialog = UpdateDialog::open(*updates);
    QVERIFY(dialog->stage() == UpdateDialog::Stage::checking && !model.canCheckForUpdates());
    dialog->findChild<QPushButton*>(u"cancel"_s)->click();
    QTRY_VERIFY(!dialog && model.canCheckForUpdates());

    publish(feedJson(u"0.2.0"_s), m_key);
    dialog = UpdateDialog::open(*updates);
    QTRY_VERIFY(dialog->stage() == UpdateDialog::Stage::found && model.updateAvailable());
    dialog->findChild<QPushButton*>(u"skip"_s)->click();
    QTRY_VERIFY(!dialog && !model.updateAvailable());
    QCOMPARE(updates->skippedVersion(), u"0.2.0"_s);
    // Automatic checks keep quiet about it, across a restart of the service.
    auto again = service(true);
    UpdaterViewModel restarted(again.get());
    QSignalSpy finished(again.get(), &UpdateService::checkFinished);
    QVERIFY(finished.wait(5000));
    QCoreApplication::processEvents();
    QVERIFY(!restarted.updateAvailable());

    publish(feedJson(u"0.2.0"_s), m_otherKey);
    dialog = UpdateDialog::open(*updates);
    QTRY_COMPARE(dialog->stage(), UpdateDialog::Stage::failed);
    QVERIFY(dialog->findChild<QLabel*>(u"message"_s)->text().contains(u"signature"_s));
}

QTEST_MAIN(UpdateTest)
#include "tst_update.moc"
