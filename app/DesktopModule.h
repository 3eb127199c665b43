#pragma once
// The desktop side of Keelbox (the tray application, `keelbox watch` and `keelbox check-update`) is
// built as a module of its own, `keelbox-desktop.so`, which the `keelbox` executable loads only for
// those commands. The command-line jobs and the self-test then start without loading Qt and its
// libraries: a `keelbox backup` of an unchanged drive is over in the time Qt alone would take to
// load.

// What the executable asks of the module.
enum KeelboxDesktopCommand {
    keelboxDesktopApplication = 0,
    keelboxDesktopWatch = 1,
    keelboxDesktopCheckUpdate = 2,
};

// The one symbol the module exports; returns the process's exit status.
extern "C" int keelbox_desktop_main(int command, int argc, char** argv);
inline constexpr const char* keelboxDesktopEntry = "keelbox_desktop_main";
inline constexpr const char* keelboxDesktopModule = "keelbox-desktop.so";
