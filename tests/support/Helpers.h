#pragma once
// File helpers and the rule for missing machine capabilities, shared by every test folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace keelbox::test {

namespace fs = std::filesystem;

inline void writeFile(const fs::path& file, std::string_view content, mode_t mode = 0644) {
    fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out)
            throw std::runtime_error("cannot write " + file.string());
    }
    ::chmod(file.c_str(), mode);
}

inline std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// Every part must appear in `text`.
inline void expectParts(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& part : parts)
        EXPECT_TRUE(contains(text, part)) << part << "\nin: " << text;
}

} // namespace keelbox::test

#define KEELBOX_REQUIRE_CAPABILITY(available, why)                                                 \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            /* With CI=true a missing capability fails the test instead of skipping it. */         \
            if (const char* ci = std::getenv("CI");                                                \
                ci != nullptr && std::string_view{ci} == "true")                                   \
                FAIL() << "missing capability (CI=true): " << (why);                               \
            else                                                                                   \
                GTEST_SKIP() << "missing capability: " << (why);                                   \
        }                                                                                          \
    } while (0)
