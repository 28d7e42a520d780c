#include "file_server.h"

#include "fileserver/file_info_error_dto.h"
#include "fileserver/file_list_json.h"
#include "fileserver/iso_date_time.h"
#include "platform/file_ops.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fileserver {

namespace {

bool wildcardMatch(QStringView mask, QStringView name) {
    // Iterative match with one backtrack point per "*": linear in practice.
    qsizetype m = 0, n = 0, starAt = -1, resumeAt = 0;
    while (n < name.size()) {
        if (m < mask.size() &&
            (mask[m] == u'?' ||
             (mask[m] != u'*' && mask[m].toCaseFolded() == name[n].toCaseFolded()))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == u'*') {
            starAt = m++;
            resumeAt = n;
        } else if (starAt >= 0) {
            m = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == u'*')
        ++m;
    return m == mask.size();
}

bool hasControlCharacters(const QString& name) {
    return std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20; });
}

// The entry of folder named like part without regard to case; an exact match
// wins over the others.
QString findEntry(const QString& folder, const QString& part) {
    const QString exact = folder + u'/' + part;
    if (QFileInfo::exists(exact))
        return exact;
    const QStringList entries = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries)
        if (entry.compare(part, Qt::CaseInsensitive) == 0)
            return folder + u'/' + entry;
    return {};
}

QByteArray errorBody(int status, const QString& error, const QString& detail) {
    return fileInfoErrorToJSON(TFileInfoErrorDTO(status, error, detail));
}

void sendError(httplib::Response& res, int status, const QString& error, const QString& detail) {
    res.status = status;
    const QByteArray body = errorBody(status, error, detail);
    res.set_content(body.constData(), std::size_t(body.size()), "application/json; charset=UTF-8");
}

void sendResolutionError(httplib::Response& res, const ResolvedName& r, const QString& name) {
    if (r.outcome == ResolvedName::Outcome::Forbidden)
        sendError(res, 403, QStringLiteral("Forbidden"),
                  QStringLiteral("The name \"%1\" is outside the served folder").arg(name));
    else
        sendError(res, 404, QStringLiteral("Not Found"),
                  QStringLiteral("\"%1\" does not exist").arg(name));
}

// A file being sent: its descriptor and the buffer its pieces pass through.
struct OpenFile {
    int fd = -1;
    std::vector<char> buffer;
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd >= 0)
            ::close(fd);
    }
};

QString param(const httplib::Request& req, const char* name) {
    return QString::fromStdString(req.get_param_value(name));
}

} // namespace

bool maskMatches(const QString& mask, const QString& name) {
    if (mask.isEmpty() || mask == QLatin1StringView("*") || mask == QLatin1StringView("*.*"))
        return true;
    return wildcardMatch(mask, name);
}

ResolvedName resolveName(const QString& root, const QString& name, NameKind kind) {
    ResolvedName result;
    QString relative = name;
    const bool network = relative.startsWith(QLatin1StringView("\\\\")) ||
                         relative.startsWith(QLatin1StringView("//"));
    const bool drive = relative.size() >= 2 && relative[1] == u':';
    if (network || drive || hasControlCharacters(relative)) {
        result.outcome = ResolvedName::Outcome::Forbidden;
        return result;
    }
    if (relative.startsWith(u'\\') || relative.startsWith(u'/')) {
        if (kind == NameKind::File) {
            result.outcome = ResolvedName::Outcome::Forbidden;
            return result;
        }
        relative.remove(0, 1);
    }
    const QStringList parts =
        relative.split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        // A colon names a stream or a drive on the servers this stands in for.
        if (part == QLatin1StringView("..") || part.contains(u':')) {
            result.outcome = ResolvedName::Outcome::Forbidden;
            return result;
        }
    }

    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty())
        return result;
    QString current = canonicalRoot;
    for (const QString& part : parts) {
        if (part == QLatin1StringView("."))
            continue;
        if (!QFileInfo(current).isDir())
            return result;
        current = findEntry(current, part);
        if (current.isEmpty())
            return result;
    }
    const QFileInfo info(current);
    if (kind == NameKind::File ? !info.isFile() : !info.isDir())
        return result;
    // A link inside the root must not lead out of it.
    const QString canonical = info.canonicalFilePath();
    if (canonical != canonicalRoot && !canonical.startsWith(canonicalRoot + u'/')) {
        result.outcome = ResolvedName::Outcome::Forbidden;
        return result;
    }
    result.outcome = ResolvedName::Outcome::Found;
    result.path = current;
    return result;
}

QByteArray folderListBody(const QString& folderPath, const QString& mask, bool recursive) {
    struct Entry {
        QString name;
        platform::TDateTime age;
    };
    std::vector<Entry> entries;
    const QDir base(folderPath);
    const QString prefix = folderPath.endsWith(u'/') ? folderPath : folderPath + u'/';
    QDirIterator it(folderPath, QDir::Files | QDir::Hidden | QDir::System,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!maskMatches(mask, it.fileName()))
            continue;
        platform::TDateTime age = 0.0;
        if (!platform::tryReadFileAge(path, age))
            continue; // vanished or unreadable since it was enumerated
        // The iterator's paths start with the folder's: cutting it is enough.
        QString relative =
            path.startsWith(prefix) ? path.sliced(prefix.size()) : base.relativeFilePath(path);
        relative.replace(u'/', u'\\');
        entries.push_back({relative, age});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });

    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Entry& e : entries) {
        nlohmann::ordered_json item;
        item["fileName"] = e.name.toStdString();
        item["age"] = dateTimeToIso(e.age).toStdString();
        list.push_back(std::move(item));
    }
    return QByteArray::fromStdString(list.dump());
}

// ---------------------------------------------------------------------------

FileServer::FileServer(const QString& root, int workerThreads, LogLine log)
    : m_root(root), m_log(std::move(log)), m_server(std::make_unique<httplib::Server>()) {
    const auto threads = std::size_t(std::max(1, workerThreads));
    m_server->new_task_queue = [threads] {
        return new httplib::ThreadPool(threads);
    };
    m_server->set_keep_alive_max_count(1000);
    m_server->set_keep_alive_timeout(5);
    // Headers and body go out in separate writes: without this each answer on a
    // kept-alive connection waits for the client's delayed acknowledgement.
    m_server->set_tcp_nodelay(true);
    if (m_log) {
        m_server->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
            // Concatenated, not formatted: the target holds "%XX" escapes.
            const auto bytes = res.content_length_ ? res.content_length_ : res.body.size();
            m_log(QString::fromStdString(req.remote_addr) + QStringLiteral(" \"") +
                  QString::fromStdString(req.method) + u' ' + QString::fromStdString(req.target) +
                  QStringLiteral("\" ") + QString::number(res.status) + u' ' +
                  QString::number(bytes));
        });
    }
    installRoutes();
}

FileServer::~FileServer() = default;

int FileServer::bind(const QString& host, int port) {
    // The listening socket is seen here before it is bound; its queue of pending
    // connections is widened after the bind. The library's own is 5 deep, and
    // a run that opens dozens of connections at once would then see SYNs
    // dropped and retried a second later.
    int listener = -1;
    m_server->set_socket_options([&listener](int fd) {
        httplib::default_socket_options(fd);
        listener = fd;
    });
    const std::string h = host.toStdString();
    int bound = -1;
    if (port == 0)
        bound = m_server->bind_to_any_port(h);
    else
        bound = m_server->bind_to_port(h, port) ? port : -1;
    m_server->set_socket_options(httplib::default_socket_options); // drops the capture
    if (bound > 0 && listener >= 0)
        ::listen(listener, SOMAXCONN);
    return bound;
}

bool FileServer::listen() {
    return m_server->listen_after_bind();
}

void FileServer::stop() {
    m_server->stop();
}

bool FileServer::isRunning() const {
    return m_server->is_running();
}

void FileServer::installRoutes() {
    m_server->Get("/folderlist", [this](const httplib::Request& req, httplib::Response& res) {
        const QString folder = param(req, "folder");
        const ResolvedName r = resolveName(m_root, folder, NameKind::Folder);
        if (r.outcome != ResolvedName::Outcome::Found) {
            sendResolutionError(res, r, folder);
            return;
        }
        const QByteArray body =
            folderListBody(r.path, param(req, "mask"), req.has_param("recursive"));
        res.set_content(body.constData(), std::size_t(body.size()),
                        "application/json; charset=UTF-8");
    });

    m_server->Get("/download", [this](const httplib::Request& req, httplib::Response& res) {
        const QString name = param(req, "file");
        if (name.isEmpty()) {
            sendError(res, 400, QStringLiteral("Bad Request"),
                      QStringLiteral("The parameter \"file\" names no file"));
            return;
        }
        const ResolvedName r = resolveName(m_root, name, NameKind::File);
        if (r.outcome != ResolvedName::Outcome::Found) {
            sendResolutionError(res, r, name);
            return;
        }
        auto source = std::make_shared<OpenFile>();
        source->fd = ::open(QFile::encodeName(r.path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (source->fd < 0 || ::fstat(source->fd, &info) != 0) {
            sendError(res, 403, QStringLiteral("Forbidden"),
                      QStringLiteral("\"%1\" cannot be read: %2")
                          .arg(name, QString::fromLocal8Bit(std::strerror(errno))));
            return;
        }
        // Streamed from disk in pieces through one buffer per answer: memory stays
        // flat whatever the size.
        res.set_content_provider(
            std::size_t(info.st_size), "application/octet-stream",
            [source](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                constexpr std::size_t chunk = 512 * 1024;
                source->buffer.resize(std::min(length, chunk));
                const ssize_t n = ::pread(source->fd, source->buffer.data(), source->buffer.size(),
                                          off_t(offset));
                if (n <= 0)
                    return false; // shrunk or unreadable: cut the connection
                return sink.write(source->buffer.data(), std::size_t(n));
            });
    });
}

} // namespace fileserver
