// Extra texts of the backup engine, merged into Localizer::text after the base table.
// One line per key, both languages, same placeholders ("%@" text, "%ld" integer) in the same order:
//     {"engine.example", "English text %@", "Polski tekst %@"},
// A key must not repeat one of another list; the localization tests check both rules.

#include "localization/StringTable.h"

namespace keelbox {

namespace {

const std::vector<StringEntry> entries{};

} // namespace

std::span<const StringEntry> engineStrings() {
    return entries;
}

} // namespace keelbox
