#include "update/staged_replace.h"

#include "platform/errors.h"
#include "platform/file_ops.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char StagedSuffix[] = ".quorvia-part";

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

QString nameOf(const QString& target, const QString& folder) {
    return target.mid(folder.size() + (folder.isEmpty() ? 0 : 1));
}

QString inFolder(const QString& folder, const QString& name) {
    return folder.isEmpty() ? name : folder + u'/' + name;
}

// Our own temporary, created exclusively: the process id keeps other processes'
// names apart, the random part other fetches of this process.
int createTemporary(const QString& target, QString& path) {
    const QString folder = platform::folderOf(target);
    const QString name = nameOf(target, folder);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = inFolder(
            folder, QStringLiteral(".%1.%2-%3%4")
                        .arg(name)
                        .arg(QCoreApplication::applicationPid())
                        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'))
                        .arg(QLatin1String(StagedSuffix)));
        const int fd =
            ::open(encoded(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST) {
            const int error = errno;
            throw platform::EInOutError(platform::systemErrorMessage(error),
                                        platform::pathDetail(candidate, error));
        }
    }
    throw platform::EInOutError(platform::messages::fileAlreadyExists());
}

// True while path still names the file open at fd.
bool namesSameFile(const QString& path, int fd) {
    struct stat byPath {};
    struct stat byDescriptor {};
    return ::stat(encoded(path).constData(), &byPath) == 0 && ::fstat(fd, &byDescriptor) == 0 &&
           byPath.st_dev == byDescriptor.st_dev && byPath.st_ino == byDescriptor.st_ino;
}

// Permission bits for the fresh file: those of the file it replaces, else what the
// fetch gave it; an executable gets execute bits wherever it has read bits.
void applyPermissions(const QString& target, int fd, bool executable) {
    struct stat st {};
    mode_t mode = 0;
    if (::stat(encoded(target).constData(), &st) == 0 && S_ISREG(st.st_mode))
        mode = st.st_mode & 07777;
    else if (::fstat(fd, &st) == 0)
        mode = st.st_mode & 07777;
    else
        return;
    if (executable)
        mode |= (mode & 0444) >> 2;
    ::fchmod(fd, mode);
}

// Stamps through the descriptor and reads the time back: a file system that
// cannot hold the central time would otherwise keep some other time silently,
// and the file would look stale, and be fetched again, on every run.
void stampAndVerify(int fd, platform::TDateTime age) {
    try {
        platform::stampFileAge(fd, age);
    } catch (const platform::EConvertError&) {
        throw platform::EInOutError(QStringLiteral("The central time %1 is not a valid time")
                                        .arg(platform::describeAge(age)));
    }
    platform::TDateTime kept = -1.0;
    if (!platform::tryReadFileAge(fd, kept))
        throw platform::EInOutError(platform::systemErrorMessage(errno));
    if (kept != age)
        throw platform::EInOutError(
            QStringLiteral("The file system cannot hold the central time %1: it keeps %2")
                .arg(platform::describeAge(age), platform::describeAge(kept)));
}

} // namespace

bool isStagedTemporaryName(const QString& fileName) {
    return fileName.endsWith(QLatin1String(StagedSuffix));
}

QStringList stagedTemporariesOf(const QString& target) {
    const QString folder = platform::folderOf(target);
    const QString prefix = u'.' + nameOf(target, folder) + u'.';
    QStringList found;
    const QStringList entries =
        QDir(folder.isEmpty() ? QStringLiteral(".") : folder)
            .entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& entry : entries)
        if (entry.startsWith(prefix) && isStagedTemporaryName(entry))
            found.append(inFolder(folder, entry));
    return found;
}

int removeStagedTemporaries(const QString& folder) {
    // Raw names: a leftover whose name does not decode is still ours to remove.
    DIR* dir = ::opendir(encoded(folder.isEmpty() ? QStringLiteral(".") : folder).constData());
    if (!dir)
        return 0;
    const int dirFd = ::dirfd(dir);
    const size_t suffixLength = std::strlen(StagedSuffix);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const size_t length = std::strlen(entry->d_name);
        if (length <= suffixLength ||
            std::strcmp(entry->d_name + length - suffixLength, StagedSuffix) != 0)
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

void replaceFileStaged(const QString& target, platform::TDateTime age,
                       const std::function<void(const TStagedFile& staged)>& fetch,
                       bool executable) {
    QString temporary;
    int fd = createTemporary(target, temporary);
    // The name is this fetch's alone, so whatever stands under it is ours to remove.
    const auto discard = [&] {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        ::unlink(encoded(temporary).constData());
    };
    try {
        fetch(TStagedFile{temporary, fd});
        if (!namesSameFile(temporary, fd)) {
            // A fetch that writes through the path may have made the file anew
            // under our name rather than written into it: stamp that one.
            const int reopened = ::open(encoded(temporary).constData(), O_WRONLY | O_CLOEXEC);
            if (reopened < 0)
                throw platform::EInOutError(QStringLiteral("The fetched file was not written"));
            ::close(fd);
            fd = reopened;
        }
        applyPermissions(target, fd, executable);
        stampAndVerify(fd, age);
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0) { // a late write error of a network folder
            const int error = errno;
            throw platform::EInOutError(platform::systemErrorMessage(error),
                                        platform::pathDetail(temporary, error));
        }
        if (::rename(encoded(temporary).constData(), encoded(target).constData()) != 0) {
            const int error = errno;
            throw platform::EInOutError(platform::systemErrorMessage(error),
                                        platform::pathDetail(target, error));
        }
    } catch (...) {
        discard();
        throw;
    }
}
