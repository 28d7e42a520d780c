#pragma once

#include "command_line.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

class QCommandLineParser;
class QTextStream;

// Exit codes of the command.
namespace exit_codes {
inline constexpr int AllReplaced = 0;
inline constexpr int SomeFailed = 1;
inline constexpr int NotPrepared = 2;
inline constexpr int NoSource = 3;
inline constexpr int Usage = command_line::exitUsage; // wrong usage, as every tool of ours
} // namespace exit_codes

// What the command line asks for. A plain struct: one field per option.
struct UpdateCommandOptions {
    QString dir; // empty: the current folder
    std::optional<QString> share;
    std::optional<QString> url;
    QString module;
    bool sharedFiles = false;
    bool json = false;
    int waitSeconds = 120; // for another run on the same folder to end
};

// Declares the command's options on the parser (--help and --version are added
// by command_line::parse).
void addUpdateOptions(QCommandLineParser& parser);

// The options of a parsed command line, values trimmed. Returns the wrong-usage
// message instead when the line asks for nothing to do.
std::variant<UpdateCommandOptions, QString> updateOptionsFrom(const QCommandLineParser& parser);

struct FileFailure {
    QString file;
    QString error;
};

// The error record of a listing the server refused.
struct RefusedListing {
    int status = 0;
    QString error;
    QString detail;
};

struct RunSummary {
    int checked = 0;
    int stale = 0;
    int fetched = 0;
    int failed = 0;
    qint64 elapsedMs = 0;
    QList<FileFailure> failures;
    QString missingModule;                 // asked for, found neither locally nor centrally
    std::optional<RefusedListing> refused; // the listing was answered with an error record
};

// "checked N, stale N, fetched N, failed N, elapsed S.SSS s"
QString summaryLine(const RunSummary& summary);
// One JSON object on one line.
QString summaryJson(const RunSummary& summary);
// Refused listing 2, a failed file or a missing module 1, else 0.
int exitCodeFor(const RunSummary& summary);
// The lines standard error carries after a run: one per failure, the missing
// module, the refused listing.
QStringList problemLines(const RunSummary& summary, const QString& installFolder,
                         const QString& source);

// Runs one update run with the settings of the installation folder, waiting for
// its completion in the application's event loop (a QCoreApplication must exist).
// Writes the summary to out and failures, errors and (when progress is true) a
// progress line to err. Returns the exit code.
int runUpdateCommand(const UpdateCommandOptions& options, QTextStream& out, QTextStream& err,
                     bool progress);
