#pragma once
// The system's words for an errno value, safe to call from any thread.

#include <string>

namespace keelbox {

// "Permission denied", "No space left on device", "Unknown error 12345".
std::string errnoText(int errnum);

} // namespace keelbox
