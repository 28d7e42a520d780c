#pragma once

#include "file_server.h"

#include <QCommandLineParser>
#include <QString>

namespace fileserver {

// What the command line of quorvia-fileserver asks for.
struct ServerOptions {
    QString root; // as given, blanks around it removed
    QString host; // as given, brackets of an IPv6 address and all
    int port = 0;
    ServerLimits limits;
};

// Adds the server's own options (--root, --listen and the limits) to parser.
void addServerOptions(QCommandLineParser& parser);

// The options of a parsed command line, or in error the message of the first
// wrong one (for command_line::usageError; options are then not to be used).
struct CheckedOptions {
    ServerOptions options;
    QString error;
};
CheckedOptions checkServerOptions(const QCommandLineParser& parser);

} // namespace fileserver
