#pragma once
// Lets a process running as root meet real permission checks on the calling thread.

namespace keelbox {

// While alive, the calling thread cannot bypass file permissions: CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH and CAP_FOWNER leave its effective set. They stay permitted, so the
// destructor puts them back. Threads started meanwhile inherit the lowered set. For an ordinary
// user, who holds none of them, this does nothing.
class FilePermissionsEnforced {
public:
    FilePermissionsEnforced();
    ~FilePermissionsEnforced();
    FilePermissionsEnforced(const FilePermissionsEnforced&) = delete;
    FilePermissionsEnforced& operator=(const FilePermissionsEnforced&) = delete;

    // True when at least one capability was removed and will be restored.
    bool lowered() const { return m_lowered; }

private:
    unsigned m_savedEffective[2] = {0, 0};
    bool m_lowered = false;
};

// Whether the calling thread can currently bypass read permission checks on files.
bool canOverrideFilePermissions();

} // namespace keelbox
