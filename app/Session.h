#pragma once
// Runs the started application state until SIGINT or SIGTERM. The first signal lets the running
// backup stop after its current file and report, drops queued backups, then returns; a second
// signal ends the process at once.

#include "app/AppState.h"
#include "app/Console.h"

namespace keelbox::app {

// Needs a QCoreApplication. Starts `state`, returns the event loop's exit status.
int runSession(AppState& state, Console& console);

} // namespace keelbox::app
