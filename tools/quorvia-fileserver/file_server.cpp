#include "file_server.h"

#include "fileserver/file_info_error_dto.h"
#include "fileserver/file_list_json.h"

#include <QDateTime>
#include <QFile>

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fileserver {

struct FileServer::Request {
    QByteArray method;
    QByteArray target; // as the client sent it, escapes and all
    QByteArray address;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    int socket = -1;
    quint64 ackedBefore = 0;
    bool countAcked = false;
    int status = 0;
    quint64 bodyBytes = 0;
    bool headersSeen = false;
    bool answered = false;
};

namespace {

using Clock = std::chrono::steady_clock;

qint64 deadlineFrom(unsigned seconds) {
    return (Clock::now() + std::chrono::seconds(seconds)).time_since_epoch().count();
}

// Cached copies must be checked with us before every use: a listing that
// announces a new age followed by old bytes from a cache would leave a
// workstation with old content stamped as new, never fetched again. nginx does
// not store answers with max-age=0 (nor no-cache or no-store), but it honours
// its own X-Accel-Expires first: an expiry in the past stores the answer and
// revalidates it on every request. Other caches follow Cache-Control.
constexpr const char* revalidateEveryTime = "public, max-age=0, must-revalidate";
constexpr const char* expiredForNginx = "@1";

constexpr quint64 smallFileBytes = 64 * 1024;

// The body of a larger answer, read from the checked descriptor as the engine
// asks for it. A file that turns out shorter than announced (emptied or cut
// while it is sent) ends the connection at once: the client then knows the
// answer is broken, instead of waiting for bytes that never come.
struct FileBody {
    int fd;
    quint64 offset;
    quint64 length;

    static ssize_t read(void* cls, uint64_t position, char* buffer, size_t max) {
        auto* body = static_cast<FileBody*>(cls);
        if (position >= body->length)
            return MHD_CONTENT_READER_END_OF_STREAM;
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(max, body->length - position));
        for (;;) {
            const ssize_t got =
                ::pread(body->fd, buffer, wanted, static_cast<off_t>(body->offset + position));
            if (got > 0)
                return got;
            if (got < 0 && errno == EINTR)
                continue;
            return MHD_CONTENT_READER_END_WITH_ERROR;
        }
    }
    static void free(void* cls) {
        auto* body = static_cast<FileBody*>(cls);
        ::close(body->fd);
        delete body;
    }
};
constexpr size_t fileBodyBlockBytes = 256 * 1024;

const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

QByteArray httpDate(time_t t) {
    struct tm tm {};
    ::gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", weekdays[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return text;
}

quint64 bytesAcked(int socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (socket < 0 || ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return 0;
    return info.tcpi_bytes_acked;
}

QByteArray clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return "-";
    char text[INET6_ADDRSTRLEN] = "-";
    if (info->client_addr->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr,
                    text, sizeof text);
    else if (info->client_addr->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr,
                    text, sizeof text);
    return text;
}

int connectionSocket(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    return info ? info->connect_fd : -1;
}

const char* header(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

// "/a//b" and "//download" are "/a/b" and "/download".
QByteArray collapseSlashes(const char* path) {
    QByteArray out;
    for (const char* p = path; *p; ++p)
        if (*p != '/' || !out.endsWith('/'))
            out += *p;
    return out;
}

struct QueryArguments {
    QString folder, mask, file;
    bool hasFolder = false, hasMask = false, recursive = false;
};

MHD_Result collectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* args = static_cast<QueryArguments*>(cls);
    const QString text = value ? QString::fromUtf8(value) : QString();
    if (std::strcmp(key, "folder") == 0) {
        args->folder = text;
        args->hasFolder = true;
    } else if (std::strcmp(key, "mask") == 0) {
        args->mask = text;
        args->hasMask = true;
    } else if (std::strcmp(key, "recursive") == 0) {
        args->recursive = true;
    } else if (std::strcmp(key, "file") == 0) {
        args->file = text;
    }
    return MHD_YES;
}

MHD_Result send(MHD_Connection* connection, FileServer::Request& request, int status,
                MHD_Response* response, quint64 bodyBytes) {
    if (!response)
        return MHD_NO;
    request.status = status;
    request.bodyBytes = request.method == "HEAD" ? 0 : bodyBytes;
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result sendError(MHD_Connection* connection, FileServer::Request& request, int status,
                     const QString& error, const QString& detail) {
    const QByteArray body = fileInfoErrorToJSON(TFileInfoErrorDTO(status, error, detail));
    MHD_Response* response =
        MHD_create_response_from_buffer(static_cast<size_t>(body.size()),
                                        const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            "application/json; charset=UTF-8");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (status == 405)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    return send(connection, request, status, response, static_cast<quint64>(body.size()));
}

void addValidators(MHD_Response* response, const QByteArray& etag, const QByteArray& lastModified) {
    MHD_add_response_header(response, "X-Accel-Expires", expiredForNginx);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, revalidateEveryTime);
    MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, etag.constData());
    if (!lastModified.isEmpty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_LAST_MODIFIED, lastModified.constData());
}

MHD_Result sendNotModified(MHD_Connection* connection, FileServer::Request& request,
                           const QByteArray& etag, const QByteArray& lastModified) {
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (!response)
        return MHD_NO;
    addValidators(response, etag, lastModified);
    return send(connection, request, 304, response, 0);
}

void releaseListing(void* cls) {
    delete static_cast<std::shared_ptr<const Listing>*>(cls);
}

} // namespace

// ---------------------------------------------------------------------------

QByteArray fileEtag(const struct stat& info) {
    // Size, times to the nanosecond and identity: a file rewritten within one
    // tick of a coarse clock, or replaced by another, still gets a new tag; so
    // does one whose modification time was put back, as writing sets the
    // change time and nobody can set that back.
    return '"' + QByteArray::number(static_cast<quint64>(info.st_size), 16) + '-' +
           QByteArray::number(static_cast<qint64>(info.st_mtim.tv_sec), 16) + '.' +
           QByteArray::number(static_cast<qint64>(info.st_mtim.tv_nsec), 16) + '-' +
           QByteArray::number(static_cast<qint64>(info.st_ctim.tv_sec), 16) + '.' +
           QByteArray::number(static_cast<qint64>(info.st_ctim.tv_nsec), 16) + '-' +
           QByteArray::number(static_cast<quint64>(info.st_ino), 16) + '-' +
           QByteArray::number(static_cast<quint64>(info.st_dev), 16) + '"';
}

QByteArray reprDigest(const QByteArray& sha256) {
    return "sha-256=:" + sha256.toBase64() + ':';
}

bool etagMatches(const QByteArray& ifNoneMatch, const QByteArray& etag) {
    for (QByteArray candidate : ifNoneMatch.split(',')) {
        candidate = candidate.trimmed();
        if (candidate == "*")
            return true;
        if (candidate.startsWith("W/"))
            candidate.remove(0, 2);
        if (candidate == etag)
            return true;
    }
    return false;
}

ByteRange parseRange(const QByteArray& header, quint64 size) {
    ByteRange r;
    const QByteArray ranges = header.trimmed();
    if (!ranges.startsWith("bytes=") || ranges.contains(','))
        return r; // other units and several ranges: the whole file
    const QByteArray value = ranges.mid(6).trimmed();
    const qsizetype dash = value.indexOf('-');
    if (dash < 0)
        return r;
    const QByteArray first = value.left(dash).trimmed();
    const QByteArray last = value.mid(dash + 1).trimmed();
    const auto number = [](const QByteArray& text, quint64& out) {
        if (text.isEmpty() || text.size() > 19 ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        out = text.toULongLong();
        return true;
    };
    quint64 a = 0, b = 0;
    if (first.isEmpty()) {
        // The last b bytes.
        if (!number(last, b))
            return r;
        if (b == 0 || size == 0) {
            r.kind = ByteRange::Kind::Unsatisfiable;
            return r;
        }
        r.kind = ByteRange::Kind::Part;
        r.offset = size - std::min(b, size);
        r.length = size - r.offset;
        return r;
    }
    if (!number(first, a) || (!last.isEmpty() && (!number(last, b) || b < a)))
        return r; // not valid: ignored, as the standard says
    if (a >= size) {
        r.kind = ByteRange::Kind::Unsatisfiable;
        return r;
    }
    const quint64 end = last.isEmpty() ? size - 1 : std::min(b, size - 1);
    r.kind = ByteRange::Kind::Part;
    r.offset = a;
    r.length = end - a + 1;
    return r;
}

QByteArray logEscaped(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------

struct FileServer::Engine {
    static void* requestLine(void* cls, const char* uri, MHD_Connection* connection) {
        Q_UNUSED(cls);
        auto* request = new Request;
        request->target = uri;
        request->address = clientAddress(connection);
        request->socket = connectionSocket(connection);
        return request;
    }

    static MHD_Result access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t* uploadSize,
                             void** context) {
        auto* server = static_cast<FileServer*>(cls);
        auto* request = static_cast<Request*>(*context);
        if (!request) {
            request = static_cast<Request*>(requestLine(nullptr, url, connection));
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
            server->setDeadline(connection, false);
            const int refused = server->refuse(connection, method, *request);
            if (refused >= 0) {
                request->answered = true;
                return static_cast<MHD_Result>(refused);
            }
            return MHD_YES;
        }
        if (*uploadSize != 0)
            return MHD_NO;
        request->answered = true;
        return static_cast<MHD_Result>(server->answer(connection, url, *request));
    }

    static void completed(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode code) {
        auto* request = static_cast<Request*>(*context);
        *context = nullptr;
        static_cast<FileServer*>(cls)->requestEnded(connection, request, code);
        delete request;
    }

    static void connectionEvent(void* cls, MHD_Connection* connection, void** socketContext,
                                MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<FileServer*>(cls);
        const std::lock_guard lock(server->m_connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto c = std::make_unique<Connection>();
            c->fd = connectionSocket(connection);
            c->deadline = deadlineFrom(server->m_limits.requestTimeout);
            *socketContext = c.get();
            server->m_connections.emplace(connection, std::move(c));
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
        if (server->m_log)
            server->m_log(QStringLiteral("quorvia-fileserver: ") +
                          QString::fromLatin1(logEscaped(QByteArray(text).trimmed())));
    }
};

struct FileServer::Served {
    ServedRoot root;
    FileCatalogue catalogue;
    struct stat identity {}; // of the folder opened, to compare with the root path's

    explicit Served(const QString& path, const DigestMap& seed = {})
        : root(path), catalogue(path, root.fd(), seed) {
        ::fstat(root.fd(), &identity);
    }
};

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
    QByteArray name = host.toUtf8();
    if (name.startsWith('[') && name.endsWith(']'))
        name = name.mid(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (const int rc = ::getaddrinfo(name.isEmpty() ? nullptr : name.constData(),
                                     service.constData(), &hints, &found);
        rc != 0)
        throw std::runtime_error("unknown address \"" + name.toStdString() +
                                 "\": " + ::gai_strerror(rc));
    int error = 0;
    for (addrinfo* a = found; a; a = a->ai_next) {
        FileDescriptor fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
        if (!fd.valid()) {
            error = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // A queue as deep as the system allows: a rush of workstations at the
        // start of a shift must not see its connections dropped and retried.
        if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 ||
            ::listen(fd.get(), SOMAXCONN) != 0) {
            error = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
        const int boundPort =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        ::freeaddrinfo(found);
        m_listener = std::move(fd);
        return boundPort;
    }
    ::freeaddrinfo(found);
    throw std::runtime_error("cannot listen on " + host.toStdString() + ':' + std::to_string(port) +
                             ": " + std::strerror(error));
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
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &Engine::access, this, MHD_OPTION_EXTERNAL_LOGGER,
        &Engine::engineMessage, this, MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(m_limits.threads),
        MHD_OPTION_CONNECTION_LIMIT, m_limits.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        m_limits.maxPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, m_limits.idleTimeout,
        // Headers beyond this are refused (431): what a request may hold.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16 * 1024),
        MHD_OPTION_URI_LOG_CALLBACK, &Engine::requestLine, this, MHD_OPTION_NOTIFY_COMPLETED,
        &Engine::completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Engine::connectionEvent, this,
        MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 0, MHD_OPTION_END);
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
    MHD_stop_daemon(daemon);
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
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - request->start)
            .count();
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm {};
    ::gmtime_r(&now.tv_sec, &tm);
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(now.tv_nsec / 1'000'000));
    char tail[96];
    std::snprintf(tail, sizeof tail, "\" %d %llu %lld.%03lldms", request->status,
                  static_cast<unsigned long long>(sent), static_cast<long long>(us / 1000),
                  static_cast<long long>(us % 1000));
    m_log(QString::fromLatin1(head + logEscaped(request->address) + " \"" +
                              logEscaped(request->method) + ' ' + logEscaped(request->target) +
                              tail) +
          note);
}

int FileServer::refuse(MHD_Connection* connection, const char* method, Request& request) {
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
        return sendError(connection, request, 405, QStringLiteral("Method Not Allowed"),
                         QStringLiteral("Only GET and HEAD are served"));
    const char* length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if ((length && std::strcmp(length, "0") != 0) ||
        header(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING))
        return sendError(connection, request, 413, QStringLiteral("Content Too Large"),
                         QStringLiteral("Requests carry no body"));
    return -1;
}

int FileServer::answer(MHD_Connection* connection, const char* url, Request& request) {
    const QByteArray path = collapseSlashes(url);
    if (path == "/download")
        return answerDownload(connection, request);
    if (path == "/folderlist")
        return answerListing(connection, request);
    return sendError(connection, request, 404, QStringLiteral("Not Found"),
                     QStringLiteral("There is no resource \"%1\"").arg(QString::fromUtf8(path)));
}

namespace {

MHD_Result sendResolutionError(MHD_Connection* connection, FileServer::Request& request,
                               const ResolvedName& r, const QString& name) {
    if (r.outcome == ResolvedName::Outcome::Forbidden)
        return sendError(connection, request, 403, QStringLiteral("Forbidden"),
                         QStringLiteral("The name \"%1\" is outside the served folder").arg(name));
    if (r.error != 0)
        return sendError(connection, request, 403, QStringLiteral("Forbidden"),
                         QStringLiteral("\"%1\" cannot be read: %2")
                             .arg(name, QString::fromLocal8Bit(std::strerror(r.error))));
    return sendError(connection, request, 404, QStringLiteral("Not Found"),
                     QStringLiteral("\"%1\" does not exist").arg(name));
}

} // namespace

int FileServer::answerDownload(MHD_Connection* connection, Request& request) {
    QueryArguments args;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectArgument, &args);
    if (args.file.isEmpty())
        return sendError(connection, request, 400, QStringLiteral("Bad Request"),
                         QStringLiteral("The parameter \"file\" names no file"));
    const std::shared_ptr<Served> served = this->served();
    ResolvedName r = served->root.resolve(args.file, NameKind::File);
    if (r.outcome != ResolvedName::Outcome::Found)
        return sendResolutionError(connection, request, r, args.file);

    const QByteArray etag = fileEtag(r.info);
    const QByteArray lastModified = httpDate(r.info.st_mtim.tv_sec);
    // If-Modified-Since is not honoured: a file rewritten within the same second
    // would look unchanged. The tag is exact.
    if (const char* ifNoneMatch = header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH))
        if (etagMatches(ifNoneMatch, etag))
            return sendNotModified(connection, request, etag, lastModified);

    const auto size = static_cast<quint64>(r.info.st_size);
    ByteRange range;
    if (const char* rangeHeader = header(connection, MHD_HTTP_HEADER_RANGE)) {
        const char* ifRange = header(connection, MHD_HTTP_HEADER_IF_RANGE);
        if (!ifRange || QByteArray(ifRange).trimmed() == etag)
            range = parseRange(rangeHeader, size);
    }
    if (range.kind == ByteRange::Kind::Unsatisfiable) {
        const QByteArray contentRange = "bytes */" + QByteArray::number(size);
        const QByteArray body = fileInfoErrorToJSON(
            TFileInfoErrorDTO(416, QStringLiteral("Range Not Satisfiable"),
                              QStringLiteral("\"%1\" has %2 bytes").arg(args.file).arg(size)));
        MHD_Response* response = MHD_create_response_from_buffer(
            static_cast<size_t>(body.size()), const_cast<char*>(body.constData()),
            MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                "application/json; charset=UTF-8");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE, contentRange.constData());
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        return send(connection, request, 416, response, static_cast<quint64>(body.size()));
    }
    // The digest of the whole file, when the catalogue has it for the very
    // version being served; else no digest rather than another version's.
    QByteArray digest = served->catalogue.digestOf(FileVersion::of(r.info));
    const bool part = range.kind == ByteRange::Kind::Part;
    const quint64 offset = part ? range.offset : 0;
    const quint64 length = part ? range.length : size;
    // Served from the descriptor that was checked. Small files are read at
    // once so that head and body leave in one write; others are read as the
    // engine sends them, and the descriptor is closed when the answer is done.
    MHD_Response* response = nullptr;
    if (length <= smallFileBytes) {
        auto* buffer = static_cast<char*>(std::malloc(std::max<quint64>(length, 1)));
        ssize_t got = 0;
        while (buffer && static_cast<quint64>(got) < length) {
            const ssize_t n = ::pread(r.fd.get(), buffer + got, length - static_cast<quint64>(got),
                                      static_cast<off_t>(offset) + got);
            if (n <= 0)
                break; // shrunk while being read: the descriptor is sent as it is
            got += n;
        }
        struct stat after {};
        if (!digest.isEmpty() && (::fstat(r.fd.get(), &after) != 0 ||
                                  !(FileVersion::of(after) == FileVersion::of(r.info))))
            digest.clear(); // written while it was read: these bytes have no known digest
        if (buffer && static_cast<quint64>(got) == length)
            response = MHD_create_response_from_buffer(length, buffer, MHD_RESPMEM_MUST_FREE);
        else
            std::free(buffer);
    }
    if (!response) {
        // Large answers may be cut: what the client acknowledged is then logged.
        request.ackedBefore = bytesAcked(request.socket);
        request.countAcked = true;
        auto* body = new FileBody{r.fd.get(), offset, length};
        response = MHD_create_response_from_callback(length, fileBodyBlockBytes, &FileBody::read,
                                                     body, &FileBody::free);
        if (!response) {
            delete body;
            return MHD_NO;
        }
        r.fd.release(); // the body owns it now
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
    MHD_add_response_header(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
    addValidators(response, etag, lastModified);
    if (!digest.isEmpty())
        MHD_add_response_header(response, "Repr-Digest", reprDigest(digest).constData());
    if (part) {
        const QByteArray contentRange = "bytes " + QByteArray::number(offset) + '-' +
                                        QByteArray::number(offset + length - 1) + '/' +
                                        QByteArray::number(size);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE, contentRange.constData());
    }
    return send(connection, request, part ? 206 : 200, response, length);
}

int FileServer::answerListing(MHD_Connection* connection, Request& request) {
    QueryArguments args;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectArgument, &args);
    const std::shared_ptr<Served> served = this->served();
    const ResolvedName r = served->root.resolve(args.folder, NameKind::Folder);
    if (r.outcome != ResolvedName::Outcome::Found)
        return sendResolutionError(connection, request, r, args.folder);
    std::shared_ptr<const Listing> listing;
    try {
        listing = served->catalogue.listing(r.relative, args.mask, args.recursive);
    } catch (const std::exception& e) {
        return sendError(connection, request, 503, QStringLiteral("Service Unavailable"),
                         QString::fromLocal8Bit(e.what()));
    }
    if (const char* ifNoneMatch = header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH))
        if (etagMatches(ifNoneMatch, listing->etag))
            return sendNotModified(connection, request, listing->etag, QByteArray());
    auto* keep = new std::shared_ptr<const Listing>(listing);
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        static_cast<size_t>(listing->body.size()), const_cast<char*>(listing->body.constData()),
        &releaseListing, keep);
    if (!response) {
        delete keep;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            "application/json; charset=UTF-8");
    addValidators(response, listing->etag, QByteArray());
    return send(connection, request, 200, response, static_cast<quint64>(listing->body.size()));
}

} // namespace fileserver
