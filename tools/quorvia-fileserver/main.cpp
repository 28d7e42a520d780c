// quorvia-fileserver: serves a central copy of the installation to the launchers
// of a hospital that has no file server of its own.

#include "file_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

constexpr int exitUsage = 64;
constexpr int exitNoRoot = 66;
constexpr int exitUnavailable = 69;

int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 's';
    // Only async-signal-safe work here: the stopper thread does the rest.
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
}

void printLine(const QString& line) {
    static std::mutex mutex;
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    const std::lock_guard lock(mutex);
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int usage(const QString& problem) {
    if (!problem.isEmpty())
        printLine(QStringLiteral("quorvia-fileserver: ") + problem);
    printLine(QStringLiteral(
        "usage: quorvia-fileserver --root FOLDER [--listen HOST:PORT] [--threads N]\n"
        "  --root     the folder whose files are served (the central copy)\n"
        "  --listen   address and port to listen on (default 127.0.0.1:8080; port 0 picks one)\n"
        "  --threads  worker threads serving connections (default 64)"));
    return exitUsage;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvia-fileserver"));

    QString root;
    QString listen = QStringLiteral("127.0.0.1:8080");
    int threads = 64;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1StringView("--root") && hasValue) {
            root = args[++i];
        } else if (a == QLatin1StringView("--listen") && hasValue) {
            listen = args[++i];
        } else if (a == QLatin1StringView("--threads") && hasValue) {
            bool ok = false;
            threads = args[++i].toInt(&ok);
            if (!ok || threads < 1 || threads > 1024)
                return usage(QStringLiteral("--threads takes a number from 1 to 1024"));
        } else if (a == QLatin1StringView("--help") || a == QLatin1StringView("-h")) {
            usage(QString());
            return 0;
        } else {
            return usage(QStringLiteral("unexpected argument \"%1\"").arg(a));
        }
    }
    if (root.isEmpty())
        return usage(QStringLiteral("--root is required"));
    const qsizetype colon = listen.lastIndexOf(u':');
    bool portOk = false;
    const int port = colon > 0 ? listen.sliced(colon + 1).toInt(&portOk) : -1;
    if (!portOk || port < 0 || port > 65535)
        return usage(QStringLiteral("--listen takes HOST:PORT, not \"%1\"").arg(listen));
    const QString host = listen.first(colon);
    if (!QFileInfo(root).isDir()) {
        printLine(QStringLiteral("quorvia-fileserver: the folder \"%1\" does not exist").arg(root));
        return exitNoRoot;
    }

    fileserver::FileServer server(QDir(root).absolutePath(), threads, printLine);
    const int bound = server.bind(host, port);
    if (bound < 0) {
        printLine(QStringLiteral("quorvia-fileserver: cannot listen on %1").arg(listen));
        return exitUnavailable;
    }

    if (::pipe(stopPipe) != 0) {
        printLine(QStringLiteral("quorvia-fileserver: cannot set up signal handling"));
        return exitUnavailable;
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::atomic<bool> listenEnded = false;
    std::thread stopper([&server, &listenEnded] {
        char byte = 0;
        while (::read(stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        // A stop that comes before serving has begun would be lost: repeat it
        // until serving has ended.
        while (!listenEnded) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    printLine(QStringLiteral("quorvia-fileserver: serving ") + QDir(root).absolutePath() +
              QStringLiteral(" on http://") + host + u':' + QString::number(bound));
    const bool served = server.listen();
    listenEnded = true;
    onStopSignal(0); // wakes the stopper when serving ended on its own
    stopper.join();
    printLine(QStringLiteral("quorvia-fileserver: stopped"));
    return served ? 0 : exitUnavailable;
}
