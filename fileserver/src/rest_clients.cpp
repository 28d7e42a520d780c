#include "fileserver/rest_clients.h"

#include "fileserver/rest_url.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/trace.h"

#include <QFile>
#include <QStringDecoder>

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <istream>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <utility>

namespace fileserver {

namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QString statusLineVersion(long curlVersion) {
    switch (curlVersion) {
    case CURL_HTTP_VERSION_1_0:
        return QStringLiteral("HTTP/1.0");
    case CURL_HTTP_VERSION_2_0:
        return QStringLiteral("HTTP/2.0");
    case CURL_HTTP_VERSION_3:
        return QStringLiteral("HTTP/3.0");
    default:
        return QStringLiteral("HTTP/1.1");
    }
}

// The charset parameter of a Content-Type value, or empty.
QByteArray charsetOf(const QByteArray& contentType) {
    for (const QByteArray& part : contentType.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.size() > 8 && p.first(8).toLower() == "charset=") {
            QByteArray value = p.sliced(8).trimmed();
            if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
                value = value.sliced(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

} // namespace

// One libcurl easy handle, reused for every exchange of its client object (so
// that a connection may be kept alive between them).
class CurlExchange {
public:
    // Gets each piece of the body of the final answer; false stops the exchange.
    using BodySink = std::function<bool(long status, const char* data, std::size_t size)>;

    struct Outcome {
        CURLcode code = CURLE_OK;
        QString transportError; // when code is not CURLE_OK
        long status = 0;
        QString statusLine; // "HTTP/1.1 503 Service Unavailable"
        QString reason;
        QByteArray contentType;
        QByteArray reprDigest; // the Repr-Digest value of the final answer, if any
    };

    CurlExchange() {
        initCurlOnce();
        m_curl = curl_easy_init();
        if (!m_curl)
            throw ERESTException(
                QStringLiteral("REST request failed: cannot start the HTTP layer"));
    }
    ~CurlExchange() {
        if (m_multi) {
            curl_multi_remove_handle(m_multi, m_curl);
            curl_multi_cleanup(m_multi);
        }
        curl_easy_cleanup(m_curl);
        curl_slist_free_all(m_headerList);
    }
    CurlExchange(const CurlExchange&) = delete;
    CurlExchange& operator=(const CurlExchange&) = delete;

    // One whole exchange; the body goes to sink as it arrives.
    Outcome perform(const QByteArray& url, const QList<QByteArray>& headers,
                    const TransferLimits& limits, BodySink sink) {
        prepare(url, headers, limits, std::move(sink));
        const CURLcode code = curl_easy_perform(m_curl);
        release();
        return describe(code);
    }

    // The same exchange pulled piece by piece, for a reader that wants the body
    // as it arrives without holding all of it: begin(), read() until it gives
    // an empty piece, then end() (also to abandon the exchange half-way). A
    // body of the final answer past maxBody bytes (0: no limit) ends the
    // exchange; end() then tells so.
    void begin(const QByteArray& url, const QList<QByteArray>& headers,
               const TransferLimits& limits, qint64 maxBody) {
        if (!m_multi && !(m_multi = curl_multi_init()))
            throw ERESTException(
                QStringLiteral("REST request failed: cannot start the HTTP layer"));
        // One left attached by an exchange that an unexpected error kept from end().
        curl_multi_remove_handle(m_multi, m_curl);
        m_pulled.clear();
        m_pulledBytes = 0;
        m_tooLarge = false;
        m_paused = false;
        m_pulling = true;
        m_done = false;
        m_result = CURLE_OK;
        prepare(url, headers, limits, [this, maxBody](long, const char* data, std::size_t size) {
            m_pulledBytes += qint64(size);
            if (maxBody > 0 && m_pulledBytes > maxBody) {
                m_tooLarge = true;
                return false;
            }
            m_pulled.append(data, qsizetype(size));
            return true;
        });
        curl_multi_add_handle(m_multi, m_curl);
    }

    // The next piece of the body (the answer's own bytes, content coding
    // undone), waiting for it; empty once the exchange has ended. One turn of
    // libcurl may read whatever the socket holds (tens of MB on a fast link),
    // so the receiving stops (libcurl's pause) once a piece is full and goes on
    // when it has been taken.
    QByteArray read() {
        while (m_pulled.isEmpty() && !m_done) {
            if (m_paused) {
                // May hand over what libcurl kept back, at once.
                m_paused = false;
                curl_easy_pause(m_curl, CURLPAUSE_CONT);
                continue;
            }
            int running = 0;
            if (curl_multi_perform(m_multi, &running) != CURLM_OK) {
                m_done = true;
                m_result = CURLE_RECV_ERROR;
                break;
            }
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    m_done = true;
                    m_result = message->data.result;
                }
            }
            if (m_pulled.isEmpty() && !m_done)
                curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
        }
        return std::exchange(m_pulled, QByteArray());
    }

    // The status and content type of the final answer, once read() has given
    // its first piece or ended.
    long status() const { return m_status; }
    const QByteArray& contentType() const { return m_contentType; }

    struct Ending {
        Outcome outcome;
        bool tooLarge = false;
    };
    Ending end() {
        curl_multi_remove_handle(m_multi, m_curl); // abandons what is still running
        m_pulling = false;
        release();
        m_pulled.clear();
        // An exchange abandoned before its end has not failed.
        return {describe(m_done ? m_result : CURLE_OK), m_tooLarge};
    }

private:
    void prepare(const QByteArray& url, const QList<QByteArray>& headers,
                 const TransferLimits& limits, BodySink sink) {
        m_sink = std::move(sink);
        m_status = 0;
        m_reason.clear();
        m_contentType.clear();
        m_reprDigest.clear();
        m_errorBuffer[0] = '\0';

        curl_slist_free_all(m_headerList);
        m_headerList = nullptr;
        for (const QByteArray& h : headers)
            m_headerList = curl_slist_append(m_headerList, h.constData());

        CURL* c = m_curl;
        curl_easy_setopt(c, CURLOPT_URL, url.constData());
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, m_headerList);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
        // Sending, waiting for the answer and each wait while receiving: the
        // exchange fails when not one byte moves for stallMs. (libcurl's own
        // low-speed limit averages over several seconds, too coarse for this.)
        m_stallLimit = std::chrono::milliseconds(limits.stallMs);
        m_lastActivity = std::chrono::steady_clock::now();
        m_lastUploaded = 0;
        m_stalled = false;
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlExchange::onProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, m_errorBuffer);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlExchange::onHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlExchange::onBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024);
        // Without this header any content coding is acceptable to a server, and
        // libcurl would hand on the coded bytes as the body (a gzip stream
        // stored as the executable). With it, libcurl names the codings it can
        // undo and undoes them; an answer in any other coding fails the exchange.
        curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
    }

    void release() {
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(m_headerList);
        m_headerList = nullptr;
        m_sink = nullptr;
    }

    Outcome describe(CURLcode code) const {
        Outcome out;
        out.code = code;
        if (code != CURLE_OK) {
            out.transportError =
                m_stalled ? QStringLiteral("Operation timed out: no data moved for %1 ms")
                                .arg(m_stallLimit.count())
                : m_errorBuffer[0] != '\0' ? QString::fromUtf8(m_errorBuffer).trimmed()
                                           : QString::fromUtf8(curl_easy_strerror(code));
            return out;
        }
        long version = 0;
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &out.status);
        curl_easy_getinfo(m_curl, CURLINFO_HTTP_VERSION, &version);
        out.reason = m_reason;
        out.statusLine =
            statusLineVersion(version) + u' ' + QString::number(out.status) + u' ' + m_reason;
        out.contentType = m_contentType;
        out.reprDigest = m_reprDigest;
        return out;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
        auto* me = static_cast<CurlExchange*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (uploaded != me->m_lastUploaded) {
            me->m_lastUploaded = uploaded;
            me->m_lastActivity = now;
        }
        if (now - me->m_lastActivity > me->m_stallLimit) {
            me->m_stalled = true;
            return 1; // aborts the transfer
        }
        return 0;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto* me = static_cast<CurlExchange*>(self);
        me->m_lastActivity = std::chrono::steady_clock::now();
        const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
        if (line.startsWith("HTTP/")) {
            // A new answer (after a redirect or an interim answer): start over.
            const QList<QByteArray> parts = line.split(' ');
            me->m_status = parts.size() > 1 ? parts[1].toLong() : 0;
            const qsizetype reasonAt =
                parts.size() > 2 ? line.indexOf(' ', line.indexOf(' ') + 1) : -1;
            me->m_reason =
                reasonAt < 0 ? QString() : QString::fromLatin1(line.sliced(reasonAt + 1));
            me->m_contentType.clear();
            me->m_reprDigest.clear();
        } else {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name =
                colon > 0 ? line.first(colon).trimmed().toLower() : QByteArray();
            if (name == "content-type")
                me->m_contentType = line.sliced(colon + 1).trimmed();
            else if (name == "repr-digest")
                me->m_reprDigest +=
                    (me->m_reprDigest.isEmpty() ? "" : ",") + line.sliced(colon + 1).trimmed();
        }
        return size * count;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* me = static_cast<CurlExchange*>(self);
        me->m_lastActivity = std::chrono::steady_clock::now();
        const std::size_t n = size * count;
        if (me->m_pulling && me->m_pulled.size() >= PieceBytes) {
            me->m_paused = true;
            return CURL_WRITEFUNC_PAUSE; // libcurl keeps these bytes for later
        }
        if (me->m_sink && !me->m_sink(me->m_status, data, n))
            return 0; // makes libcurl stop with a write error
        return n;
    }

    CURL* m_curl = nullptr;
    CURLM* m_multi = nullptr; // only once an exchange has been pulled
    curl_slist* m_headerList = nullptr;
    BodySink m_sink;
    static constexpr qsizetype PieceBytes = 256 * 1024;
    QByteArray m_pulled;
    bool m_pulling = false;
    bool m_paused = false;
    qint64 m_pulledBytes = 0;
    bool m_tooLarge = false;
    bool m_done = false;
    CURLcode m_result = CURLE_OK;
    long m_status = 0;
    QString m_reason;
    QByteArray m_contentType;
    QByteArray m_reprDigest;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
    std::chrono::milliseconds m_stallLimit{0};
    std::chrono::steady_clock::time_point m_lastActivity;
    curl_off_t m_lastUploaded = 0;
    bool m_stalled = false;
};

QString decodeBody(const QByteArray& body, const QByteArray& contentType) {
    const QByteArray charset = charsetOf(contentType);
    if (!charset.isEmpty()) {
        QStringDecoder decoder(charset.constData());
        // A charset this build cannot decode is read as UTF-8, the default.
        if (decoder.isValid())
            return decoder.decode(body);
    }
    return QString::fromUtf8(body);
}

namespace {

// The local file of a download, written with the system's own calls so that a
// failure carries the system's error number, mapped to the same messages as the
// share path (a full disk reads "There is not enough space on the disk" on both).
class LocalFile {
public:
    explicit LocalFile(const QString& path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                      0666)) {
        if (m_fd < 0) {
            const int error = errno;
            throw platform::EInOutError(platform::systemErrorMessage(error),
                                        platform::pathDetail(path, error));
        }
    }
    ~LocalFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // All of it or the error number of the write that stopped short.
    int write(const char* data, std::size_t size) { return platform::writeAll(m_fd, data, size); }

    // Closes now; a late write error shows here on some file systems.
    int close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_fd;
};

} // namespace

namespace {

// A decoder that can tell whether it stopped inside a character.
class BodyDecoder : public QStringDecoder {
public:
    using QStringDecoder::QStringDecoder;
    bool midCharacter() const { return state.remainingChars != 0; }
};

// The body of a listing as UTF-8 text for the JSON reader, pulled piece by
// piece from the exchange: decoded from the charset the answer declares (UTF-8
// when none, or one this build cannot decode) and encoded back, so that at most
// a piece of it is held at a time. Ends where the body ends; whether the
// exchange ended well is for the caller to ask.
class BodyTextBuffer final : public std::streambuf {
public:
    BodyTextBuffer(CurlExchange& exchange, QByteArray first, const QByteArray& contentType)
        : m_exchange(exchange), m_first(std::move(first)) {
        const QByteArray charset = charsetOf(contentType);
        if (!charset.isEmpty())
            m_decoder = BodyDecoder(charset.constData());
        if (!m_decoder.isValid())
            m_decoder = BodyDecoder(QStringDecoder::Utf8);
    }

protected:
    int_type underflow() override {
        while (gptr() == egptr()) {
            if (m_ended)
                return traits_type::eof();
            const QByteArray raw =
                m_first.isEmpty() ? m_exchange.read() : std::exchange(m_first, {});
            if (raw.isEmpty()) {
                m_ended = true;
                // A character cut off at the end reads as one replacement
                // character, as decoding the whole text at once would give.
                m_text =
                    m_decoder.midCharacter() ? QByteArrayLiteral("\xEF\xBF\xBD") : QByteArray();
            } else {
                m_text = QString(m_decoder.decode(raw)).toUtf8();
            }
            setg(m_text.data(), m_text.data(), m_text.data() + m_text.size());
        }
        return traits_type::to_int_type(*gptr());
    }

private:
    CurlExchange& m_exchange;
    QByteArray m_first;
    BodyDecoder m_decoder;
    QByteArray m_text;
    bool m_ended = false;
};

} // namespace

void checkLocalPath(const QString& path) {
    // The limits of the file systems the program was first written for; a path
    // beyond them could not have been created there, and is not created here.
    if (path.size() >= 260)
        throw platform::EPathTooLongException(platform::messages::pathTooLong());
    if (path.contains(QChar(u'\0')))
        throw platform::ENotSupportedException(platform::messages::pathFormatNotSupported());
    if (path.trimmed().isEmpty() || platform::hasInvalidPathChars(path))
        throw platform::EArgumentException(platform::messages::invalidPathChars());
    const QString folder = platform::folderOf(path);
    if (!folder.isEmpty() && !platform::directoryExists(folder))
        throw platform::EDirectoryNotFoundException(platform::messages::pathNotFound());
}

void guardedDeleteFile(const QString& path) {
    checkLocalPath(path);
    const QByteArray native = QFile::encodeName(path);
    if (::unlink(native.constData()) == 0)
        return;
    const int error = errno;
    switch (error) {
    case ENOENT:
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
        throw platform::EInOutError(platform::systemErrorMessage(error));
    default:
        break; // any other failure to delete is left alone
    }
}

} // namespace fileserver

using fileserver::CurlExchange;

namespace {

[[noreturn]] void throwTransport(const CurlExchange::Outcome& out) {
    throw ERESTException(QStringLiteral("REST request failed: %1").arg(out.transportError));
}

} // namespace

// ---------------------------------------------------------------------------

TRESTClientFileList::TRESTClientFileList(const QString& AURL)
    : FURL(AURL), FError(std::make_unique<TFileInfoErrorDTO>()) {}

TRESTClientFileList::~TRESTClientFileList() {
    TFilesInfoDTOHelper::FreeItems(FFiles);
}

const TFileInfoDTO* TRESTClientFileList::Items(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count())
        return nullptr;
    const auto& entry = FFiles[static_cast<std::size_t>(AIndex)];
    return entry ? &*entry : nullptr;
}

bool TRESTClientFileList::Execute(const QString& AFolder, const QString& AMask, bool ARecursive) {
    TFilesInfoDTOHelper::FreeItems(FFiles);
    if (!FExchange)
        FExchange = std::make_unique<CurlExchange>();
    CurlExchange& exchange = *FExchange;

    exchange.begin(fileserver::folderListUrl(FURL, AFolder, AMask, ARecursive),
                   {QByteArrayLiteral("Accept: application/json"),
                    QByteArrayLiteral("Accept-Charset: UTF-8, *;q=0.8")},
                   FLimits, FMaxBodyBytes);
    // Ends the exchange and raises what made it fail: a body past the limit,
    // then a transport failure. One that completed, or that was left once its
    // body could not be read, passes.
    const auto endExchange = [&exchange, this]() {
        const CurlExchange::Ending ending = exchange.end();
        if (ending.tooLarge) {
            TFilesInfoDTOHelper::FreeItems(FFiles);
            const bool wholeMiB = FMaxBodyBytes % (1 << 20) == 0;
            throw ERESTException(QStringLiteral("REST request failed: the answer is larger than %1")
                                     .arg(wholeMiB
                                              ? QStringLiteral("%1 MiB").arg(FMaxBodyBytes >> 20)
                                              : QStringLiteral("%1 bytes").arg(FMaxBodyBytes)));
        }
        if (ending.outcome.code != CURLE_OK) {
            TFilesInfoDTOHelper::FreeItems(FFiles);
            throwTransport(ending.outcome);
        }
        return ending;
    };

    QByteArray first = exchange.read();
    const long status = exchange.status();
    if (status >= 500) // the body is not used: the status line is all there is
        throw ERESTException(endExchange().outcome.statusLine);

    if (status < 300) {
        // Read as it arrives; a body that stops being JSON is not read further.
        fileserver::BodyTextBuffer buffer(exchange, std::move(first), exchange.contentType());
        std::istream text(&buffer);
        std::exception_ptr unreadable;
        try {
            TFilesInfoDTOHelper::FromJSON(FFiles, text);
        } catch (const platform::Exception&) {
            unreadable = std::current_exception();
        }
        endExchange(); // a broken transfer tells more than the half text it left
        if (unreadable)
            std::rethrow_exception(unreadable);
    } else {
        QByteArray body = std::move(first);
        for (QByteArray piece; !(piece = exchange.read()).isEmpty();)
            body += piece;
        endExchange();
        // The record is replaced only once the conversion has worked: after a
        // failure the previous one stays.
        FError = fileserver::fileInfoErrorFromJSONObject(
            fileserver::decodeBody(body, exchange.contentType()));
    }
    return FError->Status() == 0;
}

// ---------------------------------------------------------------------------

TRESTClientDownload::TRESTClientDownload(const QString& AURL) : FBaseURL(AURL) {}

TRESTClientDownload::~TRESTClientDownload() = default;

namespace {

// The sha-256 member of a Repr-Digest value ("sha-256=:BASE64:, ..."), raw; empty
// when there is none or it is not 32 bytes.
QByteArray sha256OfReprDigest(const QByteArray& value) {
    for (const QByteArray& member : value.split(',')) {
        const QByteArray m = member.trimmed();
        const qsizetype equals = m.indexOf('=');
        if (equals < 0 || m.first(equals).trimmed().toLower() != "sha-256")
            continue;
        const QByteArray item = m.sliced(equals + 1).trimmed();
        if (item.size() < 2 || !item.startsWith(':') || !item.endsWith(':'))
            return {};
        const auto decoded = QByteArray::fromBase64Encoding(
            item.sliced(1, item.size() - 2), QByteArray::AbortOnBase64DecodingErrors);
        return decoded && decoded.decoded.size() == 32 ? decoded.decoded : QByteArray();
    }
    return {};
}

} // namespace

TRESTClientDownload::Announced TRESTClientDownload::DownloadTo(const QString& ARemoteFileName,
                                                               const BodySink& ASink) {
    platform::traceLine(QString(92, u'>') + ARemoteFileName);
    const QByteArray url = fileserver::downloadUrl(FBaseURL, ARemoteFileName);
    if (!FExchange)
        FExchange = std::make_unique<CurlExchange>();
    QByteArray errorBody;
    long bodyStatus = 0;
    bool unasked = false;
    std::exception_ptr sinkError;
    // Bodies of error answers are kept only up to this size for the message.
    constexpr qsizetype errorBodyLimit = 64 * 1024;
    const auto out =
        FExchange->perform(url, {}, FLimits, [&](long status, const char* data, std::size_t size) {
            if (status != bodyStatus) { // a new answer after a redirect
                bodyStatus = status;
                errorBody.clear();
            }
            if (status >= 300) {
                errorBody.append(data, qMin(qsizetype(size), errorBodyLimit - errorBody.size()));
                return true;
            }
            // Only a whole file is one: a part nobody asked for is not written.
            if (status != 200) {
                unasked = true;
                return false;
            }
            // Runs inside libcurl's callback: the sink's error waits for perform's end.
            try {
                ASink(data, size);
                return true;
            } catch (...) {
                sinkError = std::current_exception();
                return false;
            }
        });
    // The sink's own error, not libcurl's "failure writing output" that follows it.
    if (sinkError)
        std::rethrow_exception(sinkError);
    if (unasked)
        throw ERESTException(
            QStringLiteral("REST request failed: the server answered status %1 instead of the file")
                .arg(bodyStatus));
    if (out.code != CURLE_OK)
        throwTransport(out);
    if (out.status >= 500)
        throw ERESTException(out.statusLine);
    if (out.status >= 300) {
        const QString text = fileserver::decodeBody(errorBody, out.contentType);
        throw ERequestError(text.isEmpty() ? out.reason : text);
    }
    if (out.status != 200)
        throw ERESTException(
            QStringLiteral("REST request failed: the server answered %1 instead of the file")
                .arg(out.statusLine.trimmed()));
    return {sha256OfReprDigest(out.reprDigest)};
}

bool TRESTClientDownload::Download(const QString& ARemoteFileName, const QString& ALocalFileName) {
    std::optional<fileserver::LocalFile> file;
    try {
        fileserver::checkLocalPath(ALocalFileName);
        file.emplace(ALocalFileName);
        DownloadTo(ARemoteFileName, [&file](const char* data, std::size_t size) {
            // Streamed as it arrives; a failed write ends the exchange.
            if (const int error = file->write(data, size); error != 0)
                throw platform::EInOutError(platform::systemErrorMessage(error));
        });
        if (const int closeError = file->close(); closeError != 0)
            throw platform::EInOutError(platform::systemErrorMessage(closeError));
    } catch (const platform::Exception& e) {
        file.reset();
        FError = e.message();
        // When this raises, its error replaces the first one.
        fileserver::guardedDeleteFile(ALocalFileName);
    }
    return platform::fileExists(ALocalFileName);
}
