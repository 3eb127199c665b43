#include "ui/WindowRouter.h"
#include "ui/windows/ConfigWindow.h"
#include "ui/windows/HelpWindow.h"
#include "ui/windows/LogListView.h"
#include "ui/windows/SettingsView.h"

namespace keelbox::ui {

// One line per window whose content exists; the others show a window with only their title.
void registerWindowContents(WindowRouter& router) {
    useBuildVersion();
    router.registerContent(configWindow, [](const UiContext& ui) -> QWidget* {
        return new ConfigWindow(*ui.state, *ui.localizer);
    });
    router.registerContent(logWindow, [](const UiContext& ui) -> QWidget* {
        return new LogWindow(*ui.state, *ui.localizer);
    });
    router.registerContent(settingsWindow, [](const UiContext& ui) -> QWidget* {
        return new SettingsView(*ui.state, *ui.localizer, *ui.updater);
    });
    router.registerContent(
        helpWindow, [](const UiContext& ui) -> QWidget* { return new HelpWindow(*ui.localizer); });
}

} // namespace keelbox::ui
