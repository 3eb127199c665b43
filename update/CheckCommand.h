#pragma once
// `keelbox check-update [--feed URL] [--public-key KEY] [--language pl|en]`: one check without a
// display, for administrators and scripts.

#include "core/ExitStatus.h"

#include <QStringList>

#include <iosfwd>

namespace keelbox::update {

// `arguments` follow the word "check-update". Exits with exitOk when up to date,
// exitUpdateAvailable, exitIssues for a failed check and exitUsage for bad arguments
// (core/ExitStatus.h). Needs a QCoreApplication; runs its own event loop.
int runCheckUpdateCommand(const QStringList& arguments, std::ostream& out, std::ostream& err);

} // namespace keelbox::update
