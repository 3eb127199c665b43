#include "app/Launch.h"

#include "app/AppState.h"
#include "app/AutoBackupLock.h"
#include "app/Console.h"
#include "app/Session.h"
#include "app/SingleInstance.h"
#include "core/ExitStatus.h"

#include <QCoreApplication>

#include <iostream>

namespace keelbox::app {

namespace {

QStringList argumentsAfterProgram(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// Automatic backups run here only while no other process of the session runs them.
void shareAutomaticBackups(AutoBackupLock& lock, AppState& state, Console& console) {
    if (lock.tryAcquire())
        return;
    state.setAutomaticBackupsHere(false);
    console.say("watch.autoElsewhere");
    QObject::connect(&lock, &AutoBackupLock::acquired, &console, [&state, &console] {
        console.say("watch.autoTaken");
        state.setAutomaticBackupsHere(true);
    });
    lock.keepTrying();
}

} // namespace

int runApplication(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keelbox"));
    QCoreApplication::setOrganizationName(QStringLiteral("keelbox"));

    SingleInstance instance(userRuntimeDir());
    switch (instance.claim()) {
    case SingleInstance::Claim::primary:
        break;
    case SingleInstance::Claim::handedOver:
        std::cout << Localizer::shared().text("app.handedOver") << std::endl;
        return exitOk;
    case SingleInstance::Claim::failed:
        std::cerr << instance.errorString().toStdString() << std::endl;
        return exitIssues;
    }

    AppState& state = AppState::shared();
    Console console(state, std::cout);
    AutoBackupLock automatic(userRuntimeDir());
    shareAutomaticBackups(automatic, state, console);
    // Until the application has windows, a second launch can only be acknowledged.
    QObject::connect(&instance, &SingleInstance::activationRequested, &console,
                     [&console] { console.say("app.activated"); });
    return runSession(state, console);
}

int runWatch(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keelbox"));
    QCoreApplication::setOrganizationName(QStringLiteral("keelbox"));

    const WatchOptions options = parseWatchArguments(argumentsAfterProgram(argc, argv));
    if (options.error) {
        std::cerr << "keelbox watch: " << *options.error << "\n"
                  << "usage: keelbox watch [--language pl|en]" << std::endl;
        return exitUsage;
    }
    if (options.language)
        Localizer::shared().useLanguageForSession(*options.language);

    AppState& state = AppState::shared();
    Console console(state, std::cout);
    AutoBackupLock automatic(userRuntimeDir());
    shareAutomaticBackups(automatic, state, console);
    return runSession(state, console);
}

} // namespace keelbox::app
