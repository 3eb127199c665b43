#include "engine/MetadataLog.h"

#include <algorithm>

namespace keelbox::detail {

std::uint32_t MetadataLog::key(std::string_view name, std::uint32_t folder) {
    // FNV-1a over the name, seeded with the folder's number in the walk.
    std::uint32_t hash = 2166136261u ^ (folder * 2654435761u);
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

namespace {

// The kinds an entry can have in the log, in the top two bits of `nanoseconds`.
constexpr std::uint32_t kindShift = 30;
constexpr std::uint32_t kindFile = 1;
constexpr std::uint32_t kindFolder = 2;
constexpr std::uint32_t kindOther = 3;
// The permission bits ride above the size, which no real file reaches.
constexpr int modeShift = 52;
constexpr std::int64_t sizeMask = (std::int64_t{1} << modeShift) - 1;

} // namespace

void MetadataLog::record(ino_t inode, std::uint32_t entryKey, const StatSlot& slot) {
    if (m_size >= capacity)
        return;
    if (m_size % blockSize == 0)
        m_blocks.push_back(std::make_unique_for_overwrite<Record[]>(blockSize));
    Record& r = m_blocks.back()[m_size % blockSize];
    r = Record{static_cast<std::uint64_t>(inode), 0, 0, 0, entryKey};
    if (slot.error == 0) {
        const mode_t type = slot.st.st_mode & S_IFMT;
        const bool fits = slot.st.st_size >= 0 && slot.st.st_size <= sizeMask;
        const std::uint32_t kind = !fits             ? kindOther
                                   : type == S_IFREG ? kindFile
                                   : type == S_IFDIR ? kindFolder
                                                     : kindOther;
        r.size = static_cast<std::int64_t>(std::uint64_t(slot.st.st_size) |
                                           (std::uint64_t{slot.st.st_mode & 07777} << modeShift));
        r.seconds = slot.st.st_mtim.tv_sec;
        r.nanoseconds = static_cast<std::uint32_t>(slot.st.st_mtim.tv_nsec) | (kind << kindShift);
    }
    ++m_size;
}

void MetadataLog::seal() {
    const auto now = std::chrono::steady_clock::now();
    m_until = now + std::max<std::chrono::steady_clock::duration>(freshFor, now - m_started);
}

void MetadataLog::drop() {
    m_next = m_size;
    m_blocks.clear();
    m_blocks.shrink_to_fit();
}

bool MetadataLog::active() {
    if (m_next >= m_size)
        return false;
    if (std::chrono::steady_clock::now() < m_until)
        return true;
    drop();
    return false;
}

bool MetadataLog::take(ino_t inode, std::uint32_t entryKey, StatSlot& slot) {
    if (m_next >= m_size)
        return false;
    const Record r = m_blocks[m_next / blockSize][m_next % blockSize];
    const std::uint32_t kind = r.nanoseconds >> kindShift;
    if (r.inode != static_cast<std::uint64_t>(inode) || r.key != entryKey) {
        drop();
        return false;
    }
    if (++m_next % blockSize == 0 || m_next == m_size)
        m_blocks[(m_next - 1) / blockSize].reset(); // taken: the walk never looks back
    if (kind == 0 || kind == kindOther)
        return false; // failed reads and unusual entries are read again, as they are now
    slot.error = 0;
    slot.st = {};
    slot.st.st_ino = inode;
    slot.st.st_mode = (kind == kindFile ? S_IFREG : S_IFDIR) |
                      mode_t((std::uint64_t(r.size) >> modeShift) & 07777);
    slot.st.st_size = static_cast<off_t>(r.size & sizeMask);
    slot.st.st_mtim.tv_sec = static_cast<time_t>(r.seconds);
    slot.st.st_mtim.tv_nsec = static_cast<long>(r.nanoseconds & ((1u << kindShift) - 1));
    return true;
}

} // namespace keelbox::detail
