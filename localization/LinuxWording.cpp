// Texts of the base table that speak of another desktop platform, in the words of a Linux desktop.
// Whoever shows a text (windows, log hints, notifications, the command line) gets these through
// Localizer::text; the base table itself stays as it is. Every key here must exist in the base
// lists, with the same placeholders in both languages; the localization tests check it.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

const StringEntry entries[] = {
    {"cfg.placeholder", "Select a drive in the Keelbox panel to configure backup.",
     "Wybierz nośnik w panelu Keelbox, aby skonfigurować backup."},
    {"cfg.dest.title", "Where on this computer", "Dokąd na tym komputerze"},
    {"cfg.panel.chooseMsg", "Choose a folder on this computer where the copy will be created.",
     "Wybierz folder na tym komputerze, w którym ma powstawać kopia."},
    {"engine.noPermHint",
     "Check who owns the file and the backup folder and their permissions (ls -l shows both), or "
     "pick a backup folder that you own.",
     "Sprawdź właściciela i uprawnienia pliku oraz folderu kopii (pokaże je ls -l) albo wybierz "
     "folder kopii, którego jesteś właścicielem."},
    {"engine.ioHint",
     "Check the disk with the desktop's disk utility (Disks) or with fsck while it is unmounted.",
     "Sprawdź dysk narzędziem dyskowym pulpitu (Dyski) albo programem fsck, gdy nie jest "
     "zamontowany."},
    {"help.intro",
     "Keelbox automatically copies the contents of USB drives to this computer. Each drive "
     "carries its own rules, stored on it in a hidden file.",
     "Keelbox automatycznie kopiuje zawartość nośników USB na ten komputer. Każdy nośnik niesie "
     "własne reguły — zapisane na nim w ukrytym pliku."},
    {"help.connect.body",
     "Once connected, the USB drive appears in the list of the Keelbox panel, opened from its "
     "icon in the system tray.",
     "Po podłączeniu dysk USB pojawi się na liście w panelu Keelbox, otwieranym ikoną w "
     "zasobniku systemowym."},
    {"help.setup.body",
     "Click Set up, choose what to copy from the drive, where on this computer, and the mode. The "
     "configuration is saved onto the drive.",
     "Kliknij Skonfiguruj, wybierz co kopiować z nośnika, dokąd na tym komputerze i tryb. "
     "Konfiguracja zapisze się na nośniku."},
    {"help.auto.body",
     "With automatic backup on, connecting a drive starts copying right away. The Keelbox icon in "
     "the system tray changes while it runs.",
     "Gdy włączysz automatyczny backup, podłączenie nośnika od razu uruchamia kopiowanie. Ikona "
     "Keelbox w zasobniku systemowym zmienia się na czas pracy."},
    {"help.perm.body",
     "Keelbox reads the drive and writes the copy with your user's rights. If a file is refused, "
     "check who owns it and its permissions (ls -l), and pick a destination folder that you own.",
     "Keelbox czyta nośnik i zapisuje kopię z uprawnieniami Twojego użytkownika. Gdy dostęp do "
     "pliku zostanie odmówiony, sprawdź jego właściciela i uprawnienia (ls -l) i wybierz folder "
     "docelowy, którego jesteś właścicielem."},
    {"help.config.body",
     "Each drive's rules live in a hidden .keelbox.json file at its root, so you can carry the "
     "drive between computers.",
     "Reguły każdego nośnika są w ukrytym pliku .keelbox.json w jego głównym katalogu, więc możesz "
     "przenosić nośnik między komputerami."},
};

} // namespace

std::span<const StringEntry> linuxWording() {
    return entries;
}

} // namespace keelbox
