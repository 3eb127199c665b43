// Extra texts of the backup engine, merged into localizedText after the base table.
// One line per key, both languages, same placeholders ("%@" text, "%ld" integer) in the same order:
//     {"engine.example", "English text %@", "Polski tekst %@"},
// A key must not repeat one of another list; the localization tests check both rules.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

const std::vector<StringEntry> entries{
    {"engine.srcOutside", "The source lies outside the drive, so it was not read.",
     "Źródło leży poza nośnikiem, więc nie zostało odczytane."},
    {"engine.srcOutsideHint",
     "Sources must be folders or files on the drive itself. Edit the drive's configuration.",
     "Źródłami mogą być tylko foldery lub pliki na samym nośniku. Popraw konfigurację nośnika."},
    {"engine.destOnDrive", "The backup folder lies on the drive being backed up.",
     "Folder kopii leży na nośniku, którego kopię robimy."},
    {"engine.destOnDriveHint", "Pick a destination folder on the computer's own disk.",
     "Wybierz folder docelowy na dysku komputera."},
    {"engine.destTrusted",
     "The backup folder is a place where the computer runs or trusts files, so nothing was "
     "written.",
     "Folder kopii to miejsce, z którego komputer uruchamia pliki lub im ufa, więc nic nie "
     "zostało zapisane."},
    {"engine.destTrustedHint",
     "Pick an ordinary folder such as ~/Backups/Keelbox. System folders, the home folder itself "
     "and its hidden folders are never used.",
     "Wybierz zwykły folder, np. ~/Backups/Keelbox. Foldery systemowe, sam folder domowy i jego "
     "ukryte foldery nigdy nie są używane."},
    {"engine.notRegular", "Not a regular file (a device, pipe or socket); it was not copied.",
     "To nie jest zwykły plik (urządzenie, potok lub gniazdo); nie został skopiowany."},
    {"engine.notRegularHint", "Only files and folders are backed up. Remove it from the sources.",
     "Kopiowane są tylko pliki i foldery. Usuń go ze źródeł."},
    {"engine.destNotMounted",
     "The backup folder is on the disk “%@”, which is not connected; nothing was created.",
     "Folder kopii leży na dysku „%@”, który nie jest podłączony; niczego nie utworzono."},
    {"engine.destNotMountedHint",
     "Connect that disk and back up again, or pick a destination folder on this computer.",
     "Podłącz ten dysk i zrób kopię ponownie albo wybierz folder docelowy na tym komputerze."},
    {"engine.destLink",
     "The drive's folder or day folder is a symbolic link that belongs to another user; nothing "
     "was written.",
     "Folder nośnika lub folder dnia to dowiązanie symboliczne należące do innego użytkownika; "
     "nic nie zostało zapisane."},
    {"engine.destLinkHint", "Remove the link, or pick another destination folder.",
     "Usuń dowiązanie albo wybierz inny folder docelowy."},
    {"engine.folderForeign",
     "The backup folder belongs to another drive with the same name; nothing was written to it "
     "or deleted from it.",
     "Folder kopii należy do innego nośnika o tej samej nazwie; niczego w nim nie zapisano ani "
     "z niego nie usunięto."},
    {"engine.folderForeignHint",
     "Give this drive its own name, or pick another destination folder for it.",
     "Nadaj temu nośnikowi własną nazwę albo wybierz dla niego inny folder docelowy."},
    {"engine.dayBeforeNewest",
     "The computer's date is before the newest snapshot; nothing was written, so that no "
     "earlier day changes.",
     "Data komputera jest wcześniejsza niż najnowsza kopia dzienna; niczego nie zapisano, aby "
     "żaden wcześniejszy dzień się nie zmienił."},
    {"engine.dayBeforeNewestHint",
     "Check the computer's date, time and time zone; the backup runs again once the date has "
     "reached the newest snapshot's.",
     "Sprawdź datę, godzinę i strefę czasową komputera; kopia zostanie wykonana, gdy data dojdzie "
     "do daty najnowszej kopii dziennej."},
    {"engine.folderCloneHint",
     "This drive has the same file system identity as the drive whose copy this is (a cloned "
     "card or stick): give it its own name, or pick another destination folder for it.",
     "Ten nośnik ma ten sam identyfikator systemu plików co nośnik, do którego należy ta kopia "
     "(sklonowana karta lub pendrive): nadaj mu własną nazwę albo wybierz dla niego inny folder "
     "docelowy."},
    {"engine.syncFailed",
     "The copies could not be flushed to the backup disk; they may not survive a power loss.",
     "Nie udało się utrwalić kopii na dysku kopii; mogą nie przetrwać utraty zasilania."},
    {"engine.syncFailedHint",
     "Check the backup disk (the desktop's disk utility or fsck) and back up again.",
     "Sprawdź dysk kopii (narzędziem dyskowym pulpitu lub programem fsck) i wykonaj kopię "
     "ponownie."},
    {"engine.folderNotOurs",
     "A folder of this name already exists with files Keelbox did not put there; nothing was "
     "written to it or deleted from it.",
     "Folder o tej nazwie już istnieje i zawiera pliki, których Keelbox tam nie umieścił; "
     "niczego w nim nie zapisano ani z niego nie usunięto."},
    {"engine.folderNotOursHint",
     "Pick another destination folder (such as ~/Backups/Keelbox), or give the drive another "
     "name.",
     "Wybierz inny folder docelowy (np. ~/Backups/Keelbox) albo nadaj nośnikowi inną nazwę."},
    {"engine.folderBusy",
     "Another Keelbox process is writing this backup folder right now; this backup did nothing.",
     "Inny proces Keelbox właśnie zapisuje ten folder kopii; ta kopia niczego nie zrobiła."},
    {"engine.folderBusyHint", "Wait until the other backup has finished, then back up again.",
     "Poczekaj, aż tamta kopia się zakończy, i zrób kopię ponownie."},
    {"engine.massDeleteHeld",
     "This automatic backup would delete %ld of the %ld files in the copy; it deleted nothing.",
     "Ta automatyczna kopia usunęłaby %ld z %ld plików kopii; niczego nie usunęła."},
    {"engine.massDeleteHeldHint",
     "Check that the drive holds what it should. If the files were deleted on purpose, use “Back "
     "up now” or `keelbox backup`, which delete from the copy as configured.",
     "Sprawdź, czy nośnik zawiera to, co powinien. Jeśli pliki usunięto celowo, użyj „Backup "
     "teraz” lub `keelbox backup`, które usuwają z kopii zgodnie z konfiguracją."},
    {"engine.tooDeep",
     "This folder lies inside itself or too deep; what is below it was not copied.",
     "Ten folder zawiera sam siebie lub leży zbyt głęboko; jego zawartość nie została "
     "skopiowana."},
    {"engine.tooDeepHint", "The drive's file system may be damaged: check it with fsck.",
     "System plików nośnika może być uszkodzony: sprawdź go programem fsck."},
    {"engine.stopped", "The backup was stopped before it finished.",
     "Kopia została zatrzymana przed zakończeniem."},
    {"engine.changing",
     "The file kept changing while it was copied; its copy may be inconsistent and will be "
     "copied again by the next backup.",
     "Plik zmieniał się w trakcie kopiowania; jego kopia może być niespójna i zostanie "
     "skopiowana ponownie przy następnym backupie."},
    {"engine.changingHint",
     "Close the program that writes to this file, then run the backup again.",
     "Zamknij program, który zapisuje ten plik, i uruchom backup ponownie."},
    {"engine.caseClash",
     "The backup disk does not tell upper from lower case, and “%@” in the same folder differs "
     "from this name only in case; this one was not copied.",
     "Dysk kopii nie rozróżnia wielkości liter, a „%@” w tym samym folderze różni się od tej "
     "nazwy tylko wielkością liter; ten element nie został skopiowany."},
    {"engine.badName",
     "The backup disk cannot store this name (it holds a character such as : ? * \" < > | \\ "
     "or a control character); it was not copied.",
     "Dysk kopii nie może zapisać tej nazwy (zawiera znak taki jak : ? * \" < > | \\ lub znak "
     "sterujący); nie została skopiowana."},
    {"engine.badNameHint",
     "Rename it on the drive, or back up to a disk formatted for Linux (ext4).",
     "Zmień jej nazwę na nośniku albo rób kopię na dysk sformatowany dla Linuksa (ext4)."},
    {"summary.linked", "%ld shared with the previous day",
     "%ld współdzielonych z poprzednim dniem"},
};

} // namespace

std::span<const StringEntry> engineStrings() {
    return entries;
}

} // namespace keelbox
