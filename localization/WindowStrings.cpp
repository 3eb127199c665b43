// Extra texts of the configuration, settings, log and help windows, merged into Localizer::text
// after the base table. One line per key, both languages, same placeholders ("%@" text, "%ld"
// integer) in the same order:
//     {"cfg.example", "English text %@", "Polski tekst %@"},
// A key must not repeat one of another list; the localization tests check both rules.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

const StringEntry entries[] = {
    {"cfg.sources.remove", "Remove %@ from the sources", "Usuń %@ ze źródeł"},
    {"cfg.dest.refusedOnDrive",
     "This folder is on the drive itself; backups will refuse to write there.",
     "Ten folder leży na samym nośniku; backup odmówi zapisu w nim."},
    {"cfg.dest.refusedTrusted",
     "Backups will refuse this folder: the computer runs or trusts files placed there. Pick an "
     "ordinary folder such as ~/Backups/Keelbox.",
     "Backup odmówi zapisu w tym folderze: komputer uruchamia umieszczone w nim pliki lub im "
     "ufa. Wybierz zwykły folder, np. ~/Backups/Keelbox."},
};

} // namespace

std::span<const StringEntry> windowStrings() {
    return entries;
}

} // namespace keelbox
