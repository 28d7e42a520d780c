#include "command_line.h"

#include <QCoreApplication>

#include <cstdio>

namespace command_line {

namespace {

void write(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

QString version() {
    return QStringLiteral(QUORVIA_VERSION);
}

int usageError(const QString& message) {
    const QString name = QCoreApplication::applicationName();
    write(stderr,
          QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(name, message));
    return exitUsage;
}

std::optional<int> parse(QCommandLineParser& parser, const QStringList& arguments,
                         bool allowPositional) {
    QCoreApplication::setApplicationVersion(version());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    // --help and --version win over anything else given with them.
    if (parser.isSet(help)) {
        // The usage line names the program as typed, often a long build path.
        QString text = parser.helpText();
        const QString typed = QStringLiteral("Usage: ") + arguments.value(0);
        if (text.startsWith(typed))
            text.replace(0, typed.size(),
                         QStringLiteral("Usage: ") + QCoreApplication::applicationName());
        write(stdout, text);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        write(stdout, QCoreApplication::applicationName() + u' ' + version() + u'\n');
        return 0;
    }
    if (!allowPositional && !parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    return std::nullopt;
}

QString trimmedValue(const QCommandLineParser& parser, const QString& name) {
    return parser.value(name).trimmed();
}

} // namespace command_line
