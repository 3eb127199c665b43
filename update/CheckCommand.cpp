#include "update/CheckCommand.h"

#include "app/Localizer.h"
#include "update/UpdateService.h"

#include <QEventLoop>

#include <ostream>

namespace keelbox::update {

int runCheckUpdateCommand(const QStringList& arguments, std::ostream& out, std::ostream& err) {
    FeedSource source = applicationFeed(*userSettings());
    AppLanguage language = app::Localizer::shared().language();
    std::string problem;
    for (qsizetype i = 0; i < arguments.size() && problem.empty(); ++i) {
        const QString& option = arguments[i];
        const bool takesValue = option == QLatin1String("--feed") ||
                                option == QLatin1String("--public-key") ||
                                option == QLatin1String("--language");
        if (!takesValue) {
            problem = formatLocalized("cli.err.unknownArgument", language, {option.toStdString()});
            break;
        }
        if (i + 1 >= arguments.size()) {
            problem = formatLocalized("cli.err.missingValue", language, {option.toStdString()});
            break;
        }
        const QString value = arguments[++i];
        if (option == QLatin1String("--feed")) {
            source.address = QUrl(value);
        } else if (option == QLatin1String("--public-key")) {
            source.publicKey = decodePublicKey(value);
            if (source.publicKey.isEmpty())
                problem = formatLocalized("update.err.badKey", language, {value.toStdString()});
        } else if (auto chosen = appLanguageFromRaw(value.toStdString())) {
            language = *chosen;
        } else {
            problem = formatLocalized("cli.err.badLanguage", language, {value.toStdString()});
        }
    }
    if (!problem.empty()) {
        err << "keelbox check-update: " << problem << '\n'
            << "usage: keelbox check-update [--feed URL] [--public-key KEY] [--language pl|en]\n";
        return exitBadArguments;
    }

    UpdateChecker checker(source, runningVersion());
    CheckResult result;
    QEventLoop loop;
    QObject::connect(&checker, &UpdateChecker::finished, &loop, [&](const CheckResult& done) {
        result = done;
        loop.quit();
    });
    checker.start();
    loop.exec();

    const FeedEntry& entry = result.entry;
    switch (result.outcome) {
    case CheckResult::Outcome::updateFound:
        out << formatLocalized("update.cli.available", language,
                               {entry.displayVersion.toStdString(), runningVersion().toStdString(),
                                entry.releaseDate.toString(Qt::ISODate).toStdString()})
            << '\n'
            << formatLocalized("update.cli.download", language,
                               {entry.downloadPage.toString().toStdString()})
            << '\n';
        if (!entry.releaseNotes.isEmpty())
            out << '\n' << entry.releaseNotes.toStdString() << '\n';
        return exitUpdateAvailable;
    case CheckResult::Outcome::upToDate:
        out << formatLocalized("update.cli.upToDate", language, {runningVersion().toStdString()})
            << '\n';
        return exitUpToDate;
    case CheckResult::Outcome::failed:
        break;
    }
    err << "keelbox check-update: " << failureText(result, language) << '\n';
    return exitCheckFailed;
}

} // namespace keelbox::update
