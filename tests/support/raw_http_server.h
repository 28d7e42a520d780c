#pragma once

#include <QByteArray>
#include <QList>

#include <functional>
#include <mutex>
#include <thread>

// A loopback HTTP server for client tests that sees requests exactly as they
// arrive on the wire and answers with whatever bytes the test chooses, including
// broken answers. One connection at a time; each is closed after its answer.
class RawHttpServer {
public:
    struct Request {
        QByteArray requestLine;    // "GET /folderlist?folder=%5C HTTP/1.1"
        QList<QByteArray> headers; // "Name: value" lines, in order
        QByteArray target() const { return requestLine.split(' ').value(1); }
        QByteArray header(const QByteArray& name) const;
    };

    struct Reply {
        enum class Mode {
            Complete,     // head and body, then close
            CutMidBody,   // head and half the body, then close
            StallMidBody, // head and half the body, then wait until the client gives up
            Endless       // the body again and again until the client closes (16 MiB at most)
        };
        QByteArray head; // status line and headers, without the blank line
        QByteArray body;
        Mode mode = Mode::Complete;
        bool addContentLength = true;
    };

    using Responder = std::function<Reply(const Request&)>;

    explicit RawHttpServer(Responder responder);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    quint16 port() const { return m_port; }
    QByteArray baseUrl() const;
    QList<Request> requests() const;

    static Reply reply(const QByteArray& statusLine, const QByteArray& body,
                       const QByteArray& contentType = QByteArray());

private:
    void serve();
    void handle(int client);

    Responder m_responder;
    int m_listener = -1;
    int m_stop[2] = {-1, -1};
    quint16 m_port = 0;
    mutable std::mutex m_mutex;
    QList<Request> m_requests;
    std::thread m_thread;
};

// A port on 127.0.0.1 that nothing listens on (bound, then released).
quint16 unusedLoopbackPort();

// bytes as a gzip stream (for answers with "Content-Encoding: gzip").
QByteArray gzipped(const QByteArray& bytes);
