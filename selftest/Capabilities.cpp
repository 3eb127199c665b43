#include "selftest/Capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace keelbox {
namespace {

// glibc has no wrapper for capget/capset; libcap would be a whole library for three bits. A zero
// pid addresses the calling thread, which is what we want: other threads keep their rights.
bool readCapabilities(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

bool writeCapabilities(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, data) == 0;
}

constexpr unsigned bit(int capability) {
    return 1u << (static_cast<unsigned>(capability) % 32u);
}

// All three live in the first 32-bit word.
constexpr unsigned overrideMask =
    bit(CAP_DAC_OVERRIDE) | bit(CAP_DAC_READ_SEARCH) | bit(CAP_FOWNER);

} // namespace

FilePermissionsEnforced::FilePermissionsEnforced() {
    __user_cap_data_struct data[2]{};
    if (!readCapabilities(data))
        return;
    m_savedEffective[0] = data[0].effective;
    m_savedEffective[1] = data[1].effective;
    if ((data[0].effective & overrideMask) == 0)
        return;
    data[0].effective &= ~overrideMask;
    m_lowered = writeCapabilities(data);
}

FilePermissionsEnforced::~FilePermissionsEnforced() {
    if (!m_lowered)
        return;
    __user_cap_data_struct data[2]{};
    if (!readCapabilities(data))
        return;
    data[0].effective = m_savedEffective[0];
    data[1].effective = m_savedEffective[1];
    writeCapabilities(data);
}

bool canOverrideFilePermissions() {
    __user_cap_data_struct data[2]{};
    if (!readCapabilities(data))
        return false;
    return (data[0].effective & (bit(CAP_DAC_OVERRIDE) | bit(CAP_DAC_READ_SEARCH))) != 0;
}

} // namespace keelbox
