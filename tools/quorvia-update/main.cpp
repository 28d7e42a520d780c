#include "update_command.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-update"));
    // Standard error carries the failures and the progress line; the download
    // trace stays available through QT_LOGGING_RULES=quorvia.trace=true.
    QLoggingCategory::setFilterRules(QStringLiteral("quorvia.trace=false"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    const ParsedCommandLine parsed = parseUpdateCommandLine(app.arguments().mid(1));
    switch (parsed.kind) {
    case ParsedCommandLine::Kind::Help:
        out << parsed.message;
        return exit_codes::AllReplaced;
    case ParsedCommandLine::Kind::UsageError:
        err << "quorvia-update: " << parsed.message << '\n' << updateCommandUsage();
        return exit_codes::Usage;
    case ParsedCommandLine::Kind::Run:
        break;
    }
    return runUpdateCommand(parsed.options, out, err, ::isatty(STDERR_FILENO) == 1);
}
