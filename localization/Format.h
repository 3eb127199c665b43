#pragma once
// printf-style filling of the table's placeholders: "%@" takes a text, "%ld" a 64-bit integer,
// "%%" is a literal percent sign. "%{file|files}" (English: one, other) and "%{plik|pliki|plików}"
// (Polish: one, few, many) choose a word by the integer placed last before them. Never crashes
// on a mismatched argument list.

#include "localization/Language.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace keelbox {

using FormatArg = std::variant<std::string, std::int64_t>;

// Fills the placeholders in order. A placeholder without an argument is replaced by nothing;
// an argument of the other kind is converted (an integer in decimal for "%@", a text's leading
// integer or 0 for "%ld"); surplus arguments are ignored; unknown sequences stay as they are.
std::string formatText(std::string_view format, std::initializer_list<FormatArg> args);

// Looks the key up and fills it: formatText(localizedText(key, language), args).
std::string formatLocalized(std::string_view key, AppLanguage language,
                            std::initializer_list<FormatArg> args);

} // namespace keelbox
