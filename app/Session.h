#pragma once
// Runs the started application state until SIGINT, SIGTERM or SIGHUP. The first signal lets the
// running backup stop after its current file and report, drops queued backups, then returns (130
// when Ctrl-C cut a backup short); a second signal ends the process at once.

#include "app/AppState.h"
#include "app/Console.h"

namespace keelbox::app {

// Needs a QCoreApplication. Starts `state`, returns the event loop's exit status.
int runSession(AppState& state, Console& console);

} // namespace keelbox::app
