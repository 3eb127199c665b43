// One instance per user session, across real processes.

#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <iostream>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace keelbox::app;
using namespace Qt::StringLiterals;

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
    return QCoreApplication::exec();
}

void startHelper(QProcess& process, const QString& runtimeDir) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(helperVariable), runtimeDir);
    process.setProcessEnvironment(environment);
    process.start(QCoreApplication::applicationFilePath(), {});
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

private slots:
    void handOverSurvivesBadClientsAndAKilledInstanceIsReplaced();
};

void InstanceTest::handOverSurvivesBadClientsAndAKilledInstanceIsReplaced() {
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
        // A line past the bound and a client that says nothing are dropped.
        QLocalSocket flood, silent;
        for (QLocalSocket* client : {&flood, &silent})
            client->connectToServer(first.socketPath());
        flood.write(QByteArray(1 << 20, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(flood.state() == QLocalSocket::UnconnectedState &&
                                     silent.state() == QLocalSocket::UnconnectedState,
                                 clientTimeoutMs + 3000);
        // Another user is not heard, even where the socket's mode would let him in.
        if (::geteuid() == 0) {
            QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), 0755) == 0 &&
                    ::chmod(QFile::encodeName(first.socketPath()).constData(), 0666) == 0);
            QCOMPARE(QProcess::execute(u"setpriv"_s,
                                       {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                        u"/usr/bin/python3"_s, u"-c"_s,
                                        u"import socket,sys; s = socket.socket(socket.AF_UNIX); "
                                        "s.connect(sys.argv[1]); s.sendall(b'activate\\n')"_s,
                                        first.socketPath()}),
                     0);
        }
        // Out of descriptors while a launch waits: it is heard once there are some again.
        QLocalSocket waiting;
        waiting.connectToServer(first.socketPath());
        QVERIFY(waiting.write("activate\n") > 0 && waiting.waitForBytesWritten(1000));
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        const rlimit low{std::min<rlim_t>(saved.rlim_cur, 1024), saved.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken.push_back(fd);
        QTest::qWait(500);
        for (int fd : taken)
            ::close(fd);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &saved) == 0);
        QTRY_COMPARE(activated.count(), 3);
        // A removed socket comes back.
        QVERIFY(QFile::remove(first.socketPath()));
        QTRY_VERIFY(QFileInfo::exists(first.socketPath()));
        QCOMPARE(SingleInstance(runtime.path()).claim(), SingleInstance::Claim::handedOver);
        QTRY_COMPARE(activated.count(), 4);
        // Another name is another instance.
        QCOMPARE(SingleInstance(runtime.path(), QStringLiteral("keelbox-other")).claim(),
                 SingleInstance::Claim::primary);
    }
    // Across processes: a first instance killed leaves its socket behind; the next instance takes
    // over and a later process hands over to it.
    QProcess first, after;
    startHelper(first, runtime.path());
    QTRY_VERIFY_WITH_TIMEOUT(first.canReadLine(), 10000);
    QCOMPARE(first.readLine().trimmed(), "primary");
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(5000) &&
            QFile::exists(runtime.filePath(QStringLiteral("keelbox.socket"))));
    SingleInstance next(runtime.path());
    QCOMPARE(next.claim(), SingleInstance::Claim::primary);
    QSignalSpy activated(&next, &SingleInstance::activationRequested);
    startHelper(after, runtime.path());
    QVERIFY(activated.wait(10000) && after.waitForFinished(5000) && after.exitCode() == 10);
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
