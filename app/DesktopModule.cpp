#include "app/DesktopModule.h"

#include "app/Launch.h"
#include "ui/TrayApplication.h"
#include "update/CheckCommand.h"

#include <QCoreApplication>

#include <cstring>
#include <iostream>

namespace {

// `keelbox [--language X] check-update [OPTIONS]`: everything but the program and the word.
int runCheckUpdate(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("keelbox"));
    QCoreApplication::setOrganizationName(QStringLiteral("keelbox"));
    QStringList arguments;
    bool sawCommand = false;
    for (int i = 1; i < argc; ++i) {
        if (!sawCommand && std::strcmp(argv[i], "check-update") == 0)
            sawCommand = true;
        else
            arguments << QString::fromLocal8Bit(argv[i]);
    }
    return keelbox::update::runCheckUpdateCommand(arguments, std::cout, std::cerr);
}

} // namespace

extern "C" __attribute__((visibility("default"))) int keelbox_desktop_main(int command, int argc,
                                                                           char** argv) {
    if (command == keelboxDesktopWatch)
        return keelbox::app::runWatch(argc, argv);
    if (command == keelboxDesktopCheckUpdate)
        return runCheckUpdate(argc, argv);
    return keelbox::ui::runTrayApplication(argc, argv);
}
