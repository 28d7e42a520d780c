#include "http_rules.h"

#include <QList>

#include <algorithm>
#include <cstdio>

namespace fileserver {

namespace {

const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

QByteArray httpDate(time_t t) {
    struct tm tm {};
    ::gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", weekdays[tm.tm_wday],
                  tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return text;
}

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

} // namespace fileserver
