// The one `keelbox` executable: the tray application, its headless watcher, the self-test and the
// command-line jobs.

#include "cli/CommandLine.h"
#include "localization/Localizer.h"
#include "selftest/SelfTest.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef KEELBOX_WITH_QT
#include "app/Launch.h"
constexpr bool withApplication = true;
#else
constexpr bool withApplication = false;
#endif

int main(int argc, char** argv) {
    using namespace keelbox::cli;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    Console console = processConsole();

    switch (chooseCommand(args, withApplication)) {
    case Command::selfTest:
        return keelbox::runSelfTest(std::cout);
    case Command::application:
#ifdef KEELBOX_WITH_QT
        return keelbox::app::runApplication(argc, argv);
#else
        break;
#endif
    case Command::watch:
#ifdef KEELBOX_WITH_QT
        return keelbox::app::runWatch(argc, argv);
#else
        console.err << "keelbox: "
                    << keelbox::Localizer::text("cli.err.noDesktop",
                                                languageFromEnvironment(console.getenv))
                    << '\n';
        return exitUsage;
#endif
    case Command::backup:
        return runBackupCommand(args, console);
    case Command::config:
        return runConfigCommand(args, console);
    case Command::demo:
        return runDemoCommand(args, console);
    case Command::help:
        return runHelpCommand(args, console);
    case Command::version:
        return runVersionCommand(console);
    case Command::usage:
        break;
    }
    return runUsageError(args, console);
}
