// One instance per user session, across real processes, and the watch command's arguments.

#include "app/Console.h"
#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <iostream>

using namespace keelbox;
using namespace keelbox::app;

namespace {

const char* const helperVariable = "KEELBOX_INSTANCE_HELPER";

// Child process mode: claim in the given folder, report, then either exit or hold the claim
// until killed.
int runHelper(const QString& mode, const QString& runtimeDir) {
    SingleInstance instance(runtimeDir);
    const SingleInstance::Claim claim = instance.claim();
    std::cout << (claim == SingleInstance::Claim::primary      ? "primary"
                  : claim == SingleInstance::Claim::handedOver ? "handedOver"
                                                               : "failed")
              << std::endl;
    if (mode == QLatin1String("hold") && claim == SingleInstance::Claim::primary) {
        QObject::connect(&instance, &SingleInstance::activationRequested,
                         [] { std::cout << "activated" << std::endl; });
        return QCoreApplication::exec();
    }
    return claim == SingleInstance::Claim::primary      ? 0
           : claim == SingleInstance::Claim::handedOver ? 10
                                                        : 20;
}

struct Helper {
    QProcess process;
    void start(const QString& mode, const QString& runtimeDir) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(helperVariable),
                           mode + QLatin1Char(':') + runtimeDir);
        process.setProcessEnvironment(environment);
        process.start(QCoreApplication::applicationFilePath(), {});
    }
    QString firstLine() {
        if (!process.waitForReadyRead(10000))
            return {};
        return QString::fromUtf8(process.readLine()).trimmed();
    }
};

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

private slots:
    void secondInstanceHandsOverAndAKilledOneIsReplaced();
    void watchArguments_data();
    void watchArguments();
};

void InstanceTest::secondInstanceHandsOverAndAKilledOneIsReplaced() {
    QTemporaryDir runtime;
    // In this process.
    {
        SingleInstance first(runtime.path());
        QCOMPARE(first.claim(), SingleInstance::Claim::primary);
        QSignalSpy activated(&first, &SingleInstance::activationRequested);
        QSignalSpy shown(&first, &SingleInstance::showRequested);
        // A plain launch, then `--show log` with a desktop's activation token (spaces and
        // slashes travel intact).
        for (const auto& [what, token] :
             {std::pair{QString(), QString()}, {QStringLiteral("log"), QStringLiteral("id 7/x")}}) {
            SingleInstance second(runtime.path());
            if (!what.isEmpty())
                second.setRequest(what, token);
            QCOMPARE(second.claim(), SingleInstance::Claim::handedOver);
            QTRY_COMPARE_WITH_TIMEOUT(shown.count(), what.isEmpty() ? 1 : 2, 5000);
            QCOMPARE(shown.last(), (QVariantList{what, token}));
        }
        QCOMPARE(activated.count(), 2);
        // Another name is another instance.
        SingleInstance other(runtime.path(), QStringLiteral("keelbox-other"));
        QCOMPARE(other.claim(), SingleInstance::Claim::primary);
    }
    // Across processes, this one handing over too while the first runs.
    Helper first;
    first.start(QStringLiteral("hold"), runtime.path());
    QCOMPARE(first.firstLine(), QStringLiteral("primary"));
    Helper second;
    second.start(QStringLiteral("once"), runtime.path());
    QVERIFY(second.process.waitForFinished(15000));
    QCOMPARE(second.process.exitCode(), 10);
    QCOMPARE(first.firstLine(), QStringLiteral("activated"));
    SingleInstance local(runtime.path());
    QCOMPARE(local.claim(), SingleInstance::Claim::handedOver);

    ::kill(static_cast<pid_t>(first.process.processId()), SIGKILL);
    QVERIFY(first.process.waitForFinished(5000));
    // The lock file and the socket are still there, owned by nobody.
    QVERIFY(QFile::exists(runtime.filePath(QStringLiteral("keelbox.lock"))));
    QVERIFY(QFile::exists(runtime.filePath(QStringLiteral("keelbox.socket"))));

    // The next instance takes over, and the one after it hands over to it.
    SingleInstance next(runtime.path());
    QCOMPARE(next.claim(), SingleInstance::Claim::primary);
    QSignalSpy activated(&next, &SingleInstance::activationRequested);
    Helper after;
    after.start(QStringLiteral("once"), runtime.path());
    QVERIFY(activated.wait(10000));
    QVERIFY(after.process.waitForFinished(5000));
    QCOMPARE(after.process.exitCode(), 10);
}

void InstanceTest::watchArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("language"); // empty: none chosen
    QTest::addColumn<bool>("ok");
    QTest::newRow("nothing") << QStringList{} << QString() << true;
    QTest::newRow("polish") << QStringList{"watch", "--language", "pl"} << "pl" << true;
    QTest::newRow("english with =") << QStringList{"--language=en"} << "en" << true;
    QTest::newRow("last one counts")
        << QStringList{"--language", "pl", "--language=en"} << "en" << true;
    QTest::newRow("missing value") << QStringList{"watch", "--language"} << QString() << false;
    QTest::newRow("unknown language") << QStringList{"--language", "de"} << QString() << false;
    QTest::newRow("unknown option") << QStringList{"watch", "--verbose"} << QString() << false;
}

void InstanceTest::watchArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, language);
    QFETCH(bool, ok);
    const WatchOptions options = parseWatchArguments(arguments);
    QCOMPARE(!options.error.has_value(), ok);
    if (ok) {
        QCOMPARE(options.language.has_value(), !language.isEmpty());
        if (options.language)
            QCOMPARE(QString::fromUtf8(rawValue(*options.language)), language);
    }
}

int main(int argc, char** argv) {
    const QString helper = qEnvironmentVariable(helperVariable);
    if (!helper.isEmpty()) {
        QCoreApplication app(argc, argv);
        return runHelper(helper.section(QLatin1Char(':'), 0, 0),
                         helper.section(QLatin1Char(':'), 1));
    }
    QCoreApplication app(argc, argv);
    InstanceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_instance.moc"
