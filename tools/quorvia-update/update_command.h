#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

// Exit codes of the command.
namespace exit_codes {
inline constexpr int AllReplaced = 0;
inline constexpr int SomeFailed = 1;
inline constexpr int NotPrepared = 2;
inline constexpr int NoSource = 3;
inline constexpr int Usage = 64;
} // namespace exit_codes

struct UpdateCommandOptions {
    QString dir; // empty: the current folder
    std::optional<QString> share;
    std::optional<QString> url;
    QString module;
    bool sharedFiles = false;
    bool json = false;
    int waitSeconds = 120; // for another run on the same folder to end
};

struct ParsedCommandLine {
    enum class Kind { Run, Help, UsageError };
    Kind kind = Kind::UsageError;
    UpdateCommandOptions options;
    QString message; // the usage text, or what was wrong
};

// Parses the arguments after the program name.
ParsedCommandLine parseUpdateCommandLine(const QStringList& arguments);
QString updateCommandUsage();

struct FileFailure {
    QString file;
    QString error;
};

struct RunSummary {
    int checked = 0;
    int stale = 0;
    int fetched = 0;
    int failed = 0;
    qint64 elapsedMs = 0;
    QList<FileFailure> failures;
};

// "checked N, stale N, fetched N, failed N, elapsed S.SSS s"
QString summaryLine(const RunSummary& summary);
// One JSON object on one line.
QString summaryJson(const RunSummary& summary);
int exitCodeFor(const RunSummary& summary);

// Runs one update run with the settings of the installation folder, waiting for
// its completion in the application's event loop (a QCoreApplication must exist).
// Writes the summary to out and failures, errors and (when progress is true) a
// progress line to err. Returns the exit code.
int runUpdateCommand(const UpdateCommandOptions& options, QTextStream& out, QTextStream& err,
                     bool progress);
