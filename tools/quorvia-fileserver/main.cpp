// quorvia-fileserver: serves a central copy of the installation to the launchers
// of a hospital that has no file server of its own.

#include "command_line.h"
#include "file_server.h"
#include "log_writer.h"
#include "server_options.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
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

fileserver::LogWriter* logWriter = nullptr;

void printLine(const QString& line) {
    if (logWriter) {
        logWriter->add(line);
    } else {
        fileserver::writeLog(line.toLocal8Bit() + '\n');
    }
}

void fail(const QString& message) {
    printLine(QStringLiteral("quorvia-fileserver: ") + message);
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

    QCommandLineParser parser;
    fileserver::addServerOptions(parser);
    if (const auto exit = command_line::parse(parser, QCoreApplication::arguments()))
        return *exit;
    fileserver::CheckedOptions checked = fileserver::checkServerOptions(parser);
    if (!checked.error.isEmpty())
        return command_line::usageError(checked.error);
    const QString& root = checked.options.root;
    const QString& host = checked.options.host;
    fileserver::ServerLimits& limits = checked.options.limits;

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
        bound = server->bind(host, checked.options.port);
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
        fileserver::LogWriter writer;
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
