#include "core/Records.h"

#include <gtest/gtest.h>

namespace keelbox {

constexpr auto pl = AppLanguage::polish;
constexpr auto en = AppLanguage::english;

TEST(BackupProgress, FractionAndPercent) {
    using Row = std::tuple<Int, Int, Int64, Int64, double, const char*>;
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
    for (const auto& [filesDone, filesTotal, bytesDone, bytesTotal, fraction, percent] : rows) {
        const BackupProgress p{filesDone, filesTotal, bytesDone, bytesTotal, "x"};
        EXPECT_NEAR(p.fraction(), fraction, 1e-9) << bytesDone;
        EXPECT_EQ(p.percentText(), percent) << bytesDone;
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

} // namespace keelbox
