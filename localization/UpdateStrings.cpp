// Extra texts of update checking: its dialog, its failures and `keelbox check-update`, merged into
// Localizer::text after the base table. One line per key, both languages, same placeholders ("%@"
// text, "%ld" integer) in the same order. A key must not repeat one of another list.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

// clang-format off
const std::vector<StringEntry> entries{
    {"update.dialog.title", "Keelbox Updates", "Aktualizacje Keelbox"},
    {"update.checking", "Checking for updates…", "Sprawdzam aktualizacje…"},
    {"update.found.detail", "You have version %@. The new version was released on %@.", "Masz wersję %@. Nowa wersja została wydana %@."},
    {"update.upToDate.detail", "Keelbox %@ is the newest version.", "Keelbox %@ to najnowsza wersja."},
    {"update.failed", "Could not check for updates.", "Nie udało się sprawdzić aktualizacji."},
    {"update.download", "Download", "Pobierz"},
    {"update.skip", "Skip This Version", "Pomiń tę wersję"},
    {"update.later", "Later", "Później"},
    {"update.cancel", "Cancel", "Anuluj"},
    {"update.ok", "OK", "OK"},
    {"update.err.noFeed", "This copy of Keelbox has no update address, so it cannot check for updates.", "Ta kopia Keelbox nie ma adresu aktualizacji, więc nie może ich sprawdzać."},
    {"update.err.insecure", "The update address %@ is not secure: only https addresses are used.", "Adres aktualizacji %@ nie jest bezpieczny: używane są tylko adresy https."},
    {"update.err.network", "The update server could not be reached: %@", "Nie można połączyć się z serwerem aktualizacji: %@"},
    {"update.err.timeout", "The update server did not answer in time.", "Serwer aktualizacji nie odpowiedział na czas."},
    {"update.err.tooLarge", "The update server sent far more than an update description; it was not read.", "Serwer aktualizacji przysłał znacznie więcej niż opis aktualizacji; nie został odczytany."},
    {"update.err.redirects", "The update server sent Keelbox round in circles (too many redirects).", "Serwer aktualizacji odsyłał Keelbox w kółko (zbyt wiele przekierowań)."},
    {"update.err.http", "The update server answered with an error: %@", "Serwer aktualizacji odpowiedział błędem: %@"},
    {"update.err.unsigned", "The update description is not signed, so it cannot be trusted.", "Opis aktualizacji nie jest podpisany, więc nie można mu ufać."},
    {"update.err.badSignature", "The update description's signature is not ours, so it cannot be trusted.", "Podpis opisu aktualizacji nie jest nasz, więc nie można mu ufać."},
    {"update.err.malformed", "The update description could not be read: %@", "Nie można odczytać opisu aktualizacji: %@"},
    {"update.err.cancelled", "The check was cancelled.", "Sprawdzanie anulowano."},
    {"update.err.badKey", "Not an Ed25519 public key in base64: %@", "To nie jest klucz publiczny Ed25519 w base64: %@"},
    {"update.cli.available", "Keelbox %@ is available (this is %@), released on %@.", "Dostępny jest Keelbox %@ (ten to %@), wydany %@."},
    {"update.cli.download", "Download: %@", "Pobieranie: %@"},
    {"update.cli.upToDate", "Keelbox %@ is up to date.", "Keelbox %@ jest aktualny."},
};
// clang-format on

} // namespace

std::span<const StringEntry> updateStrings() {
    return entries;
}

} // namespace keelbox
