#include "app/Console.h"

#include "app/LogText.h"
#include "core/ShownText.h"
#include "localization/Format.h"

namespace keelbox::app {

Console::Console(AppState& state, std::ostream& out, QObject* parent)
    : QObject(parent), m_state(state), m_out(out) {
    connect(&state, &AppState::volumesChanged, this, [this] { volumesChanged(); });
    connect(&state, &AppState::logChanged, this, [this] { logChanged(); });
    connect(&state, &AppState::outcomeNotLogged, this, [this](const LogEntry& entry) {
        m_out << formatLogEntry(entry, m_state.localizer().language()) << std::flush;
    });
    if (!state.log().empty())
        m_lastPrinted = state.log().front().id;
}

void Console::say(std::string_view key, std::initializer_list<FormatArg> args) {
    // Arguments may be drive names.
    m_out << inertText(m_state.localizer().text(key, args)) << std::endl;
}

void Console::volumesChanged() {
    const AppLanguage language = m_state.localizer().language();
    std::map<std::string, std::string> now;
    for (const VolumeInfo& volume : m_state.volumes())
        now.emplace(volume.id, volume.name);

    if (!m_listed) {
        m_listed = true;
        if (m_state.volumes().empty()) {
            say("menu.empty");
        } else {
            say("watch.drives");
            for (const VolumeInfo& volume : m_state.volumes())
                m_out << "  " << formatVolumeLine(volume, language) << "\n";
            m_out.flush();
        }
        m_known = std::move(now);
        return;
    }
    for (const VolumeInfo& volume : m_state.volumes()) {
        if (!m_known.contains(volume.id))
            say("watch.connected", {formatVolumeLine(volume, language)});
    }
    for (const auto& [id, name] : m_known) {
        if (!now.contains(id))
            say("watch.disconnected", {shownName(name) + " (" + inertText(id) + ")"});
    }
    m_known = std::move(now);
}

void Console::logChanged() {
    const auto& log = m_state.log();
    if (log.empty() || (m_lastPrinted && *m_lastPrinted == log.front().id))
        return;
    // Entries are added one at a time, each with its own signal: the newest is the one to print.
    m_lastPrinted = log.front().id;
    m_out << formatLogEntry(log.front(), m_state.localizer().language()) << std::flush;
}

WatchOptions parseWatchArguments(const QStringList& arguments) {
    WatchOptions options;
    QStringList rest = arguments;
    if (!rest.isEmpty() && rest.front() == QLatin1String("watch"))
        rest.removeFirst();
    for (qsizetype i = 0; i < rest.size(); ++i) {
        const QString& argument = rest[i];
        QString value;
        if (argument == QLatin1String("--language")) {
            if (i + 1 >= rest.size()) {
                options.error = "--language needs a value: pl or en";
                return options;
            }
            value = rest[++i];
        } else if (argument.startsWith(QLatin1String("--language="))) {
            value = argument.mid(11);
        } else {
            options.error = "unknown argument: " + argument.toStdString();
            return options;
        }
        options.language = appLanguageFromRaw(value.toStdString());
        if (!options.language) {
            options.error = "unknown language: " + value.toStdString() + " (use pl or en)";
            return options;
        }
    }
    return options;
}

} // namespace keelbox::app
