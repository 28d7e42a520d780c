#include "platform/file_ops.h"

#include "platform/errors.h"
#include "platform/file_descriptor.h"
#include "platform/trace.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

bool statFollowingLinks(const QString& path, struct stat& st) {
    return !path.isEmpty() && ::stat(encoded(path).constData(), &st) == 0;
}

// An EInOutError with the system's message for the user and the path with the
// system's own text for an administrator.
[[noreturn]] void throwSystemError(int errorNumber, const QString& path) {
    throw EInOutError(systemErrorMessage(errorNumber), pathDetail(path, errorNumber));
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

// Reading and stamping use the machine's current offset, so a stamped age always
// reads back unchanged.
TDateTime ageFromStat(const struct stat& st) {
    return ageOfFileTime(st.st_mtim, currentUtcOffsetMs());
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

namespace {

// A folder just made gets what its parent gives its group: the group itself, the
// group's permission bits (write included, whatever the umask) and the setgid
// bit, so any member of an installation's group can write in it and what is made
// in it later keeps the group. Done through a descriptor of the new folder; a
// failure leaves the folder usable by its creator and is only traced.
void shareWithParentGroup(const QByteArray& path) {
    FileDescriptor folder(
        ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid())
        return;
    FileDescriptor parent(::openat(folder.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat own {};
    struct stat above {};
    if (!parent.valid() || ::fstat(folder.get(), &own) != 0 || ::fstat(parent.get(), &above) != 0)
        return;
    // The group first: a change of group by an ordinary user drops the setgid bit.
    if (own.st_gid != above.st_gid &&
        ::fchown(folder.get(), static_cast<uid_t>(-1), above.st_gid) != 0)
        traceLine(QStringLiteral("Cannot give the folder %1 its parent's group: %2")
                      .arg(QFile::decodeName(path), systemErrorMessage(errno)));
    const mode_t mode = (own.st_mode & 07777) | (above.st_mode & (S_IRWXG | S_ISGID));
    if (::fchmod(folder.get(), mode) != 0)
        traceLine(QStringLiteral("Cannot open the folder %1 to its group: %2")
                      .arg(QFile::decodeName(path), systemErrorMessage(errno)));
}

bool makeSharedFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0777) != 0)
        return false;
    shareWithParentGroup(path);
    return true;
}

} // namespace

void createFolders(const QString& path) {
    if (path.isEmpty() || directoryExists(path))
        return;
    const QString clean = QDir::cleanPath(path);
    const qsizetype cut = clean.lastIndexOf(u'/');
    if (cut > 0)
        createFolders(clean.left(cut));
    if (makeSharedFolder(encoded(clean)))
        return;
    const int error = errno;
    // Another run may make the same folder at the same moment.
    if (!directoryExists(clean))
        throwSystemError(error, path);
}

bool createFolder(const QString& path) {
    return makeSharedFolder(encoded(path));
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

// Each component opened on its own, never through a link: for kernels without
// openat2, where the kernel cannot keep a whole walk beneath a folder.
int openEachComponent(int rootFd, const QByteArray& relative, int flags) {
    QList<QByteArray> parts = relative.split('/');
    parts.removeAll(QByteArray());
    parts.removeAll(QByteArray("."));
    if (parts.isEmpty())
        return ::openat(rootFd, ".", flags);
    FileDescriptor folder;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const int at = folder.valid() ? folder.get() : rootFd;
        const bool last = i + 1 == parts.size();
        const int fd =
            ::openat(at, parts[i].constData(),
                     last ? flags | O_NOFOLLOW : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && !last && errno == ENOTDIR) {
            // A link on the way reads as "not a folder" here: say it is a link.
            struct stat st {};
            if (::fstatat(at, parts[i].constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                errno = ELOOP;
            else
                errno = ENOTDIR;
        }
        if (fd < 0 || last)
            return fd;
        folder = FileDescriptor(fd);
    }
    return -1; // not reached: the last part returns
}

QByteArray pathOfDescriptor(int fd) {
    char buffer[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t n = ::readlink(link.constData(), buffer, sizeof buffer);
    return n > 0 && static_cast<size_t>(n) < sizeof buffer ? QByteArray(buffer, n) : QByteArray();
}

// For a walk the kernel refused at an absolute link: the links are followed
// without opening anything (O_PATH), and only an object that really lies below
// the root is then opened, through that very descriptor.
int openThroughAbsoluteLink(int rootFd, const QByteArray& relative, int flags) {
    FileDescriptor found(
        ::openat(rootFd, relative.constData(), O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW)));
    if (!found.valid())
        return -1;
    const QByteArray root = pathOfDescriptor(rootFd);
    const QByteArray where = pathOfDescriptor(found.get());
    const bool inside = !root.isEmpty() && !where.isEmpty() &&
                        (where == root || where.startsWith(root == "/" ? root : root + '/'));
    if (!inside) {
        errno = EXDEV;
        return -1;
    }
    if (flags & O_PATH)
        return found.release();
    struct stat st {};
    if (::fstat(found.get(), &st) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) { // the last step is a link and was not to be followed
        errno = ELOOP;
        return -1;
    }
    return ::open(("/proc/self/fd/" + QByteArray::number(found.get())).constData(),
                  flags & ~O_NOFOLLOW);
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

int openBeneath(int rootFd, const QByteArray& relative, int flags) {
    if (relative.split('/').contains("..")) {
        errno = EXDEV;
        return -1;
    }
    static std::atomic<bool> haveOpenat2 = true;
    if (haveOpenat2) {
        open_how how{};
        how.flags = static_cast<quint64>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const QByteArray path = relative.isEmpty() ? QByteArray(".") : relative;
        for (int attempt = 0;; ++attempt) {
            const long fd = ::syscall(SYS_openat2, rootFd, path.constData(), &how, sizeof how);
            if (fd >= 0)
                return static_cast<int>(fd);
            // EAGAIN: a rename elsewhere raced the walk and the kernel asks to retry.
            if ((errno == EAGAIN || errno == EINTR) && attempt < 16)
                continue;
            // EXDEV: the walk met an absolute link, which may still lead inside.
            if (errno == EXDEV)
                return openThroughAbsoluteLink(rootFd, path, flags);
            if (errno != ENOSYS)
                return -1;
            haveOpenat2 = false;
            break;
        }
    }
    return openEachComponent(rootFd, relative, flags);
}

qint64 copyAtMost(int in, int out, qint64 limit) {
    constexpr qint64 BufferSize = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[BufferSize]);
    qint64 done = 0;
    for (;;) {
        // One byte more than may still come: a source longer than limit shows
        // before anything past limit is written.
        const qint64 wanted = std::min(BufferSize, limit - done + 1);
        const ssize_t got = ::read(in, buffer.get(), static_cast<size_t>(wanted));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw EInOutError(systemErrorMessage(errno));
        }
        if (got == 0)
            return done;
        if (got > limit - done)
            throw EInOutError(QStringLiteral("The file grew while it was copied"),
                              QStringLiteral("more than %1 bytes").arg(limit));
        if (const int error = writeAll(out, buffer.get(), static_cast<size_t>(got)); error != 0)
            throw EInOutError(systemErrorMessage(error));
        done += got;
    }
}

void copyFileInto(const QString& source, int descriptor) {
    // Opened first and then looked at, so what is checked is what is read.
    FileDescriptor in(
        ::open(encoded(source).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid()) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            throw EFileNotFoundException(messages::fileNotFound(), pathDetail(source, error));
        throwSystemError(error, source);
    }
    struct stat sourceStat {};
    if (::fstat(in.get(), &sourceStat) != 0)
        throwSystemError(errno, source);
    if (S_ISDIR(sourceStat.st_mode))
        throw EFileNotFoundException(messages::fileNotFound(), pathDetail(source, EISDIR));
    if (!S_ISREG(sourceStat.st_mode))
        throw EInOutError(QStringLiteral("Not a regular file: %1").arg(source));
    // Either end may fail (a full disk is the target's); the caller names the target.
    copyAtMost(in.get(), descriptor, sourceStat.st_size);
}

void letTruncationsEnd(int descriptor) {
    (void)::lseek(descriptor, 0, SEEK_DATA);
    (void)::lseek(descriptor, 0, SEEK_SET);
}

bool beingTruncated(const struct stat& info) {
    return info.st_size == 0 && info.st_blocks != 0;
}

} // namespace platform
