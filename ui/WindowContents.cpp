#include "ui/WindowRouter.h"

namespace keelbox::ui {

// One line per window whose content exists; the others show a window with only their title.
void registerWindowContents(WindowRouter& router) {
    (void)router;
}

} // namespace keelbox::ui
