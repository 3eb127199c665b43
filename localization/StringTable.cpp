#include "localization/StringTable.h"

namespace keelbox {

namespace {

// {key, English, Polish}, in the order in which the table is built.
const StringEntry baseEntries[] = {
    {"menu.refresh", "Refresh drive list", "Odśwież listę nośników"},
    {"menu.empty", "No USB drives connected.", "Brak podłączonych nośników USB."},
    {"menu.autoBackup", "Automatic backup on connect", "Automatyczny backup po podłączeniu"},
    {"menu.recent", "Recent activity", "Ostatnia aktywność"},
    {"menu.settings", "Settings…", "Ustawienia…"},
    {"menu.updateAvailable", "Update %@ available", "Dostępna aktualizacja %@"},
    {"menu.log", "Log…", "Dziennik…"},
    {"menu.quit", "Quit", "Zakończ"},
    {"row.setup", "Set up…", "Skonfiguruj…"},
    {"row.configure", "Configure…", "Konfiguruj…"},
    {"row.backupNow", "Back up now", "Backup teraz"},
    {"row.eject", "Eject drive", "Wysuń nośnik"},
    {"row.capacity", "%@ • %@ free", "%@ • %@ wolne"},
    {"status.notConfigured", "Not configured", "Nieskonfigurowany"},
    {"status.configUnreadable", "Rules unreadable: %@", "Reguły nieczytelne: %@"},
    {"status.ready", "Ready • %@", "Gotowy • %@"},
    {"status.backingUp", "Backing up… %@", "Backup… %@"},
    {"status.preparing", "Preparing…", "Przygotowywanie…"},
    {"status.showDetails", "Show error details in the log", "Pokaż szczegóły błędów w dzienniku"},
    {"progress.files", "%ld/%ld %{file|files} • %@", "%ld/%ld %{pliku|plików|plików} • %@"},
    {"progress.scanning", "Scanning contents…", "Skanowanie zawartości…"},
    {"mode.sync.long", "Sync (up-to-date copy)", "Synchronizacja (aktualna kopia)"},
    {"mode.dated.long", "Dated backup (snapshot)", "Backup z datą (snapshot)"},
    {"mode.sync.short", "sync", "synchronizacja"},
    {"mode.dated.short", "dated backup", "backup z datą"},
    {"summary.files", "%ld %{file|files}", "%ld %{plik|pliki|plików}"},
    {"summary.unchanged", "%ld unchanged", "%ld bez zmian"},
    {"summary.deleted", "%ld deleted", "%ld %{usunięty|usunięte|usuniętych}"},
    {"summary.errors", "%ld %{error|errors}", "%ld %{błąd|błędy|błędów}"},
    {"cfg.placeholder", "Select a drive from the menu bar to configure backup.",
     "Wybierz nośnik z menu w pasku, aby skonfigurować backup."},
    {"cfg.sources.title", "What to copy from the drive", "Co kopiować z nośnika"},
    {"cfg.sources.help", "Folders and files relative to the drive root.",
     "Foldery i pliki wskazane względem głównego katalogu nośnika."},
    {"cfg.sources.empty", "No sources added yet.", "Nie dodano jeszcze żadnych źródeł."},
    {"cfg.sources.add", "Add folders/files…", "Dodaj foldery/pliki…"},
    {"cfg.sources.whole", "Whole drive", "Cały nośnik"},
    {"cfg.sources.wholeHelp", "Back up the entire drive", "Backup całej zawartości nośnika"},
    {"cfg.wholeName", "(whole drive)", "(cały nośnik)"},
    {"cfg.dest.title", "Where on the Mac", "Dokąd na Macu"},
    {"cfg.dest.field", "Destination folder", "Folder docelowy"},
    {"cfg.dest.choose", "Choose…", "Wybierz…"},
    {"cfg.dest.note",
     "A subfolder named after the drive is created; in dated mode, also a subfolder with today’s "
     "date.",
     "Powstanie podfolder z nazwą nośnika; w trybie z datą dodatkowo podfolder z dzisiejszą datą."},
    {"cfg.mode.title", "Backup mode", "Tryb kopii"},
    {"cfg.options.title", "Options", "Opcje"},
    {"cfg.options.autorun", "Run automatically when the drive is connected",
     "Uruchamiaj automatycznie po podłączeniu nośnika"},
    {"cfg.options.mirror",
     "Delete files from the copy that were removed on the drive (full mirror)",
     "Usuwaj z kopii pliki skasowane na nośniku (pełne lustro)"},
    {"cfg.options.mirrorWarn",
     "Warning: removing a file from the drive also removes it from the copy.",
     "Uwaga: usunięcie pliku z nośnika usunie go także z kopii."},
    {"cfg.remove", "Remove configuration", "Usuń konfigurację"},
    {"cfg.save", "Save", "Zapisz"},
    {"cfg.saveRun", "Save and run", "Zapisz i uruchom"},
    {"cfg.panel.addPrompt", "Add", "Dodaj"},
    {"cfg.panel.addMsg", "Choose folders or files on the drive: %@",
     "Wybierz foldery lub pliki na nośniku: %@"},
    {"cfg.panel.choosePrompt", "Choose", "Wybierz"},
    {"cfg.panel.chooseMsg", "Choose a folder on this Mac where the copy will be created.",
     "Wybierz folder na tym Macu, w którym ma powstawać kopia."},
    {"cfg.err.notOnDrive", "Item %@ is not on this drive.", "Element %@ nie leży na tym nośniku."},
    {"settings.window", "Keelbox Settings", "Ustawienia Keelbox"},
    {"settings.tab.general", "General", "Ogólne"},
    {"settings.tab.log", "Log", "Dziennik"},
    {"settings.behavior", "Behavior", "Zachowanie"},
    {"settings.launchAtLogin", "Launch Keelbox at login", "Uruchamiaj Keelbox przy logowaniu"},
    {"settings.autoBackup", "Automatic backup when a drive is connected",
     "Automatyczny backup po podłączeniu nośnika"},
    {"settings.notify", "Notify when a backup finishes", "Powiadomienia o zakończeniu backupu"},
    {"settings.configNote",
     "Each drive’s configuration (what and where to copy) is stored in a hidden %@ file at its "
     "root.",
     "Konfiguracja każdego nośnika (co i dokąd kopiować) jest zapisana w ukrytym pliku %@ w jego "
     "głównym katalogu."},
    {"settings.language", "Language", "Język"},
    {"settings.about", "About", "O aplikacji"},
    {"settings.support", "Support", "Wsparcie"},
    {"settings.website", "Our apps", "Nasze aplikacje"},
    {"settings.version", "Version %@", "Wersja %@"},
    {"settings.updates", "Updates", "Aktualizacje"},
    {"update.checkNow", "Check for Updates…", "Sprawdź aktualizacje…"},
    {"update.available", "New version %@ is available.", "Dostępna nowa wersja %@."},
    {"update.upToDate", "You're up to date.", "Masz najnowszą wersję."},
    {"log.window", "Keelbox Log", "Dziennik Keelbox"},
    {"log.empty.title", "No events", "Brak zdarzeń"},
    {"log.empty.desc", "Backup info and any errors will appear here.",
     "Tu pojawią się informacje o backupach i ewentualne błędy."},
    {"log.detailsHeader", "Error details (%ld):", "Szczegóły błędów (%ld):"},
    {"log.more", "…and %ld more %{issue|issues}",
     "…i %ld %{kolejny problem|kolejne problemy|kolejnych problemów}"},
    {"ev.backupStarted", "Backup started (%@).", "Backup rozpoczęty (%@)."},
    {"ev.done", "Done: %@.", "Gotowe: %@."},
    {"ev.stopped", "%@; %@.", "%@; %@."},
    {"status.stopped", "Stopped: %ld of %ld files backed up",
     "Zatrzymano: %ld z %ld plików w kopii"},
    {"ev.leftQueue", "Taken out of the queue; nothing was copied.",
     "Usunięto z kolejki; niczego nie skopiowano."},
    {"ev.spaceShort",
     "The copy will not fit on the backup disk: %@ to write, %@ free. Copying what fits.",
     "Kopia nie zmieści się na dysku kopii: do zapisania %@, wolne %@. Kopiowane jest to, co "
     "się zmieści."},
    {"ev.spaceShortAtLeast",
     "The copy will not fit on the backup disk: at least %@ to write, %@ free. Copying what fits.",
     "Kopia nie zmieści się na dysku kopii: do zapisania co najmniej %@, wolne %@. Kopiowane "
     "jest to, co się zmieści."},
    {"row.stop", "Stop", "Zatrzymaj"},
    {"row.stopName", "Stop the backup of %@", "Zatrzymaj kopię nośnika %@"},
    {"ev.finishedErrors", "Finished with errors: %@. Errors: %ld.",
     "Zakończono z błędami: %@. Błędów: %ld."},
    {"ev.configSaved", "Configuration saved to the drive.", "Zapisano konfigurację na nośniku."},
    {"ev.configSaveErr", "Failed to save configuration: %@", "Błąd zapisu konfiguracji: %@"},
    {"ev.configKeptAside", "The old configuration was kept on the drive as %@.",
     "Starą konfigurację zachowano na nośniku jako %@."},
    {"ev.configRemoved", "Configuration removed from the drive.",
     "Usunięto konfigurację z nośnika."},
    {"ev.ejected", "Drive ejected.", "Nośnik wysunięty."},
    {"ev.ejectErr", "Failed to eject: %@", "Nie udało się wysunąć: %@"},
    {"err.busyEject", "A backup is running — wait for it to finish before ejecting.",
     "Trwa backup — poczekaj na jego zakończenie przed wysunięciem."},
    {"err.ejectNamed", "Failed to eject %@: %@", "Nie udało się wysunąć %@: %@"},
    {"err.loginItem", "Failed to change launch-at-login: %@",
     "Nie udało się zmienić autostartu: %@"},
    {"notify.started", "Backup started (%@)…", "Rozpoczęto backup (%@)…"},
    {"notify.doneBody", "Done: %@.", "Gotowe: %@."},
    {"notify.errTitle", "Keelbox — %@ (with errors)", "Keelbox — %@ (z błędami)"},
    {"notify.errBody", "%@. Errors: %ld.", "%@. Błędów: %ld."},
    {"engine.srcMissing", "Source no longer exists on the drive.",
     "Źródło nie istnieje na nośniku."},
    {"engine.srcMissingHint",
     "Check that this folder/file is still on the drive, or remove it from the configuration.",
     "Sprawdź, czy ten folder/plik nadal jest na nośniku, lub usuń go z konfiguracji."},
    {"engine.pruneFail", "Failed to remove a file from the copy that was deleted on the drive.",
     "Nie udało się usunąć z kopii pliku skasowanego na nośniku."},
    {"engine.noPerm", "No permission for the file or the destination.",
     "Brak uprawnień do pliku lub miejsca docelowego."},
    {"engine.noPermHint",
     "Grant Keelbox access: System Settings → Privacy & Security → Full Disk Access, then relaunch "
     "the app.",
     "Nadaj Keelbox dostęp: Ustawienia systemowe → Prywatność i bezpieczeństwo → Pełny dostęp do "
     "dysku, a potem uruchom aplikację ponownie."},
    {"engine.noSpace", "Not enough space on the destination disk.",
     "Za mało miejsca na dysku docelowym."},
    {"engine.noSpaceFigures",
     "Not enough space on the destination disk: about %@ more is needed, %@ is free.",
     "Za mało miejsca na dysku docelowym: potrzeba jeszcze około %@, wolne jest %@."},
    {"engine.noSpaceFree", "Not enough space on the destination disk: %@ is free.",
     "Za mało miejsca na dysku docelowym: wolne jest %@."},
    {"engine.driveGone", "The drive was disconnected; %ld of %ld files copied.",
     "Nośnik został odłączony; skopiowano %ld z %ld plików."},
    {"engine.driveGoneHint",
     "Connect the drive again: the next backup copies the rest. Nothing of the copy was deleted.",
     "Podłącz nośnik ponownie: następna kopia skopiuje resztę. Niczego nie usunięto z kopii."},
    {"engine.noSpaceHint", "Free up space in the backup folder or pick another disk.",
     "Zwolnij miejsce w folderze backupu albo wskaż inny dysk."},
    {"engine.readOnly", "The destination is read-only.", "Miejsce docelowe jest tylko do odczytu."},
    {"engine.readOnlyHint",
     "Pick a writable folder. An NTFS disk without a write driver can be read-only.",
     "Wybierz zapisywalny folder. Dysk NTFS bez sterownika zapisu bywa read-only."},
    {"engine.gone", "The file disappeared during copying.", "Plik zniknął podczas kopiowania."},
    {"engine.goneHint", "Usually harmless — the file was deleted or moved during the backup.",
     "Zwykle nieszkodliwe — plik został usunięty lub przeniesiony w trakcie backupu."},
    {"engine.busy", "The file is in use by another program.",
     "Plik jest w użyciu przez inny program."},
    {"engine.busyHint", "Close the app using the file and run the backup again.",
     "Zamknij aplikację korzystającą z pliku i uruchom backup ponownie."},
    {"engine.nameLong", "File name or path too long.", "Za długa nazwa pliku lub ścieżka."},
    {"engine.io", "Read/write error — the disk may be damaged.",
     "Błąd odczytu/zapisu — możliwe uszkodzenie nośnika."},
    {"engine.ioHint", "Check the disk: Disk Utility → First Aid.",
     "Sprawdź dysk: Narzędzie dyskowe → Pierwsza pomoc."},
    {"engine.generic", "Failed to copy the file.", "Nie udało się skopiować pliku."},
    {"menu.help", "Help", "Pomoc"},
    {"help.window", "Keelbox Help", "Pomoc — Keelbox"},
    {"help.intro",
     "Keelbox automatically copies the contents of USB drives to this Mac. Each drive carries its "
     "own rules, stored on it in a hidden file.",
     "Keelbox automatycznie kopiuje zawartość nośników USB na tego Maca. Każdy nośnik niesie "
     "własne reguły — zapisane na nim w ukrytym pliku."},
    {"help.connect.title", "1. Connect a drive", "1. Podłącz nośnik"},
    {"help.connect.body", "Once connected, the USB drive appears in the menu-bar list.",
     "Po podłączeniu dysk USB pojawi się na liście w menu w pasku."},
    {"help.setup.title", "2. Set it up", "2. Skonfiguruj"},
    {"help.setup.body",
     "Click Set up, choose what to copy from the drive, where on the Mac, and the mode. The "
     "configuration is saved onto the drive.",
     "Kliknij Skonfiguruj, wybierz co kopiować z nośnika, dokąd na Macu i tryb. Konfiguracja "
     "zapisze się na nośniku."},
    {"help.modes.title", "Backup modes", "Tryby kopii"},
    {"help.modes.body",
     "Sync keeps a single up-to-date copy. Dated backup creates a snapshot in a folder named with "
     "today's date.",
     "Synchronizacja utrzymuje jedną aktualną kopię. Backup z datą tworzy snapshot w folderze "
     "nazwanym dzisiejszą datą."},
    {"help.auto.title", "Automatic backup", "Automatyczny backup"},
    {"help.auto.body",
     "With automatic backup on, connecting a drive starts copying right away. The menu-bar icon "
     "changes while it runs.",
     "Gdy włączysz automatyczny backup, podłączenie nośnika od razu uruchamia kopiowanie. Ikona w "
     "pasku menu zmienia się na czas pracy."},
    {"help.eject.title", "Safe eject", "Bezpieczne wysuwanie"},
    {"help.eject.body", "Use the eject icon next to a drive to unmount and safely eject it.",
     "Użyj ikony wysuwania obok nośnika, aby go odmontować i bezpiecznie wysunąć."},
    {"help.perm.title", "Permissions", "Uprawnienia"},
    {"help.perm.body",
     "On the first backup, macOS may ask for access to drives or folders — allow it. If denied, "
     "grant access in System Settings → Privacy & Security.",
     "Przy pierwszym backupie macOS może poprosić o dostęp do nośników lub folderów — zezwól. W "
     "razie odmowy nadaj dostęp w Ustawienia systemowe → Prywatność i bezpieczeństwo."},
    {"help.errors.title", "Errors and the log", "Błędy i dziennik"},
    {"help.errors.body",
     "If a file fails to copy, click the error status or open the Log — you will see which file "
     "failed and why, with a hint on what to do.",
     "Jeśli któryś plik się nie skopiuje, kliknij status błędu albo otwórz Dziennik — zobaczysz, "
     "który plik i dlaczego, z podpowiedzią co zrobić."},
    {"help.config.title", "Configuration file", "Plik konfiguracji"},
    {"help.config.body",
     "Each drive's rules live in a hidden .keelbox.json file at its root, so you can carry the "
     "drive between Macs.",
     "Reguły każdego nośnika są w ukrytym pliku .keelbox.json w jego głównym katalogu, więc możesz "
     "przenosić nośnik między Macami."},
};

} // namespace

std::span<const StringEntry> baseStrings() {
    return baseEntries;
}

std::vector<std::span<const StringEntry>> allStringLists() {
    return {baseStrings(), engineStrings(), appStrings(),
            cliStrings(),  updateStrings(), windowStrings()};
}

StringTable::StringTable(const std::vector<std::span<const StringEntry>>& lists,
                         std::span<const StringEntry> overlay) {
    for (const auto& list : lists) {
        for (const auto& entry : list) {
            m_index.emplace(entry.key, &entry);
        }
    }
    for (const auto& entry : overlay) {
        if (const auto found = m_index.find(entry.key); found != m_index.end())
            found->second = &entry;
    }
}

std::string StringTable::text(std::string_view key, AppLanguage language) const {
    const auto found = m_index.find(key);
    if (found == m_index.end())
        return std::string(key);
    const StringEntry& entry = *found->second;
    const std::string_view wanted = language == AppLanguage::polish ? entry.polish : entry.english;
    if (!wanted.empty())
        return std::string(wanted);
    if (!entry.english.empty())
        return std::string(entry.english);
    return std::string(key);
}

const StringTable& StringTable::shared() {
    // A function-local static is initialised exactly once, even with concurrent first callers.
    static const StringTable table(allStringLists(), linuxWording());
    return table;
}

} // namespace keelbox
