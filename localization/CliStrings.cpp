// Extra texts of the command line and the self-test, merged into localizedText after the base
// table. One line per key, both languages, same placeholders ("%@" text, "%ld" integer) in the same
// order:
//     {"cli.example", "English text %@", "Polski tekst %@"},
// A key must not repeat one of another list; the localization tests check both rules.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

// clang-format off
const std::vector<StringEntry> entries{
    {"cli.usage",
     "Usage: keelbox [backup DRIVE | config DRIVE [OPTIONS] | demo | watch | check-update | --selftest | --help | --version]\nRun “keelbox --help” for details.",
     "Użycie: keelbox [backup NOŚNIK | config NOŚNIK [OPCJE] | demo | watch | check-update | --selftest | --help | --version]\nSzczegóły: „keelbox --help”."},
    {"cli.help",
     "Keelbox copies removable drives into a folder on this computer, following the rules each drive\n"
     "carries in the hidden file .keelbox.json at its root.\n"
     "\n"
     "Usage:\n"
     "  keelbox                           start the tray application (desktop build)\n"
     "  keelbox --show WINDOW             open panel, config, log, settings or help in it\n"
     "  keelbox backup DRIVE [--no-progress]\n"
     "                                    back up the drive mounted at DRIVE now\n"
     "  keelbox config DRIVE              show the drive's configuration\n"
     "  keelbox config DRIVE OPTIONS…     create or change it:\n"
     "      --destination PATH            folder on this computer that receives the copies\n"
     "      --mode sync|dated             one up-to-date copy, or a snapshot folder per day\n"
     "      --add-source PATH             a folder or file of the drive to copy (relative to DRIVE)\n"
     "      --remove-source PATH          stop copying it\n"
     "      --whole-drive                 copy the whole drive (replaces the sources)\n"
     "      --mirror on|off               delete from the copy what was deleted on the drive\n"
     "      --auto on|off                 back up by itself when the drive is connected\n"
     "      --name NAME                   the drive's name; it names the drive's backup folder\n"
     "      --new                         start a new configuration, keeping an unreadable one aside\n"
     "  keelbox demo [--keep]             back up a generated sample drive twice\n"
     "  keelbox watch                     the application without windows, printing its log\n"
     "  keelbox check-update [--feed URL] [--public-key KEY]\n"
     "                                    check for a newer Keelbox (exit status 0 up to date,\n"
     "                                    10 update available, 1 the check failed)\n"
     "  keelbox --selftest                check the backup engine end to end\n"
     "  keelbox --help | --version\n"
     "\n"
     "Every command takes --language pl|en; otherwise LANGUAGE, LC_ALL, LC_MESSAGES or LANG decide.\n"
     "Ctrl-C stops a backup after the file in hand.\n"
     "Exit status: 0 done, 1 done with problems, 2 bad arguments or no configuration,\n"
     "130 stopped with Ctrl-C.",
     "Keelbox kopiuje nośniki wymienne do folderu na tym komputerze według reguł, które każdy nośnik\n"
     "nosi w ukrytym pliku .keelbox.json w swoim głównym katalogu.\n"
     "\n"
     "Użycie:\n"
     "  keelbox                           uruchom aplikację w zasobniku (wersja z interfejsem)\n"
     "  keelbox --show OKNO               otwórz w niej panel, config, log, settings lub help\n"
     "  keelbox backup NOŚNIK [--no-progress]\n"
     "                                    wykonaj teraz backup nośnika zamontowanego w NOŚNIK\n"
     "  keelbox config NOŚNIK             pokaż konfigurację nośnika\n"
     "  keelbox config NOŚNIK OPCJE…      utwórz ją lub zmień:\n"
     "      --destination ŚCIEŻKA         folder na tym komputerze, do którego trafiają kopie\n"
     "      --mode sync|dated             jedna aktualna kopia albo folder migawki na każdy dzień\n"
     "      --add-source ŚCIEŻKA          folder lub plik nośnika do kopiowania (względem NOŚNIK)\n"
     "      --remove-source ŚCIEŻKA       przestań go kopiować\n"
     "      --whole-drive                 kopiuj cały nośnik (zastępuje źródła)\n"
     "      --mirror on|off               usuwaj z kopii to, co skasowano na nośniku\n"
     "      --auto on|off                 backup sam po podłączeniu nośnika\n"
     "      --name NAZWA                  nazwa nośnika; od niej pochodzi nazwa folderu kopii\n"
     "      --new                         nowa konfiguracja; nieczytelna zostaje zachowana obok\n"
     "  keelbox demo [--keep]             dwa backupy wygenerowanego przykładowego nośnika\n"
     "  keelbox watch                     aplikacja bez okien, wypisuje swój dziennik\n"
     "  keelbox check-update [--feed URL] [--public-key KLUCZ]\n"
     "                                    sprawdź, czy jest nowszy Keelbox (kod wyjścia 0 aktualny,\n"
     "                                    10 dostępna aktualizacja, 1 sprawdzenie się nie udało)\n"
     "  keelbox --selftest                sprawdź silnik backupu od początku do końca\n"
     "  keelbox --help | --version\n"
     "\n"
     "Każde polecenie przyjmuje --language pl|en; bez niej decydują LANGUAGE, LC_ALL, LC_MESSAGES lub LANG.\n"
     "Ctrl-C zatrzymuje backup po bieżącym pliku.\n"
     "Kod wyjścia: 0 gotowe, 1 gotowe z problemami, 2 błędne argumenty lub brak konfiguracji,\n"
     "130 zatrzymane przez Ctrl-C."},
    {"cli.err.unknownArgument", "Unknown argument: %@", "Nieznany argument: %@"},
    {"cli.err.missingValue", "Option %@ needs a value.", "Opcja %@ wymaga wartości."},
    {"cli.err.badLanguage", "Unknown language “%@” (use pl or en).", "Nieznany język „%@” (użyj pl lub en)."},
    {"cli.err.badValue", "Invalid value for %@: “%@”.", "Nieprawidłowa wartość %@: „%@”."},
    {"cli.err.oneDrive", "Give exactly one drive folder.", "Podaj dokładnie jeden folder nośnika."},
    {"cli.err.notFolder", "%@ is not a folder.", "%@ nie jest folderem."},
    {"cli.err.noConfig", "%@ has no valid Keelbox configuration.", "%@ nie ma poprawnej konfiguracji Keelbox."},
    {"cli.err.badConfig", "%@ cannot be used: %@. Nothing was changed.", "Nie da się użyć %@: %@. Niczego nie zmieniono."},
    {"cli.hint.newConfig", "Correct the file, or start a new configuration with: keelbox config %@ --new [OPTIONS] (the old file is kept beside it).", "Popraw plik albo utwórz nową konfigurację poleceniem: keelbox config %@ --new [OPCJE] (stary plik zostanie zachowany obok)."},
    {"cli.config.problem", "What is wrong: %@.", "Co jest nie tak: %@."},
    {"cli.config.keptAside", "The old configuration was kept as %@.", "Starą konfigurację zachowano jako %@."},
    {"cli.config.destRefused", "backups of this drive will be refused: %@", "kopie tego nośnika zostaną odrzucone: %@"},
    {"cli.cfg.unreadable", "the file cannot be read (%@)", "nie da się odczytać pliku (%@)"},
    {"cli.cfg.missing", "there is no file of that name", "nie ma pliku o tej nazwie"},
    {"cli.cfg.ioError", "the drive could not deliver the file (%@)", "nośnik nie zdołał odczytać pliku (%@)"},
    {"cli.hint.failingDrive", "The drive may be failing: copy what you can from it and check it with the desktop's disk utility or fsck. Nothing was changed; --new waits until the file reads again, so that the drive keeps its identity.", "Nośnik może ulegać awarii: skopiuj z niego, co się da, i sprawdź go narzędziem dyskowym pulpitu lub programem fsck. Niczego nie zmieniono; --new poczeka, aż plik znów da się odczytać, aby nośnik zachował swoją tożsamość."},
    {"cli.hint.unreadableConfig", "Make the file readable for your user (its owner and permissions) and try again. Nothing was changed; --new waits until the file reads, so that the drive keeps its identity.", "Nadaj plikowi prawa odczytu dla swojego użytkownika (właściciel i uprawnienia) i spróbuj ponownie. Niczego nie zmieniono; --new poczeka, aż plik da się odczytać, aby nośnik zachował swoją tożsamość."},
    {"cli.cfg.notFile", "it is not a plain file", "to nie jest zwykły plik"},
    {"cli.cfg.tooLarge", "the file is far too large to be a configuration", "plik jest o wiele za duży jak na konfigurację"},
    {"cli.cfg.syntax", "JSON syntax error at line %ld, column %ld", "błąd składni JSON w wierszu %ld, kolumnie %ld"},
    {"cli.cfg.notObject", "the file does not hold a JSON object", "plik nie zawiera obiektu JSON"},
    {"cli.cfg.missingKey", "the key “%@” is missing", "brak klucza „%@”"},
    {"cli.cfg.badValue", "the key “%@” has a value of the wrong type or an invalid value: %@", "klucz „%@” ma wartość złego typu lub niepoprawną: %@"},
    {"cli.cfg.invalid", "its values cannot be used", "jego wartości nie nadają się do użycia"},
    {"cli.hint.createConfig", "Create one with: keelbox config %@ --add-source FOLDER", "Utwórz ją poleceniem: keelbox config %@ --add-source FOLDER"},
    {"cli.err.emptyDestination", "The destination folder cannot be empty.", "Folder docelowy nie może być pusty."},
    {"cli.err.noSuchItem", "No such file or folder on the drive: %@", "Na nośniku nie ma takiego pliku ani folderu: %@"},
    {"cli.err.notASource", "%@ is not one of the drive's sources.", "%@ nie jest jednym ze źródeł nośnika."},
    {"cli.err.writeFailed", "Could not save the configuration: %@", "Nie udało się zapisać konfiguracji: %@"},
    {"cli.err.noDesktop", "This build of Keelbox has no desktop application.", "Ta wersja Keelbox nie zawiera aplikacji z interfejsem."},
    {"cli.progress.left", "%@ left", "zostało %@"},
    {"cli.stopping", "Stopping after the current file… (Ctrl-C again quits at once)", "Zatrzymywanie po bieżącym pliku… (ponowne Ctrl-C kończy natychmiast)"},
    {"cli.backup.start", "Backing up %@ from %@ to %@", "Backup nośnika %@ z %@ do %@"},
    {"cli.done", "Finished in %@: %@", "Zakończono w %@: %@"},
    {"cli.copyAt", "Copy: %@", "Kopia: %@"},
    {"cli.interrupted", "Stopped on request: the copy is incomplete. Run the backup again to finish it.", "Zatrzymano na żądanie: kopia jest niepełna. Uruchom backup ponownie, aby go dokończyć."},
    {"cli.issues", "Problems (%ld):", "Problemy (%ld):"},
    {"cli.issue.system", "System message: %@", "Komunikat systemu: %@"},
    {"cli.issue.hint", "Hint: %@", "Podpowiedź: %@"},
    {"cli.on", "on", "włączone"},
    {"cli.off", "off", "wyłączone"},
    {"cli.config.title", "Configuration %@", "Konfiguracja %@"},
    {"cli.config.name", "Drive name:", "Nazwa nośnika:"},
    {"cli.config.id", "Drive ID:", "Identyfikator:"},
    {"cli.config.destination", "Destination:", "Folder docelowy:"},
    {"cli.config.mode", "Mode:", "Tryb:"},
    {"cli.config.mirror", "Delete removed files (mirror):", "Usuwanie skasowanych (lustro):"},
    {"cli.config.auto", "Run when connected:", "Uruchamianie po podłączeniu:"},
    {"cli.config.created", "Created:", "Utworzono:"},
    {"cli.config.updated", "Updated:", "Zmieniono:"},
    {"cli.config.sources", "Sources:", "Źródła:"},
    {"cli.config.mirrorDated", "Note: deleting removed files applies only in sync mode.", "Uwaga: usuwanie skasowanych plików działa tylko w trybie synchronizacji."},
    {"cli.config.duplicate", "Already a source: %@", "Już jest źródłem: %@"},
    {"cli.config.saved", "Configuration saved to %@.", "Zapisano konfigurację w %@."},
    {"cli.demo.building", "Building a sample drive in %@ …", "Tworzenie przykładowego nośnika w %@ …"},
    {"cli.demo.built", "%ld %{file|files}, %@.", "%ld %{plik|pliki|plików}, %@."},
    {"cli.demo.buildFailed", "Could not build the sample drive in %@.", "Nie udało się utworzyć przykładowego nośnika w %@."},
    {"cli.demo.first", "First backup:", "Pierwszy backup:"},
    {"cli.demo.second", "Second backup, nothing changed:", "Drugi backup, bez zmian:"},
    {"cli.demo.kept", "The sample drive and its copy stay in %@.", "Przykładowy nośnik i jego kopia zostają w %@."},
    {"cli.demo.removed", "Removed the sample drive and its copy (keep them with “keelbox demo --keep”).", "Usunięto przykładowy nośnik i jego kopię (zachowasz je poleceniem „keelbox demo --keep”)."},
};
// clang-format on

} // namespace

std::span<const StringEntry> cliStrings() {
    return entries;
}

} // namespace keelbox
