// The one `keelbox` executable: the tray application, its headless watcher, the self-test and the
// command-line jobs. The first two live in the desktop module (app/DesktopModule.h), loaded only
// when asked for.

#include "cli/CommandLine.h"
#include "localization/Localizer.h"
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

int noDesktop(Console& console, const char* detail) {
    console.err << "keelbox: "
                << keelbox::Localizer::text("cli.err.noDesktop",
                                            languageFromEnvironment(console.getenv))
                << '\n';
    if (detail != nullptr)
        console.err << detail << '\n';
    return exitUsage;
}

#ifdef KEELBOX_WITH_QT
// The module is looked for beside the executable (a build tree) and then where the install puts
// it, relative to the executable. Both are found from /proc/self/exe, never from the working
// folder or the environment: nothing else may be loaded into Keelbox in its place.
int runDesktop(int command, int argc, char** argv, Console& console) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return noDesktop(console, ec.message().c_str());
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
    return noDesktop(console, failure.c_str());
}
#endif

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args =
        commandFirst(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    Console console = processConsole();

    switch (chooseCommand(args, withApplication)) {
    case Command::selfTest:
        return keelbox::runSelfTest(std::cout);
    case Command::application:
#ifdef KEELBOX_WITH_QT
        return runDesktop(keelboxDesktopApplication, argc, argv, console);
#else
        break;
#endif
    case Command::watch:
#ifdef KEELBOX_WITH_QT
        return runDesktop(keelboxDesktopWatch, argc, argv, console);
#else
        return noDesktop(console, nullptr);
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
