#include "raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

namespace {

int loopbackListener(quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0)
        throw std::runtime_error("bind");
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// False once the client has gone.
bool sendAll(int fd, QByteArrayView bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.data() + sent, std::size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

} // namespace

QByteArray RawHttpServer::Request::header(const QByteArray& name) const {
    for (const QByteArray& line : headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).compare(name, Qt::CaseInsensitive) == 0)
            return line.sliced(colon + 1).trimmed();
    }
    return {};
}

RawHttpServer::RawHttpServer(Responder responder) : m_responder(std::move(responder)) {
    m_listener = loopbackListener(m_port);
    if (::pipe(m_stop) != 0)
        throw std::runtime_error("pipe");
    m_thread = std::thread([this] { serve(); });
}

RawHttpServer::~RawHttpServer() {
    const char byte = 'x';
    [[maybe_unused]] const ssize_t n = ::write(m_stop[1], &byte, 1);
    m_thread.join();
    ::close(m_listener);
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

QByteArray RawHttpServer::baseUrl() const {
    return "http://127.0.0.1:" + QByteArray::number(m_port);
}

QList<RawHttpServer::Request> RawHttpServer::requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

RawHttpServer::Reply RawHttpServer::reply(const QByteArray& statusLine, const QByteArray& body,
                                          const QByteArray& contentType) {
    Reply r;
    r.head = statusLine;
    if (!contentType.isEmpty())
        r.head += "\r\nContent-Type: " + contentType;
    r.body = body;
    return r;
}

void RawHttpServer::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents != 0)
            return;
        const int client = ::accept(m_listener, nullptr, nullptr);
        if (client < 0)
            continue;
        handle(client);
        ::close(client);
    }
}

void RawHttpServer::handle(int client) {
    QByteArray received;
    char buffer[4096];
    while (!received.contains("\r\n\r\n")) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        received.append(buffer, n);
    }
    Request request;
    const QList<QByteArray> lines = received.first(received.indexOf("\r\n\r\n")).split('\n');
    request.requestLine = lines.value(0).trimmed();
    for (qsizetype i = 1; i < lines.size(); ++i)
        request.headers.append(lines[i].trimmed());
    {
        const std::lock_guard lock(m_mutex);
        m_requests.append(request);
    }

    const Reply r = m_responder(request);
    QByteArray head = r.head;
    if (r.addContentLength)
        head += "\r\nContent-Length: " + QByteArray::number(r.body.size());
    head += "\r\nConnection: close\r\n\r\n";
    sendAll(client, head);
    if (r.mode == Reply::Mode::Complete) {
        sendAll(client, r.body);
        return;
    }
    if (r.mode == Reply::Mode::Endless) {
        constexpr qint64 Bound = qint64(16) << 20;
        for (qint64 sent = 0; sent < Bound && !r.body.isEmpty(); sent += r.body.size())
            if (!sendAll(client, r.body))
                return;
        return;
    }
    sendAll(client, QByteArrayView(r.body).first(r.body.size() / 2));
    if (r.mode == Reply::Mode::StallMidBody) {
        // Nothing more is sent: wait for the client to give up (or the test to end).
        pollfd fds[2] = {{client, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
        }
    }
}

quint16 unusedLoopbackPort() {
    quint16 port = 0;
    const int fd = loopbackListener(port);
    ::close(fd);
    return port;
}

QByteArray gzipped(const QByteArray& bytes) {
    z_stream stream{};
    // 15 + 16: the gzip wrapper around a deflate stream with the largest window.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw std::runtime_error("deflateInit2");
    QByteArray out(qsizetype(deflateBound(&stream, uLong(bytes.size())) + 32), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.truncate(qsizetype(stream.total_out));
    return out;
}
