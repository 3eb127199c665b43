#include "core/ConfigFile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace keelbox {
namespace {

using namespace std::chrono;

Date at(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
    return Date(sys_days(year(y) / month(m) / day(d))) + hours(hh) + minutes(mm) + seconds(ss);
}

const Uuid firstID = *Uuid::parse("0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3");

DriveConfig sampleConfig() {
    DriveConfig config;
    config.driveID = "5D0A3C9E-2B1F-4C7A-9E8D-6F5B4A3C2D1E";
    config.driveName = "STICK";
    config.createdAt = at(2026, 12, 4, 18, 0, 0);
    config.updatedAt = at(2026, 12, 5, 9, 30, 15) + microseconds(250000);
    config.destinationPath = "~/Backups/Keelbox";
    config.mode = BackupMode::dated;
    config.deleteRemovedFiles = true;
    config.autoRunOnMount = false;
    config.sources = {{firstID, "Docs/Work"}};
    return config;
}

constexpr std::string_view sampleText = R"({
  "autoRunOnMount": false,
  "createdAt": "2026-12-04T18:00:00Z",
  "deleteRemovedFiles": true,
  "destinationPath": "~/Backups/Keelbox",
  "driveID": "5D0A3C9E-2B1F-4C7A-9E8D-6F5B4A3C2D1E",
  "driveName": "STICK",
  "mode": "dated",
  "schemaVersion": 1,
  "sources": [
    {
      "id": "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3",
      "relativePath": "Docs/Work"
    }
  ],
  "updatedAt": "2026-12-05T09:30:15Z"
}
)";

TEST(ConfigEncoding, ExactLayoutRoundTripsAndUnusualTexts) {
    DriveConfig config = sampleConfig();
    EXPECT_EQ(encodeConfig(config), sampleText);
    const auto decoded = decodeConfig(encodeConfig(config));
    config.updatedAt = floor<seconds>(config.updatedAt); // only fractions of seconds are lost
    EXPECT_EQ(decoded, config);

    config = DriveConfig::placeholder();
    config.driveName = "Zdjęcia \"2026\"\t/ 日本";
    EXPECT_EQ(decodeConfig(encodeConfig(config)), config);
    // Invalid UTF-8 in a name is replaced, not fatal.
    config.driveName = "bad\xff\xfename";
    EXPECT_EQ(decodeConfig(encodeConfig(config)).value().driveName,
              "bad\xEF\xBF\xBD\xEF\xBF\xBDname");
}

// The sample with the first `from` replaced by `to`.
std::string edited(std::string_view from, std::string_view to,
                   std::string text = std::string(sampleText)) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

using TextRow = std::pair<const char*, std::string>;

TEST(ConfigDecoding, WrongShapesAreNoConfiguration) {
    using nlohmann::json;
    const std::pair<const char*, std::function<void(json&)>> rows[] = {
        {"missing sources", [](json& j) { j.erase("sources"); }},
        {"unknown mode", [](json& j) { j["mode"] = "mirror"; }},
        {"version fractional", [](json& j) { j["schemaVersion"] = 1.5; }},
        {"version above Int", [](json& j) { j["schemaVersion"] = 9223372036854775808u; }},
        {"version 2^63 as float", [](json& j) { j["schemaVersion"] = 9223372036854775808.0; }},
        {"path as array", [](json& j) { j["destinationPath"] = json::array({"~"}); }},
        {"sources as object", [](json& j) { j["sources"] = json::object(); }},
        {"source not an object", [](json& j) { j["sources"].push_back(1); }},
        {"source id short", [](json& j) { j["sources"][0]["id"] = "0A1B2C3D-4E5F-4A6B-8C7D"; }},
        {"source without id", [](json& j) { j["sources"][0].erase("id"); }},
        {"date without zone", [](json& j) { j["createdAt"] = "2026-12-04T18:00:00"; }},
    };
    // The sample, parsed, changed by the row and written compactly.
    for (const auto& [name, change] : rows) {
        json object = json::parse(sampleText);
        change(object);
        EXPECT_EQ(decodeConfig(object.dump()), std::nullopt) << name;
    }
}

TEST(ConfigDecoding, MalformedTextIsNoConfiguration) {
    const std::string sample(sampleText);
    const TextRow rows[] = {
        {"empty", ""},
        {"array at top", "[" + sample + "]"},
        {"nul byte inside", edited("STICK", std::string("ST\0CK", 5))},
        {"invalid utf-8", edited("STICK", "ST\xC3\x28K")},
        {"lone surrogate escape", edited("STICK", "ST\\uD800K")},
        {"number beyond a double", edited("\"STICK\"", "1e999")},
        {"such a number in an extra key", edited("{\n", "{\"extra\": -9E8444444,")},
        {"deep nesting", std::string(100000, '[') + std::string(100000, ']')},
        {"deep nesting in an extra key",
         edited("\"sources\": [", "\"extra\": " + std::string(5000, '[') + std::string(5000, ']') +
                                      ",\"sources\": [")},
        {"oversized", edited("\"STICK\"", "\"" + std::string(2 * 1024 * 1024, 'a') + "\"")},
    };
    for (const auto& [name, text] : rows)
        EXPECT_EQ(decodeConfig(text), std::nullopt) << name;
}

TEST(ConfigDecoding, TolerantWhereTheFormatAllows) {
    const TextRow rows[] = {
        {"extra top-level key", edited("{\n", "{\n  \"comment\": {\"nested\": [1, 2]},\n")},
        {"extra source key", edited("\"relativePath\": \"Docs/Work\"",
                                    "\"relativePath\": \"Docs/Work\", \"note\": null")},
        {"lower-case id",
         edited("0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3", "0a1b2c3d-4e5f-4a6b-8c7d-8e9fa0b1c2d3")},
        {"fraction in version", edited("\"schemaVersion\": 1", "\"schemaVersion\": 1.0")},
        {"offset date", edited("2026-12-04T18:00:00Z", "2026-12-04T19:00:00+01:00")},
        {"byte order mark", "\xEF\xBB\xBF" + std::string(sampleText)},
    };
    for (const auto& [name, text] : rows) {
        const auto decoded = decodeConfig(text);
        ASSERT_TRUE(decoded) << name;
        EXPECT_TRUE(decoded->createdAt == at(2026, 12, 4, 18, 0, 0) &&
                    decoded->sources.at(0).id == firstID && !decoded->autoRunOnMount)
            << name;
    }
}

TEST(ConfigDecoding, SchemaVersionIsKeptAsWritten) {
    for (const char* version : {"2", "9223372036854775807", "-9223372036854775808"}) {
        const auto decoded = decodeConfig(
            edited("\"schemaVersion\": 1", std::string("\"schemaVersion\": ") + version));
        EXPECT_EQ(std::to_string(decoded.value().schemaVersion), version);
    }
}

TEST(IsoDates, WriteAndRead) {
    // Beyond four-digit years the writer clamps rather than writing what it cannot read.
    for (const auto& [date, text] :
         {std::pair{at(2026, 12, 4, 18, 0, 0) + microseconds(999999), "2026-12-04T18:00:00Z"},
          {at(1969, 12, 31, 23, 59, 59) + microseconds(500000), "1969-12-31T23:59:59Z"},
          {Date(sys_days(year(12000) / 1 / 1)), "9999-12-31T23:59:59Z"}})
        EXPECT_EQ(formatIsoDate(date), text);

    const std::pair<const char*, std::optional<Date>> rows[] = {
        {"2026-12-04T19:30:00+01:30", at(2026, 12, 4, 18, 0, 0)},
        {"2026-12-04T18:00:00.5Z", at(2026, 12, 4, 18, 0, 0) + microseconds(500000)},
        {"0000-01-01T00:00:00Z", Date(sys_days(year(0) / 1 / 1))},
        {"9999-12-31T23:59:59Z", at(9999, 12, 31, 23, 59, 59)},
        {"0000-01-01T00:00:00+00:01", std::nullopt}, // before year 0 once the offset applies
        {"9999-12-31T23:59:59-00:01", std::nullopt}, // into year 10000
        {"2026-12-04T18:60:00Z", std::nullopt},
        {"2025-02-29T18:00:00Z", std::nullopt},
        {"2026-12-04T18:00:00.Z", std::nullopt},
        {"2026-12-04T18:00:00+24:00", std::nullopt},
        {"2026-12-04T18:00:00Z ", std::nullopt},
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(parseIsoDate(text), expected) << text;
}

} // namespace
} // namespace keelbox
