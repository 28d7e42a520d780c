#pragma once

#include "fileserver/rest_clients.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace fileserver {

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

    CurlExchange();
    ~CurlExchange();
    CurlExchange(const CurlExchange&) = delete;
    CurlExchange& operator=(const CurlExchange&) = delete;

    // One whole exchange; the body goes to sink as it arrives.
    Outcome perform(const QByteArray& url, const QList<QByteArray>& headers,
                    const TransferLimits& limits, BodySink sink);

    // The same exchange pulled piece by piece, for a reader that wants the body
    // as it arrives without holding all of it: begin(), read() until it gives
    // an empty piece, then end() (also to abandon the exchange half-way). A
    // body of the final answer past maxBody bytes (0: no limit) ends the
    // exchange; end() then tells so.
    void begin(const QByteArray& url, const QList<QByteArray>& headers,
               const TransferLimits& limits, qint64 maxBody);

    // The next piece of the body (the answer's own bytes, content coding
    // undone), waiting for it; empty once the exchange has ended. One turn of
    // libcurl may read whatever the socket holds (tens of MB on a fast link),
    // so the receiving stops (libcurl's pause) once a piece is full and goes on
    // when it has been taken.
    QByteArray read();

    // The status and content type of the final answer, once read() has given
    // its first piece or ended.
    long status() const { return m_status; }
    const QByteArray& contentType() const { return m_contentType; }

    struct Ending {
        Outcome outcome;
        bool tooLarge = false;
    };
    Ending end();

private:
    void prepare(const QByteArray& url, const QList<QByteArray>& headers,
                 const TransferLimits& limits, BodySink sink);
    void release();
    Outcome describe(CURLcode code) const;

    // libcurl's callbacks; nothing thrown inside them leaves them.
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
    void takeHeader(const char* data, std::size_t size);

    struct EasyCleanup {
        void operator()(CURL* c) const { curl_easy_cleanup(c); }
    };
    struct MultiCleanup {
        void operator()(CURLM* m) const { curl_multi_cleanup(m); }
    };
    struct ListFree {
        void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    };

    std::unique_ptr<CURL, EasyCleanup> m_curl;
    std::unique_ptr<CURLM, MultiCleanup> m_multi; // only once an exchange has been pulled
    std::unique_ptr<curl_slist, ListFree> m_headerList;
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

} // namespace fileserver
