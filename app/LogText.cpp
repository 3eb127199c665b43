#include "app/LogText.h"

#include "core/ConfigFile.h"
#include "core/ShownText.h"
#include "localization/Format.h"

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

} // namespace

std::string formatLogEntry(const LogEntry& entry, AppLanguage language, std::size_t maxIssues) {
    std::string out = timeOfDay(entry.date) + "  " + std::string(kindMark(entry.kind)) + " " +
                      shownName(entry.volume) + ": " + inertText(entry.message) + "\n";
    const std::size_t shown = std::min(maxIssues, entry.details.size());
    for (std::size_t i = 0; i < shown; ++i) {
        const BackupIssue& issue = entry.details[i];
        out += "    " + inertText(issue.summaryLine()) + "\n";
        if (!issue.systemMessage.empty())
            out +=
                "      " +
                inertText(formatLocalized("watch.systemMessage", language, {issue.systemMessage})) +
                "\n";
        if (issue.suggestion && !issue.suggestion->empty())
            out += "      " +
                   inertText(formatLocalized("watch.hint", language, {*issue.suggestion})) + "\n";
    }
    if (shown < entry.details.size())
        out += "    " +
               formatLocalized("watch.moreIssues", language,
                               {static_cast<std::int64_t>(entry.details.size() - shown)}) +
               "\n";
    return out;
}

std::string_view modeShortKey(BackupMode mode) {
    return mode == BackupMode::dated ? "mode.dated.short" : "mode.sync.short";
}

DriveStatusLine driveStatusLine(const VolumeInfo& volume, AppLanguage language) {
    using Tone = DriveStatusLine::Tone;
    switch (volume.status.kind) {
    case BackupStatus::Kind::idle:
        // Rules that are there but do not read say why, so that nobody sets up over them blindly.
        if (volume.configFault.kind != ConfigFault::Kind::missing &&
            volume.configFault.kind != ConfigFault::Kind::none)
            return {formatLocalized("status.configUnreadable", language,
                                    {configFaultText(volume.configFault, language)}),
                    Tone::neutral};
        return {formatLocalized("status.notConfigured", language, {}), Tone::neutral};
    case BackupStatus::Kind::configured:
        if (!volume.config)
            return {};
        return {formatLocalized("status.ready", language,
                                {formatLocalized(modeShortKey(volume.config->mode), language, {})}),
                Tone::neutral};
    case BackupStatus::Kind::running:
        if (volume.progress)
            return {formatLocalized("status.backingUp", language, {volume.progress->percentText()}),
                    Tone::neutral};
        return {formatLocalized("status.preparing", language, {}), Tone::neutral};
    case BackupStatus::Kind::done:
        return {"✓ " + volume.status.message, Tone::success};
    case BackupStatus::Kind::failed:
        return {"✗ " + volume.status.message, Tone::failure};
    }
    return {};
}

std::string formatVolumeLine(const VolumeInfo& volume, AppLanguage language) {
    std::string out = shownName(volume.name) + " (" + inertText(volume.id) + ")";
    const std::string status = driveStatusLine(volume, language).text;
    if (!status.empty())
        out += " — " + status;
    if (auto capacity = volume.capacityText(language))
        out += " • " + *capacity;
    return inertText(out);
}

} // namespace keelbox::app
