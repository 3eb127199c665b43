#include "core/Records.h"

#include "localization/Format.h"

#include <cmath>
#include <limits>

namespace keelbox {

namespace {

__extension__ typedef __int128 Int128;

// floor(done × 100 / total) for 0 ≤ done ≤ total, total > 0, exact for every 64-bit value.
std::int64_t percentOf(std::int64_t done, std::int64_t total) {
    if (done <= 0)
        return 0;
    if (done >= total)
        return 100;
    return static_cast<std::int64_t>(static_cast<Int128>(done) * 100 / total);
}

// Singular and plural of "byte" the way each language counts.
std::string byteWord(std::uint64_t count, AppLanguage language) {
    if (language == AppLanguage::english)
        return count == 1 ? "byte" : "bytes";
    if (count == 1)
        return "bajt";
    const auto lastDigit = count % 10;
    const auto lastTwo = count % 100;
    if (lastDigit >= 2 && lastDigit <= 4 && (lastTwo < 12 || lastTwo > 14))
        return "bajty";
    return "bajtów";
}

} // namespace

Date now() {
    return std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
}

Date distantPast() {
    using namespace std::chrono;
    return Date(sys_days(year(1) / January / 1));
}

std::string_view rawValue(BackupMode mode) {
    return mode == BackupMode::sync ? "sync" : "dated";
}

std::optional<BackupMode> backupModeFromRaw(std::string_view raw) {
    if (raw == "sync")
        return BackupMode::sync;
    if (raw == "dated")
        return BackupMode::dated;
    return std::nullopt;
}

DriveConfig DriveConfig::placeholder() {
    return DriveConfig{};
}

DriveConfig DriveConfig::makeNew(std::string volumeName, Date at) {
    DriveConfig config;
    config.driveID = Uuid::random().toString();
    config.driveName = std::move(volumeName);
    config.createdAt = at;
    config.updatedAt = at;
    return config;
}

double BackupProgress::fraction() const {
    double value = 0;
    if (bytesTotal > 0)
        value = static_cast<double>(bytesDone) / static_cast<double>(bytesTotal);
    else if (filesTotal > 0)
        value = static_cast<double>(filesDone) / static_cast<double>(filesTotal);
    if (std::isnan(value) || value < 0)
        return 0;
    return value > 1 ? 1 : value;
}

std::string BackupProgress::percentText() const {
    // Whole percents in integers: a double product would turn 29 of 100 into 28.999…, i.e. 28%.
    std::int64_t percent = 0;
    if (bytesTotal > 0)
        percent = percentOf(bytesDone, bytesTotal);
    else if (filesTotal > 0)
        percent = percentOf(filesDone, filesTotal);
    return std::to_string(percent) + "%";
}

std::string BackupIssue::summaryLine() const {
    if (path.empty())
        return reason;
    return path + " — " + reason;
}

std::string BackupResult::summary(AppLanguage language) const {
    std::string text = formatLocalized("summary.files", language, {filesCopied});
    text += " • " + formatFileSize(bytesCopied, language);
    if (filesSkipped > 0)
        text += " • " + formatLocalized("summary.unchanged", language, {filesSkipped});
    if (filesDeleted > 0)
        text += " • " + formatLocalized("summary.deleted", language, {filesDeleted});
    if (filesLinked > 0)
        text += " • " + formatLocalized("summary.linked", language, {filesLinked});
    return text;
}

std::optional<std::string> VolumeInfo::capacityText(AppLanguage language) const {
    if (!totalCapacity || !availableCapacity)
        return std::nullopt;
    return formatLocalized(
        "row.capacity", language,
        {formatFileSize(*totalCapacity, language), formatFileSize(*availableCapacity, language)});
}

std::string formatFileSize(Int64 bytes, AppLanguage language) {
    // Sizes are never negative in practice; a negative value keeps its sign rather than wrapping.
    const bool negative = bytes < 0;
    const std::uint64_t magnitude =
        negative ? std::uint64_t(0) - static_cast<std::uint64_t>(bytes) : std::uint64_t(bytes);
    const std::string sign = negative ? "-" : "";
    if (magnitude < 1000)
        return sign + std::to_string(magnitude) + " " + byteWord(magnitude, language);

    static constexpr const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    std::uint64_t unit = 1000;
    std::size_t index = 0;
    // Rounded to tenths of the unit; 999 950 bytes become "1.0 MB", not "1000.0 kB".
    auto tenths = [&] { return (magnitude + unit / 20) / (unit / 10); };
    while (index + 1 < std::size(units) && tenths() >= 10000) {
        unit *= 1000;
        ++index;
    }
    const std::uint64_t value = tenths();
    const char separator = language == AppLanguage::polish ? ',' : '.';
    return sign + std::to_string(value / 10) + separator + std::to_string(value % 10) + " " +
           units[index];
}

} // namespace keelbox
