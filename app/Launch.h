#pragma once
// Entry points of the Qt side of the `keelbox` executable; `cli/main.cpp` dispatches to them.

namespace keelbox::app {

// `keelbox` without arguments: the tray application (one instance per user session).
int runApplication(int argc, char** argv);
// `keelbox watch [--language pl|en]`: the application state without any view, printing the log.
int runWatch(int argc, char** argv);

} // namespace keelbox::app
