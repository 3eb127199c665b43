#include "core/StopSignals.h"

namespace keelbox {

StopSignals::StopSignals(void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    for (std::size_t i = 0; i < stopSignals.size(); ++i)
        ::sigaction(stopSignals[i], &action, &m_previous[i]);
}

StopSignals::~StopSignals() {
    for (std::size_t i = 0; i < stopSignals.size(); ++i)
        ::sigaction(stopSignals[i], &m_previous[i], nullptr);
}

} // namespace keelbox
