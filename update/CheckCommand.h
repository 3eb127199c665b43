#pragma once
// `keelbox check-update [--feed URL] [--public-key KEY] [--language pl|en]`: one check without a
// display, for administrators and scripts.

#include <QStringList>

#include <iosfwd>

namespace keelbox::update {

inline constexpr int exitUpToDate = 0;
inline constexpr int exitCheckFailed = 1;
inline constexpr int exitBadArguments = 2;
inline constexpr int exitUpdateAvailable = 10;

// `arguments` follow the word "check-update". Needs a QCoreApplication; runs its own event loop.
int runCheckUpdateCommand(const QStringList& arguments, std::ostream& out, std::ostream& err);

} // namespace keelbox::update
