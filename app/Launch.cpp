#include "app/Launch.h"

#include "app/AppState.h"
#include "app/Console.h"
#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <sys/socket.h>
#include <unistd.h>

namespace keelbox::app {

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signo) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// SIGINT and SIGTERM arrive as events on the main thread through a self-pipe. The first asks the
// running backup to stop after its current file and quits once it has reported; a second one ends
// the process at once.
class TerminationWatch : public QObject {
public:
    TerminationWatch(AppState& state, Console& console) : m_state(state), m_console(console) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
            return;
        ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
        m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { received(); });
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
    }

private:
    void received() {
        unsigned char byte = 0;
        if (::read(signalPipe[0], &byte, 1) != 1)
            return;
        if (m_stopping) {
            std::cout.flush();
            ::_exit(128 + byte);
        }
        m_stopping = true;
        m_state.stopBackups();
        if (m_state.backupsInFlight() == 0) {
            QCoreApplication::quit();
            return;
        }
        m_console.say("watch.stopping");
        connect(&m_state, &AppState::backupsSettled, this, [] { QCoreApplication::quit(); });
    }

    AppState& m_state;
    Console& m_console;
    QSocketNotifier* m_notifier = nullptr;
    bool m_stopping = false;
};

int runState(QCoreApplication& app, AppState& state, Console& console) {
    TerminationWatch termination(state, console);
    console.say("watch.started");
    state.start();
    const int status = app.exec();
    return status;
}

QStringList argumentsAfterProgram(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int runApplication(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keelbox"));
    QCoreApplication::setOrganizationName(QStringLiteral("keelbox"));

    SingleInstance instance(userRuntimeDir());
    switch (instance.claim()) {
    case SingleInstance::Claim::primary:
        break;
    case SingleInstance::Claim::handedOver:
        std::cout << Localizer::shared().text("app.handedOver") << std::endl;
        return 0;
    case SingleInstance::Claim::failed:
        std::cerr << instance.errorString().toStdString() << std::endl;
        return 1;
    }

    AppState& state = AppState::shared();
    Console console(state, std::cout);
    // Until the application has windows, a second launch can only be acknowledged.
    QObject::connect(&instance, &SingleInstance::activationRequested, &console,
                     [&console] { console.say("app.activated"); });
    return runState(app, state, console);
}

int runWatch(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keelbox"));
    QCoreApplication::setOrganizationName(QStringLiteral("keelbox"));

    const WatchOptions options = parseWatchArguments(argumentsAfterProgram(argc, argv));
    if (options.error) {
        std::cerr << "keelbox watch: " << *options.error << "\n"
                  << "usage: keelbox watch [--language pl|en]" << std::endl;
        return 2;
    }
    if (options.language)
        Localizer::shared().useLanguageForSession(*options.language);

    AppState& state = AppState::shared();
    Console console(state, std::cout);
    return runState(app, state, console);
}

} // namespace keelbox::app
