#include "app/LogText.h"

#include "app/Localizer.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace keelbox::app {

namespace {

std::string timeOfDay(Date date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(date));
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
    return buffer;
}

std::string_view kindMark(LogEntry::Kind kind) {
    switch (kind) {
    case LogEntry::Kind::success:
        return "✓";
    case LogEntry::Kind::failure:
        return "✗";
    case LogEntry::Kind::info:
        break;
    }
    return "•";
}

std::string statusText(const VolumeInfo& volume, AppLanguage language) {
    switch (volume.status.kind) {
    case BackupStatus::Kind::idle:
        return localized("status.notConfigured", language);
    case BackupStatus::Kind::configured:
        if (!volume.config)
            return {};
        return localized("status.ready", language,
                         {localized(volume.config->mode == BackupMode::dated ? "mode.dated.short"
                                                                             : "mode.sync.short",
                                    language)});
    case BackupStatus::Kind::running:
        if (volume.progress)
            return localized("status.backingUp", language, {volume.progress->percentText()});
        return localized("status.preparing", language);
    case BackupStatus::Kind::done:
        return "✓ " + volume.status.message;
    case BackupStatus::Kind::failed:
        return "✗ " + volume.status.message;
    }
    return {};
}

} // namespace

std::string inertText(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) {
            switch (byte) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\x";
                out += hex[byte >> 4];
                out += hex[byte & 0xf];
            }
            continue;
        }
        // C1 controls (U+0080–U+009F), as UTF-8.
        if (byte == 0xc2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9f) {
                out += "\\u00";
                out += hex[next >> 4];
                out += hex[next & 0xf];
                ++i;
                continue;
            }
        }
        // U+2028, U+2029 (separators), U+202A–U+202E and U+2066–U+2069 (direction overrides).
        if (byte == 0xe2 && i + 2 < text.size()) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            const auto third = static_cast<unsigned char>(text[i + 2]);
            const bool format = (second == 0x80 && third >= 0xa8 && third <= 0xae) ||
                                (second == 0x81 && third >= 0xa6 && third <= 0xa9);
            if (format) {
                const unsigned code = 0x2000u | ((second & 0x3fu) << 6) | (third & 0x3fu);
                out += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4)
                    out += hex[(code >> shift) & 0xf];
                i += 2;
                continue;
            }
        }
        out += static_cast<char>(byte);
    }
    return out;
}

std::string formatLogEntry(const LogEntry& entry, AppLanguage language, std::size_t maxIssues) {
    std::string out = timeOfDay(entry.date) + "  " + std::string(kindMark(entry.kind)) + " " +
                      inertText(entry.volume + ": " + entry.message) + "\n";
    const std::size_t shown = std::min(maxIssues, entry.details.size());
    for (std::size_t i = 0; i < shown; ++i) {
        const BackupIssue& issue = entry.details[i];
        out += "    " + inertText(issue.summaryLine()) + "\n";
        if (!issue.systemMessage.empty())
            out += "      " +
                   inertText(localized("watch.systemMessage", language, {issue.systemMessage})) +
                   "\n";
        if (issue.suggestion && !issue.suggestion->empty())
            out +=
                "      " + inertText(localized("watch.hint", language, {*issue.suggestion})) + "\n";
    }
    if (shown < entry.details.size())
        out += "    " +
               localized("watch.moreIssues", language,
                         {static_cast<std::int64_t>(entry.details.size() - shown)}) +
               "\n";
    return out;
}

std::string formatVolumeLine(const VolumeInfo& volume, AppLanguage language) {
    std::string out = volume.name + " (" + volume.id + ")";
    const std::string status = statusText(volume, language);
    if (!status.empty())
        out += " — " + status;
    if (auto capacity = volume.capacityText(language))
        out += " • " + *capacity;
    return inertText(out);
}

} // namespace keelbox::app
