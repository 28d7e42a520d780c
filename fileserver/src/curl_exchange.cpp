#include "curl_exchange.h"

#include "platform/sha256.h"

#include <mutex>
#include <utility>

namespace fileserver {

namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::initCrypto(); // first, so that its settings hold for libcurl's use too
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
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

} // namespace

CurlExchange::CurlExchange() {
    initCurlOnce();
    m_curl.reset(curl_easy_init());
    if (!m_curl)
        throw ERESTException(QStringLiteral("REST request failed: cannot start the HTTP layer"));
}

CurlExchange::~CurlExchange() {
    // The easy handle leaves the multi handle before either is cleaned up.
    if (m_multi)
        curl_multi_remove_handle(m_multi.get(), m_curl.get());
}

CurlExchange::Outcome CurlExchange::perform(const QByteArray& url, const QList<QByteArray>& headers,
                                            const TransferLimits& limits, BodySink sink) {
    prepare(url, headers, limits, std::move(sink));
    const CURLcode code = curl_easy_perform(m_curl.get());
    release();
    return describe(code);
}

void CurlExchange::begin(const QByteArray& url, const QList<QByteArray>& headers,
                         const TransferLimits& limits, qint64 maxBody) {
    if (!m_multi) {
        m_multi.reset(curl_multi_init());
        if (!m_multi)
            throw ERESTException(
                QStringLiteral("REST request failed: cannot start the HTTP layer"));
    }
    // One left attached by an exchange that an unexpected error kept from end().
    curl_multi_remove_handle(m_multi.get(), m_curl.get());
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
    curl_multi_add_handle(m_multi.get(), m_curl.get());
}

QByteArray CurlExchange::read() {
    while (m_pulled.isEmpty() && !m_done) {
        if (m_paused) {
            // May hand over what libcurl kept back, at once.
            m_paused = false;
            curl_easy_pause(m_curl.get(), CURLPAUSE_CONT);
            continue;
        }
        int running = 0;
        if (curl_multi_perform(m_multi.get(), &running) != CURLM_OK) {
            m_done = true;
            m_result = CURLE_RECV_ERROR;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE) {
                m_done = true;
                m_result = message->data.result;
            }
        }
        if (m_pulled.isEmpty() && !m_done)
            curl_multi_poll(m_multi.get(), nullptr, 0, 1000, nullptr);
    }
    return std::exchange(m_pulled, QByteArray());
}

CurlExchange::Ending CurlExchange::end() {
    // Abandons what is still running.
    curl_multi_remove_handle(m_multi.get(), m_curl.get());
    m_pulling = false;
    release();
    m_pulled.clear();
    // An exchange abandoned before its end has not failed.
    return {describe(m_done ? m_result : CURLE_OK), m_tooLarge};
}

void CurlExchange::prepare(const QByteArray& url, const QList<QByteArray>& headers,
                           const TransferLimits& limits, BodySink sink) {
    m_sink = std::move(sink);
    m_status = 0;
    m_reason.clear();
    m_contentType.clear();
    m_reprDigest.clear();
    m_errorBuffer[0] = '\0';

    m_headerList.reset();
    curl_slist* list = nullptr;
    for (const QByteArray& h : headers)
        list = curl_slist_append(list, h.constData());
    m_headerList.reset(list);

    CURL* c = m_curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, m_headerList.get());
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

void CurlExchange::release() {
    curl_easy_setopt(m_curl.get(), CURLOPT_HTTPHEADER, nullptr);
    m_headerList.reset();
    m_sink = nullptr;
}

CurlExchange::Outcome CurlExchange::describe(CURLcode code) const {
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
    curl_easy_getinfo(m_curl.get(), CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_getinfo(m_curl.get(), CURLINFO_HTTP_VERSION, &version);
    out.reason = m_reason;
    out.statusLine =
        statusLineVersion(version) + u' ' + QString::number(out.status) + u' ' + m_reason;
    out.contentType = m_contentType;
    out.reprDigest = m_reprDigest;
    return out;
}

int CurlExchange::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
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

std::size_t CurlExchange::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* me = static_cast<CurlExchange*>(self);
    me->m_lastActivity = std::chrono::steady_clock::now();
    try {
        me->takeHeader(data, size * count);
    } catch (...) {
        return 0; // makes libcurl stop with a write error
    }
    return size * count;
}

void CurlExchange::takeHeader(const char* data, std::size_t size) {
    const QByteArray line = QByteArray(data, qsizetype(size)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new answer (after a redirect or an interim answer): start over.
        const QList<QByteArray> parts = line.split(' ');
        m_status = parts.size() > 1 ? parts[1].toLong() : 0;
        const qsizetype reasonAt = parts.size() > 2 ? line.indexOf(' ', line.indexOf(' ') + 1) : -1;
        m_reason = reasonAt < 0 ? QString() : QString::fromLatin1(line.sliced(reasonAt + 1));
        m_contentType.clear();
        m_reprDigest.clear();
    } else {
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = colon > 0 ? line.first(colon).trimmed().toLower() : QByteArray();
        if (name == "content-type")
            m_contentType = line.sliced(colon + 1).trimmed();
        else if (name == "repr-digest")
            m_reprDigest += (m_reprDigest.isEmpty() ? "" : ",") + line.sliced(colon + 1).trimmed();
    }
}

std::size_t CurlExchange::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto* me = static_cast<CurlExchange*>(self);
    me->m_lastActivity = std::chrono::steady_clock::now();
    const std::size_t n = size * count;
    if (me->m_pulling && me->m_pulled.size() >= PieceBytes) {
        me->m_paused = true;
        return CURL_WRITEFUNC_PAUSE; // libcurl keeps these bytes for later
    }
    try {
        if (me->m_sink && !me->m_sink(me->m_status, data, n))
            return 0; // makes libcurl stop with a write error
    } catch (...) {
        return 0; // a sink that throws ends the exchange the same way
    }
    return n;
}

} // namespace fileserver
