#pragma once
// The signals that ask a Keelbox process to stop: Ctrl-C (SIGINT), SIGTERM and SIGHUP (the
// terminal closed). `keelbox backup` and `keelbox watch` take all three with one handler and give
// them back as they found them.

#include <array>
#include <csignal>

namespace keelbox {

class StopSignals {
public:
    // Installs `handler` with `flags` (SA_RESTART, SA_RESETHAND, …) for the three signals.
    StopSignals(void (*handler)(int), int flags);
    // Puts the previous handlers back.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    static constexpr std::array<int, 3> stopSignals{SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, stopSignals.size()> m_previous{};
};

} // namespace keelbox
