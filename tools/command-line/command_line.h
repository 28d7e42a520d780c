#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

namespace command_line {

// Exit status for wrong usage, as in sysexits.h.
inline constexpr int exitUsage = 64;

// The project's version, as --version prints it.
QString version();

// Adds --help and --version to the parser and parses the arguments (argv[0]
// first). Returns an exit code when the program should end now: 0 after
// --help or --version printed on standard output, exitUsage after a one-line
// error and a pointer to --help on standard error. Returns nothing when the
// program should go on. Positional arguments are wrong usage unless
// allowPositional is set.
std::optional<int> parse(QCommandLineParser& parser, const QStringList& arguments,
                         bool allowPositional = false);

// The option's value with the blanks around it removed: values pasted from a
// mail or a spreadsheet often carry them.
QString trimmedValue(const QCommandLineParser& parser, const QString& name);

// Reports wrong usage found after parsing in the same form as parse() does,
// and returns exitUsage.
int usageError(const QString& message);

} // namespace command_line
