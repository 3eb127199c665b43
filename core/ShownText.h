#pragma once
// How a text that comes from outside (a drive's label, a file name, a configuration, the log, the
// update feed) is shown on every face of Keelbox: the terminal, `watch`, the windows and the
// notifications. Such a text cannot steer a terminal, forge a line, reorder the text around it or
// pass for another name through characters nobody sees.

#include <cstddef>
#include <string>
#include <string_view>

namespace keelbox {

// Names are cut to this many characters, the last of them "…".
inline constexpr std::size_t maxNameLength = 48;

// Control characters (escape sequences, line breaks) are shown as "\x1B", "\x0A"; line
// separators, direction controls and invisible characters (zero-width spaces and joiners, the
// byte order mark, soft hyphens, tags) as "\u202E", "\u200B"; bytes that are not UTF-8 as
// "\xFF". Everything else stays as it is.
std::string inertText(std::string_view text);

// inertText line by line: line breaks are kept ("\r\n" becomes "\n"), nothing else.
std::string inertLines(std::string_view text);

// A name as every face shows it: inertText, cut to `maxLength` characters ending in "…". Shown
// twice, a name stays the same.
std::string shownName(std::string_view name, std::size_t maxLength = maxNameLength);

// shownName between U+2068 and U+2069, for a text composed around the name on a screen: a name
// written right to left cannot reorder the words next to it.
std::string isolatedName(std::string_view name);

} // namespace keelbox
