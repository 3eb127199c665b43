#include "app/Session.h"

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

// The signals arrive as events on the main thread through a self-pipe.
class TerminationWatch : public QObject {
public:
    TerminationWatch(AppState& state, Console& console) : m_state(state), m_console(console) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
            return;
        m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { received(); });
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &m_previousInt);
        ::sigaction(SIGTERM, &action, &m_previousTerm);
        // A closed terminal stops the session like a kill does, never mid-file.
        ::sigaction(SIGHUP, &action, &m_previousHup);
    }

    ~TerminationWatch() override {
        if (!m_notifier)
            return;
        ::sigaction(SIGINT, &m_previousInt, nullptr);
        ::sigaction(SIGTERM, &m_previousTerm, nullptr);
        ::sigaction(SIGHUP, &m_previousHup, nullptr);
        delete m_notifier;
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }

private:
    void received() {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
            if (m_stopping) {
                std::cout.flush();
                ::_exit(128 + byte);
            }
            m_stopping = true;
            m_state.stopBackups();
            if (m_state.backupsInFlight() == 0) {
                QCoreApplication::quit();
                continue;
            }
            // Like `keelbox backup`: a backup cut short by Ctrl-C ends the process with 130.
            const int status = byte == SIGINT ? 130 : 0;
            m_console.say("watch.stopping");
            connect(&m_state, &AppState::backupsSettled, this,
                    [status] { QCoreApplication::exit(status); });
        }
    }

    AppState& m_state;
    Console& m_console;
    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
    struct sigaction m_previousHup {};
    bool m_stopping = false;
};

} // namespace

int runSession(AppState& state, Console& console) {
    TerminationWatch termination(state, console);
    console.say("watch.started");
    state.start();
    return QCoreApplication::exec();
}

} // namespace keelbox::app
