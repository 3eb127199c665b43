#include "core/Records.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

namespace keelbox {
namespace {

constexpr auto pl = AppLanguage::polish;
constexpr auto en = AppLanguage::english;

TEST(BackupProgress, FractionAndPercent) {
    struct Row {
        Int filesDone, filesTotal;
        Int64 bytesDone, bytesTotal;
        double fraction;
        const char* percent;
    };
    constexpr Int64 big = std::numeric_limits<Int64>::max();
    const Row rows[] = {
        {0, 0, 0, 0, 0.0, "0%"},
        {1, 4, 0, 0, 0.25, "25%"},        // by files when bytes are unknown
        {1, 4, 500, 1000, 0.5, "50%"},    // bytes win over files
        {0, 0, 999, 1000, 0.999, "99%"},  // truncated, never rounded up
        {0, 0, 29, 100, 0.29, "29%"},     // 0.29 × 100 is 28.999… in doubles
        {-3, 10, 0, 0, 0.0, "0%"},        // negative results clamp to 0
        {0, 0, big - 1, big, 1.0, "99%"}, // no overflow near the limit
    };
    for (const auto& row : rows) {
        const BackupProgress p{row.filesDone, row.filesTotal, row.bytesDone, row.bytesTotal, "x"};
        EXPECT_NEAR(p.fraction(), row.fraction, 1e-9) << row.bytesDone;
        EXPECT_EQ(p.percentText(), row.percent) << row.bytesDone;
    }
}

TEST(FileSize, DecimalUnitsWithTheLanguagesSeparator) {
    const std::tuple<Int64, const char*, const char*> rows[] = {
        {0, "0 bytes", "0 bajtów"},
        {1, "1 byte", "1 bajt"},
        {999'949, "999.9 kB", "999,9 kB"},
        {999'950, "1.0 MB", "1,0 MB"}, // rounding carries into the next unit
        {std::numeric_limits<Int64>::max(), "9.2 EB", "9,2 EB"},
        {std::numeric_limits<Int64>::min(), "-9.2 EB", "-9,2 EB"},
    };
    for (const auto& [bytes, english, polish] : rows)
        EXPECT_EQ(std::pair(formatFileSize(bytes, en), formatFileSize(bytes, pl)),
                  std::pair(std::string(english), std::string(polish)));
}

TEST(BackupResult, SummaryHasOnlyTheNonZeroOptionalParts) {
    const struct {
        Int copied;
        Int64 bytes;
        Int skipped, deleted;
        AppLanguage language;
        const char* expected;
    } rows[] = {
        {12, 1'500'000, 3, 1, en, "12 files • 1.5 MB • 3 unchanged • 1 deleted"},
        {12, 1'500'000, 3, 1, pl, "12 plików • 1,5 MB • 3 bez zmian • 1 usuniętych"},
        {2, 20, -1, -1, pl, "2 plików • 20 bajtów"},
    };
    for (const auto& row : rows) {
        BackupResult result;
        result.filesCopied = row.copied;
        result.bytesCopied = row.bytes;
        result.filesSkipped = row.skipped;
        result.filesDeleted = row.deleted;
        result.errors.push_back({"a", "b", "c", std::nullopt}); // errors are not summarised
        EXPECT_EQ(result.summary(row.language), row.expected);
    }
}

TEST(VolumeInfo, CapacityNeedsBothFigures) {
    VolumeInfo volume;
    volume.totalCapacity = 31'900'000'000;
    EXPECT_EQ(volume.capacityText(en), std::nullopt);
    volume.availableCapacity = 12'400'000'000;
    EXPECT_EQ(volume.capacityText(en), "31.9 GB • 12.4 GB free");
    EXPECT_EQ(volume.capacityText(pl), "31,9 GB • 12,4 GB wolne");
    volume.totalCapacity.reset();
    EXPECT_EQ(volume.capacityText(pl), std::nullopt);
}

} // namespace
} // namespace keelbox
