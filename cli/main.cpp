// The one `keelbox` executable: the tray application, its headless watcher, the update check, the
// self-test and the command-line jobs. The first three live in the desktop module
// (app/DesktopModule.h), loaded only when asked for.

#include "cli/CommandLine.h"
#include "localization/Language.h"
#include "selftest/SelfTest.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef KEELBOX_WITH_QT
#include "app/DesktopModule.h"

#include <climits>
#include <dlfcn.h>
#include <filesystem>
#include <unistd.h>
constexpr bool withApplication = true;
#else
constexpr bool withApplication = false;
#endif

namespace {

using namespace keelbox::cli;
using keelbox::exitUsage;

int noDesktop(Terminal& terminal, const char* detail) {
    terminal.err << "keelbox: "
                 << keelbox::localizedText("cli.err.noDesktop",
                                           languageFromEnvironment(terminal.getenv))
                 << '\n';
    if (detail != nullptr)
        terminal.err << detail << '\n';
    return exitUsage;
}

#ifdef KEELBOX_WITH_QT
// The module is looked for beside the executable (a build tree) and then where the install puts
// it, relative to the executable. Both are found from /proc/self/exe, never from the working
// folder or the environment: nothing else may be loaded into Keelbox in its place.
int runDesktop(int command, int argc, char** argv, Terminal& terminal) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return noDesktop(terminal, ec.message().c_str());
    const fs::path folder = executable.parent_path();
    std::string failure;
    for (const fs::path& candidate :
         {folder / keelboxDesktopModule, folder / KEELBOX_MODULE_DIR / keelboxDesktopModule}) {
        if (!fs::exists(candidate, ec))
            continue;
        void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            failure = ::dlerror();
            continue;
        }
        auto entry =
            reinterpret_cast<int (*)(int, int, char**)>(::dlsym(module, keelboxDesktopEntry));
        if (entry == nullptr) {
            failure = ::dlerror();
            continue;
        }
        std::cout.flush();
        return entry(command, argc, argv);
    }
    if (failure.empty())
        failure = (folder / KEELBOX_MODULE_DIR / keelboxDesktopModule).lexically_normal().string() +
                  ": not found";
    return noDesktop(terminal, failure.c_str());
}
#endif

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args =
        commandFirst(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    Terminal terminal = processTerminal();

    switch (chooseCommand(args, withApplication)) {
    case Command::selfTest:
        return keelbox::runSelfTest(std::cout);
    case Command::application:
#ifdef KEELBOX_WITH_QT
        return runDesktop(keelboxDesktopApplication, argc, argv, terminal);
#else
        break;
#endif
    case Command::watch:
#ifdef KEELBOX_WITH_QT
        return runDesktop(keelboxDesktopWatch, argc, argv, terminal);
#else
        return noDesktop(terminal, nullptr);
#endif
    case Command::checkUpdate:
#ifdef KEELBOX_WITH_QT
        return runDesktop(keelboxDesktopCheckUpdate, argc, argv, terminal);
#else
        return noDesktop(terminal, nullptr);
#endif
    case Command::backup:
        return runBackupCommand(args, terminal);
    case Command::config:
        return runConfigCommand(args, terminal);
    case Command::demo:
        return runDemoCommand(args, terminal);
    case Command::help:
        return runHelpCommand(args, terminal);
    case Command::version:
        return runVersionCommand(terminal);
    case Command::usage:
        break;
    }
    return runUsageError(args, terminal);
}
