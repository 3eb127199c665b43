// Extra texts of the application and its platform services, merged into localizedText after the
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
    {"watch.moreIssues", "…and %ld more problems.", "…i kolejne problemy: %ld."},
    {"watch.autoElsewhere",
     "Automatic backups of this session are run by another Keelbox (the tray application or "
     "another keelbox watch); this one only lists drives and takes over when that one ends.",
     "Automatyczne kopie tej sesji wykonuje inny Keelbox (aplikacja w zasobniku albo inne "
     "keelbox watch); ten tylko pokazuje nośniki i przejmie kopie, gdy tamten się zakończy."},
    {"watch.autoTaken", "Automatic backups are now run here.",
     "Automatyczne kopie są teraz wykonywane tutaj."},
    {"run.otherDrive",
     "Not backed up: another drive is mounted at %@ now. Nothing was copied or deleted.",
     "Nie wykonano kopii: pod %@ jest teraz zamontowany inny nośnik. Niczego nie skopiowano ani "
     "nie usunięto."},
    {"run.driveGone",
     "Not backed up: the drive is no longer mounted at %@. Nothing was copied or deleted.",
     "Nie wykonano kopii: nośnik nie jest już zamontowany pod %@. Niczego nie skopiowano ani nie "
     "usunięto."},
    {"run.dropped", "Not started: Keelbox stopped before this backup's turn came.",
     "Nie rozpoczęto: Keelbox zakończył pracę, zanim przyszła kolej na tę kopię."},
    {"app.handedOver", "Keelbox is already running.", "Keelbox już działa."},
    {"notify.showLog", "Show log", "Pokaż dziennik"},
    {"cfg.panel.chooseTitle", "Choose Backup Folder", "Wybierz folder kopii"},
    {"row.openCopy", "Open copy", "Otwórz kopię"},
    {"row.lastBackup", "Last backup: %@", "Ostatnia kopia: %@"},
    {"row.today", "today %@", "dziś %@"},
    {"row.yesterday", "yesterday %@", "wczoraj %@"},
    {"err.openCopy", "Could not open the backup folder %@.",
     "Nie udało się otworzyć folderu kopii %@."},
    {"notify.ejected", "The drive can be removed now.", "Nośnik można teraz wyjąć."},
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
