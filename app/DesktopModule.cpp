#include "app/DesktopModule.h"

#include "app/Launch.h"
#include "ui/TrayApplication.h"

extern "C" __attribute__((visibility("default"))) int keelbox_desktop_main(int command, int argc,
                                                                           char** argv) {
    if (command == keelboxDesktopWatch)
        return keelbox::app::runWatch(argc, argv);
    return keelbox::ui::runTrayApplication(argc, argv);
}
