// `keelbox demo`: a generated sample drive backed up twice, to show a first copy and a run that
// finds everything unchanged.

#include "cli/BackupRun.h"
#include "cli/CommandLine.h"

#include "core/ConfigFile.h"
#include "core/PosixFile.h"
#include "localization/Format.h"
#include "localization/Language.h"

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

fs::path temporaryFolder(const EnvironmentLookup& getenv) {
    const char* tmpdir = getenv ? getenv("TMPDIR") : nullptr;
    return tmpdir != nullptr && *tmpdir != '\0' ? fs::path(tmpdir) : fs::path("/tmp");
}

} // namespace

int runDemoCommand(const std::vector<std::string>& args, Console& console) {
    keepRunningWithoutReader();
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const LanguageChoice choice = takeLanguageOption(rest, console.getenv);
    const AppLanguage language = choice.language;
    if (choice.error) {
        console.err << "keelbox: " << *choice.error << '\n';
        return exitUsage;
    }
    bool keep = false;
    for (const std::string& arg : rest) {
        if (arg == "--keep") {
            keep = true;
        } else {
            console.err << "keelbox: "
                        << formatText(text("cli.err.unknownArgument", language), {arg}) << '\n'
                        << text("cli.usage", language) << '\n';
            return exitUsage;
        }
    }

    std::string pattern = (temporaryFolder(console.getenv) / "keelbox-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        console.err << "keelbox: " << FileError{errno, "create the folder", pattern}.message()
                    << '\n';
        return exitIssues;
    }
    const fs::path root = pattern;
    const fs::path drive = root / "DemoStick";
    const fs::path destination = root / "Backups";
    const auto cleanUp = [&] {
        std::error_code ignored;
        if (keep) {
            console.out << formatText(text("cli.demo.kept", language), {root.string()}) << '\n';
        } else {
            fs::remove_all(root, ignored);
            console.out << text("cli.demo.removed", language) << '\n';
        }
    };

    console.out << formatText(text("cli.demo.building", language), {drive.string()}) << '\n';
    const std::optional<SampleDrive> sample = buildSampleDrive(drive);
    if (!sample) {
        console.err << "keelbox: "
                    << formatText(text("cli.demo.buildFailed", language), {drive.string()}) << '\n';
        cleanUp();
        return exitIssues;
    }
    console.out << formatText(text("cli.demo.built", language),
                              {sample->files, formatFileSize(sample->bytes, language)})
                << '\n';

    DriveConfig config = DriveConfig::makeNew("DemoStick", now());
    config.destinationPath = destination.string();
    config.deleteRemovedFiles = true;
    config.sources = {SourceItem{Uuid::random(), {}}};
    if (const auto failure = writeConfig(config, drive)) {
        console.err << "keelbox: "
                    << formatText(text("cli.err.writeFailed", language), {failure->message})
                    << '\n';
        cleanUp();
        return exitIssues;
    }
    console.out << formatText(text("cli.config.saved", language),
                              {(drive / configFileName).string()})
                << "\n\n"
                << text("cli.demo.first", language) << '\n';

    const RunOutcome first = runDriveBackup(config, drive, language, console, true);
    printOutcome(first, language, console);
    int status = exitStatus(first);
    if (!first.interrupted) {
        console.out << '\n' << text("cli.demo.second", language) << '\n';
        const RunOutcome second = runDriveBackup(config, drive, language, console, true);
        printOutcome(second, language, console);
        status = std::max(status, exitStatus(second));
    }
    console.out << '\n';
    cleanUp();
    return status;
}

} // namespace keelbox::cli
