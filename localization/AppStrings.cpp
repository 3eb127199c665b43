// Extra texts of the application and its platform services, merged into Localizer::text after the
// base table. One line per key, both languages, same placeholders ("%@" text, "%ld" integer) in the
// same order:
//     {"app.example", "English text %@", "Polski tekst %@"},
// A key must not repeat one of another list; the localization tests check both rules.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

const std::vector<StringEntry> entries{
    {"watch.started", "Watching for drives. Press Ctrl+C to stop.",
     "Obserwuję nośniki. Naciśnij Ctrl+C, aby zakończyć."},
    {"watch.stopping", "Stopping after the current file…", "Zatrzymuję po bieżącym pliku…"},
    {"watch.drives", "Connected drives:", "Podłączone nośniki:"},
    {"watch.connected", "Connected: %@", "Podłączono: %@"},
    {"watch.disconnected", "Disconnected: %@", "Odłączono: %@"},
    {"watch.systemMessage", "System message: %@", "Komunikat systemu: %@"},
    {"watch.hint", "Hint: %@", "Wskazówka: %@"},
    {"app.handedOver", "Keelbox is already running.", "Keelbox już działa."},
    {"notify.showLog", "Show log", "Pokaż dziennik"},
    {"tray.openPanel", "Open Keelbox", "Otwórz Keelbox"},
    {"tray.backingUp", "Backing up %@", "Backup: %@"},
    {"app.err.show", "--show takes one of: panel, config, log, settings, help.",
     "--show przyjmuje jedno z: panel, config, log, settings, help."},
    {"app.err.noDisplay", "No display to show a window on (DISPLAY and WAYLAND_DISPLAY are unset).",
     "Brak ekranu, na którym można pokazać okno (DISPLAY i WAYLAND_DISPLAY nie są ustawione)."},
    {"app.activated", "Keelbox was started again; this instance keeps running.",
     "Keelbox uruchomiono ponownie; działa dotychczasowa instancja."},
};

} // namespace

std::span<const StringEntry> appStrings() {
    return entries;
}

} // namespace keelbox
