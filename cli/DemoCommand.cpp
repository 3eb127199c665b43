// `keelbox demo`: a generated sample drive backed up twice, to show a first copy and a run that
// finds everything unchanged.

#include "cli/BackupRun.h"
#include "cli/CommandLine.h"

#include "core/ConfigFile.h"
#include "core/PosixFile.h"
#include "localization/Format.h"
#include "localization/Language.h"
#include "selftest/SelfTest.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <unistd.h>

namespace keelbox::cli {
namespace fs = std::filesystem;

namespace {

std::string text(std::string_view key, AppLanguage language) {
    return localizedText(key, language);
}

// Sample content that does not compress or deduplicate to nothing.
class Bytes {
public:
    explicit Bytes(std::uint64_t seed) : m_state(seed | 1) {}
    void fill(std::vector<char>& buffer) {
        for (std::size_t i = 0; i + 8 <= buffer.size(); i += 8) {
            m_state ^= m_state << 13;
            m_state ^= m_state >> 7;
            m_state ^= m_state << 17;
            std::memcpy(buffer.data() + i, &m_state, 8);
        }
    }
    std::uint64_t next(std::uint64_t bound) {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state % bound;
    }

private:
    std::uint64_t m_state;
};

bool writeSampleFile(const fs::path& path, std::size_t size, Bytes& bytes) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        return false;
    std::vector<char> buffer(std::min<std::size_t>(size, 1 << 20) + 8);
    for (std::size_t left = size; left > 0;) {
        bytes.fill(buffer);
        const std::size_t chunk = std::min(left, buffer.size() - 8);
        if (!writeAll(fd.get(), {buffer.data(), chunk}))
            return false;
        left -= chunk;
    }
    return fd.close() == 0;
}

struct SampleDrive {
    Int files = 0;
    Int64 bytes = 0;
};

// A few hundred small files in nested folders and a few larger ones, like a camera card or a
// stick with documents.
std::optional<SampleDrive> buildSampleDrive(const fs::path& drive) {
    static constexpr std::array folders = {
        "Documents/Work",     "Documents/Home", "Documents/Home/Taxes", "Photos/2025/Summer",
        "Photos/2025/Winter", "Photos/2026",    "Music/Album",          "Projects/site/css"};
    static constexpr std::array extensions = {".txt", ".pdf", ".jpg", ".jpg",
                                              ".jpg", ".mp3", ".odt", ".css"};
    Bytes bytes(0x6b65656c626f78);
    SampleDrive sample;
    std::error_code ec;
    for (std::size_t f = 0; f < folders.size(); ++f) {
        const fs::path folder = drive / folders[f];
        fs::create_directories(folder, ec);
        if (ec)
            return std::nullopt;
        for (int i = 0; i < 40; ++i) {
            const std::size_t size = 1024 + static_cast<std::size_t>(bytes.next(47 * 1024));
            const fs::path file =
                folder / ("file-" + std::to_string(i + 1) + extensions[f % extensions.size()]);
            if (!writeSampleFile(file, size, bytes))
                return std::nullopt;
            ++sample.files;
            sample.bytes += static_cast<Int64>(size);
        }
    }
    fs::create_directories(drive / "Videos", ec);
    for (int i = 0; i < 3; ++i) {
        const std::size_t size = std::size_t{8} << 20;
        if (ec || !writeSampleFile(drive / "Videos" / ("clip-" + std::to_string(i + 1) + ".mp4"),
                                   size, bytes))
            return std::nullopt;
        ++sample.files;
        sample.bytes += static_cast<Int64>(size);
    }
    return sample;
}

// The demo's own folder below the temporary folder; nothing after saying why there is none.
std::optional<fs::path> makeDemoFolder(Terminal& terminal) {
    const fs::path parent = temporaryFolder(terminal.getenv ? terminal.getenv("TMPDIR") : nullptr);
    std::string pattern = (parent / "keelbox-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        terminal.err << "keelbox: " << FileError{errno, "create the folder", pattern}.message()
                     << '\n';
        return std::nullopt;
    }
    return pattern;
}

// Builds the sample drive and its configuration: the whole drive, mirrored into `destination`.
std::optional<DriveConfig> prepareDemoDrive(const fs::path& drive, const fs::path& destination,
                                            AppLanguage language, Terminal& terminal) {
    terminal.out << formatText(text("cli.demo.building", language), {drive.string()}) << '\n';
    const std::optional<SampleDrive> sample = buildSampleDrive(drive);
    if (!sample) {
        terminal.err << "keelbox: "
                     << formatText(text("cli.demo.buildFailed", language), {drive.string()})
                     << '\n';
        return std::nullopt;
    }
    terminal.out << formatText(text("cli.demo.built", language),
                               {sample->files, formatFileSize(sample->bytes, language)})
                 << '\n';
    DriveConfig config = DriveConfig::makeNew("DemoStick", now());
    config.destinationPath = destination.string();
    config.deleteRemovedFiles = true;
    config.sources = {SourceItem{Uuid::random(), {}}};
    if (const auto failure = writeConfig(config, drive)) {
        terminal.err << "keelbox: "
                     << formatText(text("cli.err.writeFailed", language), {failure->message})
                     << '\n';
        return std::nullopt;
    }
    terminal.out << formatText(text("cli.config.saved", language),
                               {(drive / configFileName).string()})
                 << '\n';
    return config;
}

// A first backup that copies everything, then one that finds everything unchanged.
int backUpTwice(const DriveConfig& config, const fs::path& drive, AppLanguage language,
                Terminal& terminal) {
    terminal.out << '\n' << text("cli.demo.first", language) << '\n';
    const RunOutcome first = runDriveBackup(config, drive, language, terminal, true);
    printOutcome(first, language, terminal);
    int status = exitStatus(first);
    if (!first.interrupted) {
        terminal.out << '\n' << text("cli.demo.second", language) << '\n';
        const RunOutcome second = runDriveBackup(config, drive, language, terminal, true);
        printOutcome(second, language, terminal);
        status = std::max(status, exitStatus(second));
    }
    terminal.out << '\n';
    return status;
}

} // namespace

int runDemoCommand(const std::vector<std::string>& args, Terminal& terminal) {
    keepRunningWithoutReader();
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const LanguageChoice choice = takeLanguageOption(rest, terminal.getenv);
    const AppLanguage language = choice.language;
    if (choice.error) {
        terminal.err << "keelbox: " << *choice.error << '\n';
        return exitUsage;
    }
    bool keep = false;
    for (const std::string& arg : rest) {
        if (arg == "--keep") {
            keep = true;
        } else {
            terminal.err << "keelbox: "
                         << formatText(text("cli.err.unknownArgument", language), {arg}) << '\n'
                         << text("cli.usage", language) << '\n';
            return exitUsage;
        }
    }

    const std::optional<fs::path> root = makeDemoFolder(terminal);
    if (!root)
        return exitIssues;
    const fs::path drive = *root / "DemoStick";
    const std::optional<DriveConfig> config =
        prepareDemoDrive(drive, *root / "Backups", language, terminal);
    const int status = config ? backUpTwice(*config, drive, language, terminal) : exitIssues;
    if (keep) {
        terminal.out << formatText(text("cli.demo.kept", language), {root->string()}) << '\n';
    } else {
        std::error_code ignored;
        fs::remove_all(*root, ignored);
        terminal.out << text("cli.demo.removed", language) << '\n';
    }
    return status;
}

} // namespace keelbox::cli
