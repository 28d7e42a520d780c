#include "server_options.h"

#include "command_line.h"

#include <optional>

namespace fileserver {

namespace {

// A whole number from min to max, or nothing.
std::optional<unsigned> numberOption(const QCommandLineParser& parser, const QString& name,
                                     unsigned min, unsigned max) {
    bool ok = false;
    const unsigned value = command_line::trimmedValue(parser, name).toUInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

void addServerOptions(QCommandLineParser& parser) {
    const ServerLimits defaults;
    parser.setApplicationDescription(
        QStringLiteral("Serves the central copy of the installation to the launchers over HTTP."));
    parser.addOption({QStringLiteral("root"),
                      QStringLiteral("The folder whose files are served (the central copy)."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("listen"),
                      QStringLiteral("Address and port to listen on; port 0 picks a free one "
                                     "(default 127.0.0.1:8080)."),
                      QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:8080")});
    parser.addOption({QStringLiteral("threads"),
                      QStringLiteral("Event loops serving the connections (default: one per "
                                     "processor, at least 2)."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("max-connections"),
                      QStringLiteral("Connections held at once, in all (default %1).")
                          .arg(defaults.maxConnections),
                      QStringLiteral("N"), QString::number(defaults.maxConnections)});
    parser.addOption({QStringLiteral("max-per-address"),
                      QStringLiteral("Connections held at once from one client address; 0 for no "
                                     "limit (default %1). Raise it behind a proxy or cache.")
                          .arg(defaults.maxPerAddress),
                      QStringLiteral("N"), QString::number(defaults.maxPerAddress)});
    parser.addOption({QStringLiteral("request-timeout"),
                      QStringLiteral("Seconds a client has to send a whole request, from its "
                                     "connection or previous answer on (default %1).")
                          .arg(defaults.requestTimeout),
                      QStringLiteral("SECONDS"), QString::number(defaults.requestTimeout)});
    parser.addOption({QStringLiteral("idle-timeout"),
                      QStringLiteral("Seconds of silence after which a connection is closed "
                                     "(default %1).")
                          .arg(defaults.idleTimeout),
                      QStringLiteral("SECONDS"), QString::number(defaults.idleTimeout)});
    parser.addOption({QStringLiteral("recheck"),
                      QStringLiteral("Seconds between re-checks of the files' sizes and times "
                                     "against the listing, for changes inotify cannot see (a "
                                     "file written through a hard link from outside, network "
                                     "file systems); 0 turns them off (default %1).")
                          .arg(defaults.recheckInterval),
                      QStringLiteral("SECONDS"), QString::number(defaults.recheckInterval)});
}

CheckedOptions checkServerOptions(const QCommandLineParser& parser) {
    CheckedOptions out;
    const auto fail = [&out](const QString& message) {
        out.error = message;
        return out;
    };
    const QString root = command_line::trimmedValue(parser, QStringLiteral("root"));
    if (root.isEmpty())
        return fail(QStringLiteral("--root is required"));
    const QString listen = command_line::trimmedValue(parser, QStringLiteral("listen"));
    const qsizetype colon = listen.lastIndexOf(u':');
    bool portOk = false;
    const int port = colon > 0 ? listen.sliced(colon + 1).toInt(&portOk) : -1;
    if (!portOk || port < 0 || port > 65535)
        return fail(QStringLiteral("--listen takes HOST:PORT, not \"%1\"").arg(listen));
    const QString host = listen.first(colon);

    ServerLimits& limits = out.options.limits;
    if (parser.isSet(QStringLiteral("threads"))) {
        const auto n = numberOption(parser, QStringLiteral("threads"), 1, 256);
        if (!n)
            return fail(QStringLiteral("--threads takes a number from 1 to 256"));
        limits.threads = static_cast<int>(*n);
    }
    const auto maxConnections =
        numberOption(parser, QStringLiteral("max-connections"), 1, 1'000'000);
    const auto maxPerAddress =
        numberOption(parser, QStringLiteral("max-per-address"), 0, 1'000'000);
    const auto requestTimeout = numberOption(parser, QStringLiteral("request-timeout"), 1, 3600);
    const auto idleTimeout = numberOption(parser, QStringLiteral("idle-timeout"), 1, 3600);
    const auto recheck = numberOption(parser, QStringLiteral("recheck"), 0, 86400);
    if (!maxConnections)
        return fail(QStringLiteral("--max-connections takes a number from 1 on"));
    if (!maxPerAddress)
        return fail(QStringLiteral("--max-per-address takes a number from 0 on"));
    if (!requestTimeout || !idleTimeout)
        return fail(
            QStringLiteral("--request-timeout and --idle-timeout take seconds from 1 to 3600"));
    if (!recheck)
        return fail(QStringLiteral("--recheck takes seconds from 0 to 86400"));
    limits.maxConnections = *maxConnections;
    limits.maxPerAddress = *maxPerAddress;
    limits.requestTimeout = *requestTimeout;
    limits.idleTimeout = *idleTimeout;
    limits.recheckInterval = *recheck;

    out.options.root = root;
    out.options.host = host;
    out.options.port = port;
    return out;
}

} // namespace fileserver
