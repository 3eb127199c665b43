#pragma once
// The text face of the application state (the watch command, and the application until it has
// views): drives at start, drives coming and going, every log entry as it is made.

#include "app/AppState.h"

#include <QObject>
#include <QStringList>

#include <map>
#include <optional>
#include <ostream>
#include <string>

namespace keelbox::app {

class Console : public QObject {
public:
    Console(AppState& state, std::ostream& out, QObject* parent = nullptr);

    // One line in the current language.
    void say(std::string_view key, std::initializer_list<FormatArg> args = {});

private:
    void volumesChanged();
    void logChanged();

    AppState& m_state;
    std::ostream& m_out;
    bool m_listed = false;
    // Listed drives by id, with their names, to say which one went away.
    std::map<std::string, std::string> m_known;
    std::optional<Uuid> m_lastPrinted;
};

struct WatchOptions {
    std::optional<AppLanguage> language;
    // Set when the arguments cannot be used; the text says why.
    std::optional<std::string> error;
};

// `[watch] [--language pl|en]` (also `--language=pl`), without the program name.
WatchOptions parseWatchArguments(const QStringList& arguments);

} // namespace keelbox::app
