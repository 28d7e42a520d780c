#include "access_log.h"

#include "http_rules.h"

#include <cstdio>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace fileserver {

QString accessLine(const AccessRecord& record) {
    struct tm tm {};
    ::gmtime_r(&record.at.tv_sec, &tm);
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(record.at.tv_nsec / 1'000'000));
    const long long us = record.took.count();
    char tail[96];
    std::snprintf(tail, sizeof tail, "\" %d %llu %lld.%03lldms", record.status, record.sentBytes,
                  us / 1000, us % 1000);
    return QString::fromLatin1(head + logEscaped(record.address) + " \"" +
                               logEscaped(record.method) + ' ' + logEscaped(record.target) + tail) +
           record.note;
}

quint64 bytesAcked(int socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (socket < 0 || ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return 0;
    return info.tcpi_bytes_acked;
}

} // namespace fileserver
