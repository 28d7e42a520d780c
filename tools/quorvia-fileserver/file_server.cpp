#include "file_server.h"

#include "access_log.h"
#include "file_server_parts.h"
#include "http_rules.h"
#include "listener.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/socket.h>

namespace fileserver {

namespace {

using Clock = std::chrono::steady_clock;

struct StopDaemon {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
};

qint64 deadlineFrom(unsigned seconds) {
    return (Clock::now() + std::chrono::seconds(seconds)).time_since_epoch().count();
}

} // namespace

// ---------------------------------------------------------------------------

// The engine's callbacks. Each keeps what its work throws from unwinding into
// the library: a request is answered 500 instead, anything else is dropped.
struct FileServer::Engine {
    static void* requestLine(void* cls, const char* uri, MHD_Connection* connection) {
        Q_UNUSED(cls);
        return guarded<void*>(nullptr, [&]() -> void* {
            auto request = std::make_unique<Request>();
            request->target = uri;
            request->address = clientAddress(connection);
            request->socket = connectionSocket(connection);
            return request.release(); // owned by the engine's request until completed()
        });
    }

    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t* uploadSize,
                             void** context) {
        auto* server = static_cast<FileServer*>(cls);
        try {
            return static_cast<MHD_Result>(
                server->access(connection, url, method, uploadSize, context));
        } catch (...) {
            auto* request = static_cast<Request*>(*context);
            if (!request)
                return MHD_NO;
            request->answered = true;
            return guarded(MHD_NO, [&] {
                return sendError(connection, *request, 500, QStringLiteral("Internal Server Error"),
                                 QStringLiteral("The request could not be answered"));
            });
        }
    }

    static void completed(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode code) {
        const std::unique_ptr<Request> request(static_cast<Request*>(*context));
        *context = nullptr;
        guarded(
            [&] { static_cast<FileServer*>(cls)->requestEnded(connection, request.get(), code); });
    }

    static void connectionEvent(void* cls, MHD_Connection* connection, void** socketContext,
                                MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<FileServer*>(cls);
        const std::lock_guard lock(server->m_connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            // Without its entry a connection has no deadline; the engine's own
            // idle timeout still ends it.
            guarded([&] {
                auto c = std::make_unique<Connection>();
                c->fd = connectionSocket(connection);
                c->deadline = deadlineFrom(server->m_limits.requestTimeout);
                Connection* added = c.get();
                server->m_connections.emplace(connection, std::move(c));
                *socketContext = added;
            });
        } else {
            // Called before the library closes the socket: the deadline watch
            // never touches a descriptor that may have been reused.
            *socketContext = nullptr;
            server->m_connections.erase(connection);
        }
    }

    static void engineMessage(void* cls, const char* format, va_list args) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        auto* server = static_cast<FileServer*>(cls);
        guarded([&] {
            if (server->m_log)
                server->m_log(QStringLiteral("quorvia-fileserver: ") +
                              QString::fromLatin1(logEscaped(QByteArray(text).trimmed())));
        });
    }
};

int FileServer::access(MHD_Connection* connection, const char* url, const char* method,
                       size_t* uploadSize, void** context) {
    auto* request = static_cast<Request*>(*context);
    if (!request) {
        request = static_cast<Request*>(Engine::requestLine(nullptr, url, connection));
        if (!request)
            return MHD_NO;
        *context = request;
    }
    if (request->answered) {
        // A body we refused is still arriving: end the connection instead
        // of reading it.
        *uploadSize = 0;
        return MHD_NO;
    }
    if (!request->headersSeen) {
        // First call, the headers are in. Refusals go out now, which also
        // makes the engine close the connection rather than read a body;
        // answers wait for the next call, after which the connection stays open.
        request->headersSeen = true;
        request->method = method;
        setDeadline(connection, false);
        const int refused = refuse(connection, method, *request);
        if (refused >= 0) {
            request->answered = true;
            return refused;
        }
        return MHD_YES;
    }
    if (*uploadSize != 0)
        return MHD_NO;
    request->answered = true;
    return answer(connection, url, *request);
}

FileServer::FileServer(const QString& root, const ServerLimits& limits, LogLine log)
    : m_rootPath(root), m_served(std::make_shared<Served>(root)), m_limits(limits),
      m_log(std::move(log)) {
    if (m_limits.threads <= 0)
        m_limits.threads = static_cast<int>(std::max(2U, std::thread::hardware_concurrency()));
}

FileServer::~FileServer() {
    stop();
}

int FileServer::bind(const QString& host, int port) {
    Listener listener = listenOn(host, port);
    m_listener = std::move(listener.socket);
    return listener.port;
}

bool FileServer::listen() {
    {
        const std::lock_guard lock(m_stateMutex);
        if (m_stopRequested)
            return true;
    }
    if (!m_listener.valid())
        return false;
    unsigned flags =
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_TURBO | MHD_USE_ERROR_LOG;
    const int listener = m_listener.get();
    std::unique_ptr<MHD_Daemon, StopDaemon> daemon(MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Engine::access, this, MHD_OPTION_EXTERNAL_LOGGER,
        &Engine::engineMessage, this, MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(m_limits.threads),
        MHD_OPTION_CONNECTION_LIMIT, m_limits.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        m_limits.maxPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, m_limits.idleTimeout,
        // Headers beyond this are refused (431): what a request may hold.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
        MHD_OPTION_URI_LOG_CALLBACK, &Engine::requestLine, this, MHD_OPTION_NOTIFY_COMPLETED,
        &Engine::completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Engine::connectionEvent, this,
        MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 0, MHD_OPTION_END));
    if (!daemon) {
        if (m_log)
            m_log(QStringLiteral("quorvia-fileserver: the HTTP engine could not start"));
        return false;
    }
    m_listener.release(); // the engine closes it
    m_running = true;
    std::thread watch([this] { watchDeadlines(); });
    std::thread care([this] { lookAfterTree(); });
    {
        std::unique_lock lock(m_stateMutex);
        m_stateChanged.wait(lock, [this] { return m_stopRequested; });
    }
    watch.join();
    care.join();
    daemon.reset(); // the last answers end here
    m_running = false;
    return true;
}

void FileServer::stop() {
    {
        const std::lock_guard lock(m_stateMutex);
        m_stopRequested = true;
    }
    m_stateChanged.notify_all();
    // A tree being hashed is left as it is: the last answers go out without
    // waiting for it.
    const std::lock_guard lock(m_servedMutex);
    m_cancelled = true;
    m_served->catalogue.cancel();
    if (m_next)
        m_next->catalogue.cancel();
}

bool FileServer::isRunning() const {
    return m_running;
}

quint64 FileServer::hashedFiles() const {
    return served()->catalogue.hashedFiles();
}

std::shared_ptr<FileServer::Served> FileServer::served() const {
    const std::lock_guard lock(m_servedMutex);
    return m_served;
}

void FileServer::lookAfterTree() {
    const QByteArray rootPath = QFile::encodeName(m_rootPath);
    auto lastRecheck = Clock::now();
    std::unique_lock stateLock(m_stateMutex);
    while (!m_stopRequested) {
        stateLock.unlock();
        const std::shared_ptr<Served> current = served();
        struct stat named {};
        if (::stat(rootPath.constData(), &named) != 0) {
            // Gone for a moment (a switch done in two steps) or for good: the
            // folder opened before is served until the path names another.
            const int error = errno;
            if (!m_rootProblemLogged && m_log)
                m_log(QStringLiteral("quorvia-fileserver: the root %1 cannot be looked up (%2); "
                                     "still serving the folder opened before")
                          .arg(m_rootPath, QString::fromLocal8Bit(std::strerror(error))));
            m_rootProblemLogged = true;
        } else if (named.st_dev != current->identity.st_dev ||
                   named.st_ino != current->identity.st_ino) {
            followRoot(current);
        } else {
            m_rootProblemLogged = false;
        }
        if (served() == current) {
            const bool recheck =
                m_limits.recheckInterval > 0 &&
                Clock::now() - lastRecheck >= std::chrono::seconds(m_limits.recheckInterval);
            if (recheck)
                lastRecheck = Clock::now();
            try {
                current->catalogue.maintain(recheck);
            } catch (const std::exception&) {
                // The tree cannot be read now: listings say so, and it is tried again.
            }
        }
        stateLock.lock();
        m_stateChanged.wait_for(stateLock, std::chrono::milliseconds(500),
                                [this] { return m_stopRequested; });
    }
}

void FileServer::followRoot(const std::shared_ptr<Served>& current) {
    std::shared_ptr<Served> next;
    try {
        // Versions that both folders hold (hard links) keep their digests.
        next = std::make_shared<Served>(m_rootPath, current->catalogue.digests());
    } catch (const std::exception& e) {
        if (!m_rootProblemLogged && m_log)
            m_log(QStringLiteral("quorvia-fileserver: the root %1 names another folder that "
                                 "cannot be served (%2); still serving the one opened before")
                      .arg(m_rootPath, QString::fromLocal8Bit(e.what())));
        m_rootProblemLogged = true;
        return;
    }
    if (next->identity.st_dev == current->identity.st_dev &&
        next->identity.st_ino == current->identity.st_ino)
        return; // switched back meanwhile
    {
        const std::lock_guard lock(m_servedMutex);
        if (m_cancelled)
            return;
        m_next = next;
    }
    bool ready = true;
    try {
        next->catalogue.maintain(true);
    } catch (const std::exception&) {
        ready = false;
    }
    const quint64 hashed = next->catalogue.hashedFiles();
    {
        const std::lock_guard lock(m_servedMutex);
        m_next.reset();
        if (!ready || m_cancelled)
            return;
        m_served = next;
    }
    m_rootProblemLogged = false;
    if (m_log)
        m_log(QStringLiteral("quorvia-fileserver: the root %1 names another folder now; "
                             "serving it (%2 files hashed)")
                  .arg(m_rootPath)
                  .arg(hashed));
}

// The engine drops connections that stay silent; this drops those that keep
// trickling bytes without ever completing a request.
void FileServer::watchDeadlines() {
    std::unique_lock stateLock(m_stateMutex);
    while (!m_stopRequested) {
        m_stateChanged.wait_for(stateLock, std::chrono::milliseconds(250));
        const qint64 now = Clock::now().time_since_epoch().count();
        const std::lock_guard lock(m_connectionsMutex);
        for (auto& [connection, c] : m_connections) {
            qint64 deadline = c->deadline;
            if (deadline != 0 && deadline <= now && c->fd >= 0 &&
                c->deadline.compare_exchange_strong(deadline, 0)) {
                // The engine sees the end of the stream and closes the connection.
                ::shutdown(c->fd, SHUT_RDWR);
            }
        }
    }
}

void FileServer::setDeadline(MHD_Connection* connection, bool awaitingRequest) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context)
        static_cast<Connection*>(info->socket_context)->deadline =
            awaitingRequest ? deadlineFrom(m_limits.requestTimeout) : 0;
}

void FileServer::requestEnded(MHD_Connection* connection, Request* request, int termination) {
    setDeadline(connection, true);
    if (!m_log || !request || !request->answered)
        return;
    quint64 sent = request->bodyBytes;
    QString note;
    if (termination != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
        // Cut short: what the client acknowledged, headers included, at most the body.
        // Small answers leave in one piece or not at all: 0 is logged for them.
        const quint64 acked =
            request->countAcked ? bytesAcked(request->socket) - request->ackedBefore : 0;
        sent = std::min(sent, acked);
        note = termination == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED
                   ? QStringLiteral(" cut: client too slow")
                   : QStringLiteral(" cut: connection ended");
    }
    AccessRecord record;
    ::clock_gettime(CLOCK_REALTIME, &record.at);
    record.address = request->address;
    record.method = request->method;
    record.target = request->target;
    record.status = request->status;
    record.sentBytes = sent;
    record.took =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - request->start);
    record.note = note;
    m_log(accessLine(record));
}

} // namespace fileserver
