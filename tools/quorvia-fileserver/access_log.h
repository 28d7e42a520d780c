#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <ctime>

namespace fileserver {

// What the access log says of one answered request.
struct AccessRecord {
    timespec at{}; // when the answer ended, real time
    QByteArray address;
    QByteArray method;
    QByteArray target; // as the client sent it
    int status = 0;
    unsigned long long sentBytes = 0; // of the body
    std::chrono::microseconds took{0};
    QString note; // after the line, such as " cut: connection ended"
};

// One line of the access log, without its line break:
// 2026-01-02T03:04:05.678Z 10.0.0.7 "GET /download?file=a" 200 15 0.250ms
// What came from the client is escaped (see logEscaped).
QString accessLine(const AccessRecord& record);

// The bytes of a connection the client has acknowledged so far, headers
// included; 0 when the system cannot tell.
quint64 bytesAcked(int socket);

} // namespace fileserver
