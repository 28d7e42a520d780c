// The answers of the server: the refusals, /download and /folderlist.

#include "access_log.h"
#include "file_server_parts.h"
#include "http_rules.h"

#include "fileserver/file_info_error_dto.h"
#include "fileserver/file_list_json.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fileserver {

namespace {

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
    FileDescriptor fd;
    quint64 offset;
    quint64 length;

    static ssize_t read(void* cls, uint64_t position, char* buffer, size_t max) {
        return guarded<ssize_t>(MHD_CONTENT_READER_END_WITH_ERROR, [&]() -> ssize_t {
            auto* body = static_cast<FileBody*>(cls);
            if (position >= body->length)
                return MHD_CONTENT_READER_END_OF_STREAM;
            const size_t wanted =
                static_cast<size_t>(std::min<uint64_t>(max, body->length - position));
            for (;;) {
                const ssize_t got = ::pread(body->fd.get(), buffer, wanted,
                                            static_cast<off_t>(body->offset + position));
                if (got > 0)
                    return got;
                if (got < 0 && errno == EINTR)
                    continue;
                return MHD_CONTENT_READER_END_WITH_ERROR;
            }
        });
    }
    // Closes the descriptor with the body.
    static void free(void* cls) { delete static_cast<FileBody*>(cls); }
};

struct FreeBuffer {
    void operator()(char* buffer) const { std::free(buffer); }
};
constexpr size_t fileBodyBlockBytes = 256 * 1024;

} // namespace

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

namespace {

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
    bool incomplete = false; // an argument could not be taken
};

MHD_Result collectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* args = static_cast<QueryArguments*>(cls);
    return guarded(MHD_NO, [&] {
        args->incomplete = true;
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
        args->incomplete = false;
        return MHD_YES;
    });
}

// The query's arguments. Throws what kept one from being taken, out here
// where the engine's guard answers it, rather than inside the library's loop.
QueryArguments queryArguments(MHD_Connection* connection) {
    QueryArguments args;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectArgument, &args);
    if (args.incomplete)
        throw std::bad_alloc();
    return args;
}

MHD_Result send(MHD_Connection* connection, FileServer::Request& request, int status,
                Response response, quint64 bodyBytes) {
    if (!response)
        return MHD_NO;
    request.status = status;
    request.bodyBytes = request.method == "HEAD" ? 0 : bodyBytes;
    return MHD_queue_response(connection, static_cast<unsigned>(status), response.get());
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
    Response response(MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT));
    if (!response)
        return MHD_NO;
    addValidators(response.get(), etag, lastModified);
    return send(connection, request, 304, std::move(response), 0);
}

void releaseListing(void* cls) {
    delete static_cast<std::shared_ptr<const Listing>*>(cls);
}

} // namespace

MHD_Result sendError(MHD_Connection* connection, FileServer::Request& request, int status,
                     const QString& error, const QString& detail) {
    const QByteArray body = fileInfoErrorToJSON(TFileInfoErrorDTO(status, error, detail));
    Response response(MHD_create_response_from_buffer(static_cast<size_t>(body.size()),
                                                      const_cast<char*>(body.constData()),
                                                      MHD_RESPMEM_MUST_COPY));
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE,
                            "application/json; charset=UTF-8");
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (status == 405)
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    return send(connection, request, status, std::move(response),
                static_cast<quint64>(body.size()));
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
    const QueryArguments args = queryArguments(connection);
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
        Response response(MHD_create_response_from_buffer(static_cast<size_t>(body.size()),
                                                          const_cast<char*>(body.constData()),
                                                          MHD_RESPMEM_MUST_COPY));
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE,
                                "application/json; charset=UTF-8");
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_RANGE,
                                contentRange.constData());
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        return send(connection, request, 416, std::move(response),
                    static_cast<quint64>(body.size()));
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
    Response response;
    if (length <= smallFileBytes) {
        std::unique_ptr<char, FreeBuffer> buffer(
            static_cast<char*>(std::malloc(std::max<quint64>(length, 1))));
        ssize_t got = 0;
        while (buffer && static_cast<quint64>(got) < length) {
            const ssize_t n =
                ::pread(r.fd.get(), buffer.get() + got, length - static_cast<quint64>(got),
                        static_cast<off_t>(offset) + got);
            if (n <= 0)
                break; // shrunk while being read: the descriptor is sent as it is
            got += n;
        }
        struct stat after {};
        if (!digest.isEmpty() && (::fstat(r.fd.get(), &after) != 0 ||
                                  !(FileVersion::of(after) == FileVersion::of(r.info))))
            digest.clear(); // written while it was read: these bytes have no known digest
        if (buffer && static_cast<quint64>(got) == length) {
            response.reset(
                MHD_create_response_from_buffer(length, buffer.get(), MHD_RESPMEM_MUST_FREE));
            if (response)
                buffer.release(); // the answer frees it
        }
    }
    if (!response) {
        // Large answers may be cut: what the client acknowledged is then logged.
        request.ackedBefore = bytesAcked(request.socket);
        request.countAcked = true;
        auto body = std::make_unique<FileBody>(FileBody{std::move(r.fd), offset, length});
        response.reset(MHD_create_response_from_callback(
            length, fileBodyBlockBytes, &FileBody::read, body.get(), &FileBody::free));
        if (!response)
            return MHD_NO;
        body.release(); // the answer owns it now, and frees it with FileBody::free
    }
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE,
                            "application/octet-stream");
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
    addValidators(response.get(), etag, lastModified);
    if (!digest.isEmpty())
        MHD_add_response_header(response.get(), "Repr-Digest", reprDigest(digest).constData());
    if (part) {
        const QByteArray contentRange = "bytes " + QByteArray::number(offset) + '-' +
                                        QByteArray::number(offset + length - 1) + '/' +
                                        QByteArray::number(size);
        MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_RANGE,
                                contentRange.constData());
    }
    return send(connection, request, part ? 206 : 200, std::move(response), length);
}

int FileServer::answerListing(MHD_Connection* connection, Request& request) {
    const QueryArguments args = queryArguments(connection);
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
    // The answer holds the listing until it has been sent.
    auto keep = std::make_unique<std::shared_ptr<const Listing>>(listing);
    Response response(MHD_create_response_from_buffer_with_free_callback_cls(
        static_cast<size_t>(listing->body.size()), const_cast<char*>(listing->body.constData()),
        &releaseListing, keep.get()));
    if (!response)
        return MHD_NO;
    keep.release(); // freed by releaseListing
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE,
                            "application/json; charset=UTF-8");
    addValidators(response.get(), listing->etag, QByteArray());
    return send(connection, request, 200, std::move(response),
                static_cast<quint64>(listing->body.size()));
}

} // namespace fileserver
