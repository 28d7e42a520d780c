#include "command_line.h"
#include "update_command.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-update"));
    // Standard error carries the failures and the progress line; the download
    // trace stays available through QT_LOGGING_RULES=quorvia.trace=true.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvia.trace=false"));

    QCommandLineParser parser;
    addUpdateOptions(parser);
    if (const std::optional<int> exitCode = command_line::parse(parser, app.arguments()))
        return *exitCode;
    const auto options = updateOptionsFrom(parser);
    if (const auto* problem = std::get_if<QString>(&options))
        return command_line::usageError(*problem);

    QTextStream out(stdout);
    QTextStream err(stderr);
    return runUpdateCommand(std::get<UpdateCommandOptions>(options), out, err,
                            ::isatty(STDERR_FILENO) == 1);
}
