// One instance per user session, across real processes.

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

// Child process mode: claims in the given folder; a process that wins says so and holds the claim
// until killed, one that does not exits with 10 (handed over) or 20.
int runHelper(const QString& runtimeDir) {
    SingleInstance instance(runtimeDir);
    const SingleInstance::Claim claim = instance.claim();
    if (claim != SingleInstance::Claim::primary)
        return claim == SingleInstance::Claim::handedOver ? 10 : 20;
    std::cout << "primary" << std::endl;
    QObject::connect(&instance, &SingleInstance::activationRequested,
                     [] { std::cout << "activated" << std::endl; });
    return QCoreApplication::exec();
}

void startHelper(QProcess& process, const QString& runtimeDir) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(helperVariable), runtimeDir);
    process.setProcessEnvironment(environment);
    process.start(QCoreApplication::applicationFilePath(), {});
}

QByteArray nextLine(QProcess& process) {
    return process.canReadLine() || process.waitForReadyRead(10000) ? process.readLine().trimmed()
                                                                    : QByteArray();
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

private slots:
    void secondInstanceHandsOverAndAKilledOneIsReplaced();
};

void InstanceTest::secondInstanceHandsOverAndAKilledOneIsReplaced() {
    QTemporaryDir runtime;
    // In this process.
    {
        SingleInstance first(runtime.path());
        QCOMPARE(first.claim(), SingleInstance::Claim::primary);
        QSignalSpy activated(&first, &SingleInstance::activationRequested);
        QSignalSpy shown(&first, &SingleInstance::showRequested);
        // A plain launch, then `--show log` with an activation token holding a space and a slash.
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
    QProcess first, second, after;
    startHelper(first, runtime.path());
    QCOMPARE(nextLine(first), "primary");
    startHelper(second, runtime.path());
    QVERIFY(second.waitForFinished(15000) && second.exitCode() == 10);
    QCOMPARE(nextLine(first), "activated");

    // Killed, it leaves its socket behind: the next instance takes over and others hand over to it.
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(5000));
    QVERIFY(QFile::exists(runtime.filePath(QStringLiteral("keelbox.socket"))));
    SingleInstance next(runtime.path());
    QCOMPARE(next.claim(), SingleInstance::Claim::primary);
    QSignalSpy activated(&next, &SingleInstance::activationRequested);
    startHelper(after, runtime.path());
    QVERIFY(activated.wait(10000));
    QVERIFY(after.waitForFinished(5000) && after.exitCode() == 10);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString helper = qEnvironmentVariable(helperVariable);
    if (!helper.isEmpty())
        return runHelper(helper);
    InstanceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_instance.moc"
