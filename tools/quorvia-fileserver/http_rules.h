#pragma once

#include <QByteArray>

#include <ctime>

#include <sys/stat.h>

// The rules of HTTP the file server follows, free of any connection: what a
// Range header asks for, validators, dates and the text of log lines.
namespace fileserver {

// The part of a file a Range header asks for. Whole when there is no usable
// header (other units, several ranges, bad syntax: all ignored, as allowed).
struct ByteRange {
    enum class Kind { Whole, Part, Unsatisfiable };
    Kind kind = Kind::Whole;
    quint64 offset = 0;
    quint64 length = 0;
};
ByteRange parseRange(const QByteArray& header, quint64 size);

// The validator of a file: size, modification and change times to the
// nanosecond and the file's identity, so that any change of content gives a new
// tag, also one whose modification time was put back (touch -r).
QByteArray fileEtag(const struct stat& info);
// The Repr-Digest field value for a SHA-256 digest (32 raw bytes):
// "sha-256=:<base64>:" (RFC 9530).
QByteArray reprDigest(const QByteArray& sha256);
// Whether an If-None-Match value names etag ("*" names any).
bool etagMatches(const QByteArray& ifNoneMatch, const QByteArray& etag);
// A time as HTTP writes it: "Sun, 06 Nov 1994 08:49:37 GMT".
QByteArray httpDate(time_t t);
// Text safe for a log line: control characters, bytes outside ASCII, quotes
// and backslashes become \xHH.
QByteArray logEscaped(const QByteArray& text);

} // namespace fileserver
