#include "update/staged_replace.h"

#include "platform/errors.h"
#include "platform/file_descriptor.h"
#include "platform/file_ops.h"
#include "platform/sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using platform::FileDescriptor;

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

[[noreturn]] void throwSystemError(int error, const QString& path) {
    throw platform::EInOutError(platform::systemErrorMessage(error),
                                platform::pathDetail(path, error));
}

// The target's folder, held open so that every later step names the file within
// it. A link in its place is followed only when nobody else could have put it
// there: it is ours or root's, or the folder holding it is writable by its owner
// alone. A link that another member of the group left in a shared folder is not.
FileDescriptor openFolder(const QString& folder) {
    const QByteArray path = encoded(folder.isEmpty() ? QStringLiteral(".") : folder);
    FileDescriptor fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.valid())
        return fd;
    const int error = errno;
    struct stat link {};
    // A link refused by O_NOFOLLOW reads as ELOOP, or as ENOTDIR with O_DIRECTORY.
    if ((error != ELOOP && error != ENOTDIR) || ::lstat(path.constData(), &link) != 0 ||
        !S_ISLNK(link.st_mode))
        throwSystemError(error, folder);
    const QString parent = platform::folderOf(folder);
    struct stat holder {};
    const bool trusted =
        link.st_uid == 0 || link.st_uid == ::geteuid() ||
        (::stat(encoded(parent.isEmpty() ? QStringLiteral(".") : parent).constData(), &holder) ==
             0 &&
         (holder.st_mode & (S_IWGRP | S_IWOTH)) == 0);
    if (!trusted)
        throw platform::EInOutError(
            platform::systemErrorMessage(EACCES),
            QStringLiteral("%1: a link another user left in a shared folder, not followed")
                .arg(folder));
    fd = FileDescriptor(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        throwSystemError(errno, folder);
    return fd;
}

// Our own temporary, created exclusively and never through a link: the process
// id keeps other processes' names apart, the random part other fetches of this
// process. Only we may open it while it is written.
FileDescriptor createTemporary(int folderFd, const QString& folder, const QString& name,
                               QByteArray& temporaryName) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray candidate =
            encoded(QStringLiteral(".%1.%2-%3%4")
                        .arg(name)
                        .arg(QCoreApplication::applicationPid())
                        .arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'))
                        .arg(QLatin1String(StagedSuffix)));
        FileDescriptor fd(::openat(folderFd, candidate.constData(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.valid()) {
            temporaryName = candidate;
            return fd;
        }
        if (errno != EEXIST)
            throwSystemError(errno, inFolder(folder, QFile::decodeName(candidate)));
    }
    throw platform::EInOutError(platform::messages::fileAlreadyExists());
}

// Our modes, whatever the sender's were: set-id bits from a share would make a
// module run as its owner.
mode_t modeFor(int folderFd, const QByteArray& targetName, bool executable) {
    struct stat replaced {};
    if (!executable &&
        ::fstatat(folderFd, targetName.constData(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(replaced.st_mode) && (replaced.st_mode & 0111) != 0)
        executable = true; // what runs today keeps running
    mode_t mode = executable ? 0755 : 0644;
    struct stat folder {};
    if (::fstat(folderFd, &folder) == 0 && (folder.st_mode & S_IWGRP) != 0)
        mode |= S_IWGRP;
    return mode;
}

QString hexOf(const QByteArray& digest) {
    return QString::fromLatin1(platform::Sha256::hex(digest));
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

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

struct TStagedFile::State {
    TExpectedContent expected;
    QByteArray announced;
    std::optional<platform::Sha256> sha; // made with the first byte appended
    qint64 appended = 0;
};

TStagedFile::TStagedFile(QString path_, int descriptor_, TExpectedContent expected)
    : path(std::move(path_)), descriptor(descriptor_), m_state(std::make_unique<State>()) {
    m_state->expected = std::move(expected);
}

TStagedFile::~TStagedFile() = default;

void TStagedFile::append(const char* data, std::size_t size) const {
    const qint64 expectedSize = m_state->expected.size;
    // An endless or overlong body stops here, before a byte too many is written.
    if (expectedSize >= 0 && m_state->appended + qint64(size) > expectedSize)
        throw platform::EInOutError(
            QStringLiteral("Received more than the %1 bytes the central copy has")
                .arg(expectedSize));
    if (const int error = platform::writeAll(descriptor, data, size); error != 0)
        throw platform::EInOutError(platform::systemErrorMessage(error));
    if (!m_state->sha)
        m_state->sha.emplace();
    m_state->sha->update(data, size);
    m_state->appended += qint64(size);
}

void TStagedFile::expectSha256(const QByteArray& digest) const {
    m_state->announced = digest;
}

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
    FileDescriptor folderFd(
        ::open(encoded(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.valid())
        return 0;
    struct DirCloser {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(folderFd.get()));
    if (!dir)
        return 0;
    const int dirFd = folderFd.release(); // the stream owns it now
    const size_t suffixLength = std::strlen(StagedSuffix);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
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
    return removed;
}

bool syncFolder(const QString& folder) {
    const FileDescriptor fd(
        ::open(encoded(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

namespace {

// The content checks, after the fetch and before anything is stamped.
void checkContent(int fd, const TExpectedContent& expected, const QByteArray& announced,
                  std::optional<platform::Sha256>& sha, qint64 appended) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw platform::EInOutError(platform::systemErrorMessage(errno));
    if (expected.size >= 0 && st.st_size != expected.size)
        throw platform::EInOutError(QStringLiteral("Received %1 bytes, the central copy has %2")
                                        .arg(st.st_size)
                                        .arg(expected.size));
    if (expected.sha256.isEmpty() && announced.isEmpty())
        return;
    // Every byte of a checked file comes through append, which hashed it.
    if (appended != st.st_size || (st.st_size > 0 && !sha))
        throw platform::EInOutError(QStringLiteral("The fetched file was written past its check"));
    const QByteArray digest = sha ? sha->finish() : platform::Sha256().finish();
    const auto compare = [&digest](const QByteArray& wanted, const QString& whose) {
        if (!wanted.isEmpty() && digest != wanted)
            throw platform::EInOutError(QStringLiteral("Received SHA-256 %1, %2 %3")
                                            .arg(hexOf(digest), whose, hexOf(wanted)));
    };
    compare(expected.sha256, QStringLiteral("the central copy has"));
    compare(announced, QStringLiteral("the server announced"));
}

} // namespace

void replaceFileStaged(const QString& target, platform::TDateTime age,
                       const std::function<void(const TStagedFile& staged)>& fetch, bool executable,
                       const TExpectedContent& expected) {
    const QString folder = platform::folderOf(target);
    const QString name = nameOf(target, folder);
    const QByteArray targetName = encoded(name);
    const FileDescriptor folderFd = openFolder(folder);
    QByteArray temporaryName;
    FileDescriptor fd = createTemporary(folderFd.get(), folder, name, temporaryName);
    const QString temporary = inFolder(folder, QFile::decodeName(temporaryName));
    // The name is this fetch's alone, so whatever stands under it is ours to remove.
    bool renamed = false;
    try {
        const TStagedFile staged(temporary, fd.get(), expected);
        fetch(staged);
        checkContent(fd.get(), expected, staged.m_state->announced, staged.m_state->sha,
                     staged.m_state->appended);
        if (::fchmod(fd.get(), modeFor(folderFd.get(), targetName, executable)) != 0)
            throwSystemError(errno, temporary);
        stampAndVerify(fd.get(), age);
        // Content and time reach the disk before the name does: a power cut never
        // leaves a short file that already carries the central time.
        if (::fsync(fd.get()) != 0)
            throwSystemError(errno, temporary);
        struct stat written {};
        if (::fstat(fd.get(), &written) != 0)
            throwSystemError(errno, temporary);
        // Someone who can write the folder may have put another file under our
        // temporary's name: that one is never installed. Checked before the
        // rename, so the old file stays, and again after it, for the moment
        // between the two.
        const auto temporaryIsOurs = [&] {
            struct stat now {};
            return ::fstatat(folderFd.get(), temporaryName.constData(), &now,
                             AT_SYMLINK_NOFOLLOW) == 0 &&
                   sameFile(now, written);
        };
        if (!temporaryIsOurs())
            throw platform::EInOutError(
                QStringLiteral(
                    "The fetched file was replaced by another one before it was installed"),
                temporary);
        if (::renameat(folderFd.get(), temporaryName.constData(), folderFd.get(),
                       targetName.constData()) != 0)
            throwSystemError(errno, target);
        renamed = true;
        struct stat installed {};
        if (::fstatat(folderFd.get(), targetName.constData(), &installed, AT_SYMLINK_NOFOLLOW) !=
                0 ||
            !sameFile(installed, written)) {
            ::unlinkat(folderFd.get(), targetName.constData(), 0);
            throw platform::EInOutError(
                QStringLiteral(
                    "The fetched file was replaced by another one before it was installed"),
                target);
        }
        // Closed only now: while it is open its inode number cannot pass to a file
        // made in its place, which would then pass for it.
        if (!fd.close()) { // a late write error of a network folder
            const int error = errno;
            ::unlinkat(folderFd.get(), targetName.constData(), 0);
            throwSystemError(error, target);
        }
    } catch (...) {
        fd.reset();
        if (!renamed)
            ::unlinkat(folderFd.get(), temporaryName.constData(), 0);
        throw;
    }
}
