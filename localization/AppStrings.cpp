// Extra texts of the application and its platform services, merged into Localizer::text after the
// base table. One line per key, both languages, same placeholders ("%@" text, "%ld" integer) in the
// same order:
//     {"app.example", "English text %@", "Polski tekst %@"},
// A key must not repeat one of another list; the localization tests check both rules.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

const std::vector<StringEntry> entries{};

} // namespace

std::span<const StringEntry> appStrings() {
    return entries;
}

} // namespace keelbox
