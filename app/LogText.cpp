#include "app/LogText.h"

#include "app/Localizer.h"
#include "localization/Format.h"

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

std::string formatLogEntry(const LogEntry& entry, AppLanguage language) {
    // Names, paths and messages come from drives: each line is made inert for the terminal.
    std::string out = timeOfDay(entry.date) + "  " + std::string(kindMark(entry.kind)) + " " +
                      inertText(entry.volume + ": " + entry.message) + "\n";
    for (const BackupIssue& issue : entry.details) {
        out += "    " + inertText(issue.summaryLine()) + "\n";
        if (!issue.systemMessage.empty())
            out += "      " +
                   inertText(localized("watch.systemMessage", language, {issue.systemMessage})) +
                   "\n";
        if (issue.suggestion && !issue.suggestion->empty())
            out +=
                "      " + inertText(localized("watch.hint", language, {*issue.suggestion})) + "\n";
    }
    return out;
}

std::string formatVolumeLine(const VolumeInfo& volume, AppLanguage language) {
    std::string out = inertText(volume.name + " (" + volume.id + ")");
    const std::string status = statusText(volume, language);
    if (!status.empty())
        out += " — " + status;
    if (auto capacity = volume.capacityText(language))
        out += " • " + *capacity;
    return out;
}

} // namespace keelbox::app
