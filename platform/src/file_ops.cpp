#include "platform/file_ops.h"

#include "platform/errors.h"
#include "platform/file_descriptor.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QByteArray encoded(const QString& path) { return QFile::encodeName(path); }

bool statFollowingLinks(const QString& path, struct stat& st) {
    return !path.isEmpty() && ::stat(encoded(path).constData(), &st) == 0;
}

// An EInOutError with the system's message for the user and the path with the
// system's own text for an administrator.
[[noreturn]] void throwSystemError(int errorNumber, const QString& path) {
    throw EInOutError(systemErrorMessage(errorNumber), pathDetail(path, errorNumber));
}

// The machine's current offset from UTC, in milliseconds. Reading and stamping use
// the same offset, so a stamped age always reads back unchanged.
qint64 currentUtcOffsetMs() {
    return static_cast<qint64>(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
}


} // namespace

bool fileExists(const QString& path) {
    struct stat st {};
    return statFollowingLinks(path, st) && !S_ISDIR(st.st_mode);
}

bool directoryExists(const QString& path) {
    struct stat st {};
    return statFollowingLinks(path, st) && S_ISDIR(st.st_mode);
}

namespace {

TDateTime ageFromStat(const struct stat& st) {
    const qint64 utcMs = static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
    const qint64 localMs = utcMs + currentUtcOffsetMs();
    // Clock fields of the local time, computed in UTC so no zone rule applies again.
    const QDateTime clock = QDateTime::fromMSecsSinceEpoch(localMs, Qt::UTC);
    return fromClockTime(clock);
}

// The last-write time for age, as futimens takes it; the access time is left alone.
void timesFor(TDateTime age, struct timespec (&times)[2]) {
    QDate date;
    qint64 msecOfDay = 0;
    if (!decodeDateTime(age, date, msecOfDay))
        throw EConvertError(QStringLiteral("Invalid argument to date encode"));
    const QDateTime clock(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(msecOfDay)),
                          Qt::UTC);
    const qint64 utcMs = clock.toMSecsSinceEpoch() - currentUtcOffsetMs();
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT; // last access untouched
    lldiv_t parts = std::lldiv(utcMs, 1000);
    if (parts.rem < 0) {
        parts.rem += 1000;
        parts.quot -= 1;
    }
    times[1].tv_sec = static_cast<time_t>(parts.quot);
    times[1].tv_nsec = static_cast<long>(parts.rem) * 1'000'000;
}

} // namespace

bool tryReadFileAge(const QString& path, TDateTime& age) {
    struct stat st {};
    if (!statFollowingLinks(path, st) || S_ISDIR(st.st_mode))
        return false;
    age = ageFromStat(st);
    return true;
}

bool tryReadFileAge(int descriptor, TDateTime& age) {
    struct stat st {};
    if (::fstat(descriptor, &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    age = ageFromStat(st);
    return true;
}

void stampFileAge(const QString& path, TDateTime age) {
    if (!fileExists(path))
        throw EFileNotFoundException(messages::fileNotFound());
    struct timespec times[2];
    timesFor(age, times);
    FileDescriptor fd(::open(encoded(path).constData(), O_WRONLY | O_CLOEXEC));
    if (!fd.valid())
        return; // a file that cannot be opened for writing keeps its time
    if (::futimens(fd.get(), times) != 0)
        throwSystemError(errno, path);
}

void stampFileAge(int descriptor, TDateTime age) {
    struct timespec times[2];
    timesFor(age, times);
    if (::futimens(descriptor, times) != 0)
        throw EInOutError(systemErrorMessage(errno));
}

QString describeAge(TDateTime age) {
    const QString raw = QString::number(age, 'g', 17);
    QDate date;
    qint64 msecOfDay = 0;
    if (!decodeDateTime(age, date, msecOfDay))
        return raw;
    const QTime time = QTime::fromMSecsSinceStartOfDay(static_cast<int>(msecOfDay));
    // Years below 1000 still get four digits, so 0001 does not read as 1.
    return QStringLiteral("%1-%2-%3 %4 (%5)")
        .arg(date.year(), 4, 10, QLatin1Char('0'))
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.day(), 2, 10, QLatin1Char('0'))
        .arg(time.toString(QStringLiteral("HH:mm:ss.zzz")), raw);
}

void deleteFile(const QString& path) {
    if (::unlink(encoded(path).constData()) != 0)
        throwSystemError(errno, path);
}

void createFolders(const QString& path) {
    if (path.isEmpty() || directoryExists(path))
        return;
    if (!QDir().mkpath(path) && !directoryExists(path))
        throwSystemError(errno, path);
}

bool createFolder(const QString& path) {
    return ::mkdir(encoded(path).constData(), 0777) == 0;
}

QString folderOf(const QString& path) {
    const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
    return cut < 0 ? QString() : path.left(cut);
}

namespace {

// Copies everything readable from in to out in bounded pieces, so memory stays
// flat whatever the file size. Returns 0 or the errno of the failing call.
int copyContent(int in, int out) {
    constexpr size_t BufferSize = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[BufferSize]);
    for (;;) {
        const ssize_t got = ::read(in, buffer.get(), BufferSize);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return 0;
        if (const int error = writeAll(out, buffer.get(), static_cast<size_t>(got)); error != 0)
            return error;
    }
}

// The status of a copy's source, links followed; a source that is missing or is
// a folder is a file not found.
struct stat statCopySource(const QString& source) {
    struct stat sourceStat {};
    if (!statFollowingLinks(source, sourceStat)) {
        const int error = errno;
        throw EFileNotFoundException(messages::fileNotFound(), pathDetail(source, error));
    }
    if (S_ISDIR(sourceStat.st_mode))
        throw EFileNotFoundException(messages::fileNotFound(), pathDetail(source, EISDIR));
    return sourceStat;
}

} // namespace

int writeAll(int descriptor, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(descriptor, data, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

void copyFileNoOverwrite(const QString& source, const QString& target) {
    const struct stat sourceStat = statCopySource(source);
    const QString targetFolder = folderOf(target);
    if (!targetFolder.isEmpty() && !directoryExists(targetFolder))
        throw EDirectoryNotFoundException(messages::pathNotFound(),
                                          pathDetail(targetFolder, ENOENT));
    struct stat targetStat {};
    if (::lstat(encoded(target).constData(), &targetStat) == 0)
        throw EInOutError(messages::fileAlreadyExists(), pathDetail(target, EEXIST));

    FileDescriptor in(::open(encoded(source).constData(), O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        throwSystemError(errno, source);
    const mode_t mode = sourceStat.st_mode & 07777;
    FileDescriptor out(
        ::open(encoded(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!out.valid()) {
        if (errno == EEXIST)
            throw EInOutError(messages::fileAlreadyExists(), pathDetail(target, EEXIST));
        throwSystemError(errno, target);
    }

    if (const int error = copyContent(in.get(), out.get()); error != 0) {
        out.close();
        ::unlink(encoded(target).constData());
        throw EInOutError(systemErrorMessage(error), pathDetail(target, error));
    }
    // The umask may have narrowed the bits; the copy keeps the source's attributes.
    ::fchmod(out.get(), mode);
    if (!out.close()) {
        const int error = errno;
        ::unlink(encoded(target).constData());
        throw EInOutError(systemErrorMessage(error), pathDetail(target, error));
    }
}

void copyFileInto(const QString& source, int descriptor) {
    const struct stat sourceStat = statCopySource(source);
    FileDescriptor in(::open(encoded(source).constData(), O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        throwSystemError(errno, source);
    // Either end may fail (a full disk is the target's); the caller names the target.
    if (const int error = copyContent(in.get(), descriptor); error != 0)
        throw EInOutError(systemErrorMessage(error));
    ::fchmod(descriptor, sourceStat.st_mode & 07777);
}

} // namespace platform
