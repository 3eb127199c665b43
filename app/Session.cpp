#include "app/Session.h"

#include "core/ExitStatus.h"
#include "core/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <optional>
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
        // A closed terminal stops the session like a kill does, never mid-file.
        m_signals.emplace(onTerminationSignal, SA_RESTART);
    }

    ~TerminationWatch() override {
        if (!m_notifier)
            return;
        m_signals.reset();
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
            const int status = byte == SIGINT ? exitInterrupted : exitOk;
            m_console.say("watch.stopping");
            connect(&m_state, &AppState::backupsSettled, this,
                    [status] { QCoreApplication::exit(status); });
        }
    }

    AppState& m_state;
    Console& m_console;
    QSocketNotifier* m_notifier = nullptr;
    std::optional<StopSignals> m_signals;
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
