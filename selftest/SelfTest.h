#pragma once
// The built-in end-to-end check of the backup engine behind `keelbox --selftest`.
#include <ostream>

namespace keelbox {

// Runs every check in a throw-away folder, prints one line per check to `out` and returns the
// process exit status: 0 when every check passed, 1 otherwise.
int runSelfTest(std::ostream& out);

} // namespace keelbox
