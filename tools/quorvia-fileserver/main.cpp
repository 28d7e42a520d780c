// quorvia-fileserver: serves a central copy of the installation to the launchers
// of a hospital that has no file server of its own.

#include "command_line.h"
#include "file_server.h"
#include "platform/file_ops.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int exitNoRoot = 66;
constexpr int exitUnavailable = 69;

int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 's';
    // Only async-signal-safe work here: the stopper thread does the rest.
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

// A log line that cannot be written is dropped: the server goes on serving.
void writeLog(const QByteArray& bytes) {
    platform::writeAll(STDERR_FILENO, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The log on standard error. Lines are gathered and written together at least
// every 50 ms (a write per request would cost the event loops a system call
// each); flush() writes what is pending at once.
class LogWriter {
public:
    LogWriter() : m_thread([this] { run(); }) {}
    ~LogWriter() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    void add(const QString& line) {
        const QByteArray bytes = line.toLocal8Bit() + '\n';
        const std::lock_guard lock(m_mutex);
        m_pending += bytes;
    }
    void flush() {
        const std::lock_guard writing(m_writeMutex);
        QByteArray bytes;
        {
            const std::lock_guard lock(m_mutex);
            bytes.swap(m_pending);
        }
        writeLog(bytes);
    }

private:
    void run() {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            m_wake.wait_for(lock, std::chrono::milliseconds(50));
            lock.unlock();
            flush();
            lock.lock();
        }
        lock.unlock();
        flush();
    }

    std::mutex m_mutex;
    std::mutex m_writeMutex;
    std::condition_variable m_wake;
    QByteArray m_pending;
    bool m_stop = false;
    std::thread m_thread;
};

LogWriter* logWriter = nullptr;

void printLine(const QString& line) {
    if (logWriter) {
        logWriter->add(line);
    } else {
        writeLog(line.toLocal8Bit() + '\n');
    }
}

void fail(const QString& message) {
    printLine(QStringLiteral("quorvia-fileserver: ") + message);
}

// A whole number from min to max, or nothing.
std::optional<unsigned> numberOption(const QCommandLineParser& parser, const QString& name,
                                     unsigned min, unsigned max) {
    bool ok = false;
    const unsigned value = command_line::trimmedValue(parser, name).toUInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

// Every connection is a descriptor: allow as many as the system lets us.
rlim_t raiseDescriptorLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-fileserver"));

    const fileserver::ServerLimits defaults;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the central copy of the installation to the launchers over HTTP."));
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
    if (const auto exit = command_line::parse(parser, QCoreApplication::arguments()))
        return *exit;

    const QString root = command_line::trimmedValue(parser, QStringLiteral("root"));
    if (root.isEmpty())
        return command_line::usageError(QStringLiteral("--root is required"));
    const QString listen = command_line::trimmedValue(parser, QStringLiteral("listen"));
    const qsizetype colon = listen.lastIndexOf(u':');
    bool portOk = false;
    const int port = colon > 0 ? listen.sliced(colon + 1).toInt(&portOk) : -1;
    if (!portOk || port < 0 || port > 65535)
        return command_line::usageError(
            QStringLiteral("--listen takes HOST:PORT, not \"%1\"").arg(listen));
    const QString host = listen.first(colon);

    fileserver::ServerLimits limits;
    if (parser.isSet(QStringLiteral("threads"))) {
        const auto n = numberOption(parser, QStringLiteral("threads"), 1, 256);
        if (!n)
            return command_line::usageError(QStringLiteral("--threads takes a number from 1 to 256"));
        limits.threads = static_cast<int>(*n);
    }
    const auto maxConnections = numberOption(parser, QStringLiteral("max-connections"), 1, 1'000'000);
    const auto maxPerAddress = numberOption(parser, QStringLiteral("max-per-address"), 0, 1'000'000);
    const auto requestTimeout = numberOption(parser, QStringLiteral("request-timeout"), 1, 3600);
    const auto idleTimeout = numberOption(parser, QStringLiteral("idle-timeout"), 1, 3600);
    const auto recheck = numberOption(parser, QStringLiteral("recheck"), 0, 86400);
    if (!maxConnections)
        return command_line::usageError(QStringLiteral("--max-connections takes a number from 1 on"));
    if (!maxPerAddress)
        return command_line::usageError(QStringLiteral("--max-per-address takes a number from 0 on"));
    if (!requestTimeout || !idleTimeout)
        return command_line::usageError(
            QStringLiteral("--request-timeout and --idle-timeout take seconds from 1 to 3600"));
    if (!recheck)
        return command_line::usageError(QStringLiteral("--recheck takes seconds from 0 to 86400"));
    limits.maxConnections = *maxConnections;
    limits.maxPerAddress = *maxPerAddress;
    limits.requestTimeout = *requestTimeout;
    limits.idleTimeout = *idleTimeout;
    limits.recheckInterval = *recheck;

    const rlim_t descriptors = raiseDescriptorLimit();
    if (descriptors < limits.maxConnections + 64) {
        limits.maxConnections = descriptors > 128 ? static_cast<unsigned>(descriptors - 64) : 64;
        fail(QStringLiteral("only %1 open files allowed: at most %2 connections")
                 .arg(descriptors)
                 .arg(limits.maxConnections));
    }

    const QString rootPath = QDir(root).absolutePath();
    std::optional<fileserver::FileServer> server;
    try {
        server.emplace(rootPath, limits, printLine);
    } catch (const std::runtime_error& e) {
        fail(QStringLiteral("cannot serve the folder \"%1\": %2")
                 .arg(root, QString::fromLocal8Bit(e.what())));
        return exitNoRoot;
    }
    int bound = -1;
    try {
        bound = server->bind(host, port);
    } catch (const std::runtime_error& e) {
        fail(QString::fromLocal8Bit(e.what()));
        return exitUnavailable;
    }

    if (::pipe2(stopPipe, O_CLOEXEC) != 0) {
        fail(QStringLiteral("cannot set up signal handling"));
        return exitUnavailable;
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::thread stopper([&server] {
        char byte = 0;
        while (::read(stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        server->stop(); // also before serving began: listen() then returns at once
    });

    bool served = false;
    {
        LogWriter writer;
        logWriter = &writer;
        printLine(QStringLiteral("quorvia-fileserver: serving ") + rootPath +
                  QStringLiteral(" on http://") + host + u':' + QString::number(bound));
        writer.flush();
        served = server->listen();
        onStopSignal(0); // wakes the stopper when serving ended on its own
        stopper.join();
        server.reset(); // no request is logged after this
        logWriter = nullptr;
    }
    printLine(QStringLiteral("quorvia-fileserver: stopped"));
    return served ? 0 : exitUnavailable;
}
