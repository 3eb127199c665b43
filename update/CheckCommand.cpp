#include "update/CheckCommand.h"

#include "app/Localizer.h"
#include "core/ShownText.h"
#include "update/UpdateService.h"

#include <QEventLoop>

#include <ostream>

namespace keelbox::update {

namespace {

struct CheckRequest {
    FeedSource source;
    AppLanguage language;
    std::string problem; // what is wrong with the arguments; empty when nothing is
};

// The configured feed and language, with what the options change.
CheckRequest parseArguments(const QStringList& arguments) {
    CheckRequest request{
        applicationFeed(*app::Preferences::shared()), app::Localizer::shared().language(), {}};
    const auto fail = [&request](const char* key, const QString& subject) {
        request.problem = formatLocalized(key, request.language, {subject.toStdString()});
        return request;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& option = arguments[i];
        if (option != QLatin1String("--feed") && option != QLatin1String("--public-key") &&
            option != QLatin1String("--language"))
            return fail("cli.err.unknownArgument", option);
        if (i + 1 >= arguments.size())
            return fail("cli.err.missingValue", option);
        const QString value = arguments[++i];
        if (option == QLatin1String("--feed")) {
            request.source.address = QUrl(value);
        } else if (option == QLatin1String("--public-key")) {
            request.source.publicKey = decodePublicKey(value);
            if (request.source.publicKey.isEmpty())
                return fail("update.err.badKey", value);
        } else if (auto chosen = appLanguageFromRaw(value.toStdString())) {
            request.language = *chosen;
        } else {
            return fail("cli.err.badLanguage", value);
        }
    }
    return request;
}

CheckResult checkOnce(const FeedSource& source) {
    UpdateChecker checker(source, runningVersion());
    CheckResult result;
    QEventLoop loop;
    QObject::connect(&checker, &UpdateChecker::finished, &loop, [&](const CheckResult& done) {
        result = done;
        loop.quit();
    });
    checker.start();
    loop.exec();
    return result;
}

} // namespace

int runCheckUpdateCommand(const QStringList& arguments, std::ostream& out, std::ostream& err) {
    const CheckRequest request = parseArguments(arguments);
    if (!request.problem.empty()) {
        err << "keelbox check-update: " << request.problem << '\n'
            << "usage: keelbox check-update [--feed URL] [--public-key KEY] [--language pl|en]\n";
        return exitUsage;
    }
    const CheckResult result = checkOnce(request.source);
    const AppLanguage language = request.language;
    const FeedEntry& entry = result.entry;
    switch (result.outcome) {
    case CheckResult::Outcome::updateFound:
        out << formatLocalized("update.cli.available", language,
                               {entry.displayVersion.toStdString(), runningVersion().toStdString(),
                                entry.releaseDate.toString(Qt::ISODate).toStdString()})
            << '\n'
            << formatLocalized("update.cli.download", language,
                               {inertText(entry.downloadPage.toString().toStdString())})
            << '\n';
        if (!entry.releaseNotes.isEmpty())
            out << '\n' << entry.releaseNotes.toStdString() << '\n';
        return exitUpdateAvailable;
    case CheckResult::Outcome::upToDate:
        out << formatLocalized("update.cli.upToDate", language, {runningVersion().toStdString()})
            << '\n';
        return exitOk;
    case CheckResult::Outcome::failed:
        break;
    }
    err << "keelbox check-update: " << failureText(result, language) << '\n';
    return exitIssues;
}

} // namespace keelbox::update
